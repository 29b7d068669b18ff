// The dispatch table: every operation's DISPID, slot and parameters, and
// calls by name routed to the class's methods with converted arguments.
#include "driver/cls_Door.h"
#include "runtime/AutomationError.h"

namespace ostrel {
namespace {

using rt::MethodInfo;
using rt::ParamType;
constexpr rt::Passing kVal = rt::Passing::ByValue;
constexpr rt::Passing kRef = rt::Passing::ByRef;

enum Dispid : int32_t {
    kSetPort = 0x60030001,
    kClearLastFlag,
    kSetLockOn,
    kGetCardIdP,
    kClearSendList,
    kClearSendOne,
    kGetLockState,
    kClearBrushRecord,
    kSetSysTime,
    kSetSysDate,
    kGetSysData,
    kSetLockDelay,
    kCardSendToMachine,
    kGetBrushRecord,
    kDTOH,
    kDestoryPort,
    kGetBrushRecordB,
};

const rt::ParamInfo kAddr{"varAddr", ParamType::Integer, kVal};

rt::ParamInfo str(const char* name, rt::Passing passing) { return {name, ParamType::String, passing}; }

const std::vector<MethodInfo>& table() {
    static const std::vector<MethodInfo> methods = {
        {"SetPort", kSetPort, 1,
         {{"varPort", ParamType::Integer, kVal}, str("strSetting", kRef),
          {"intInBufferSize", ParamType::Integer, kRef}, {"intOutBufferSize", ParamType::Integer, kRef}},
         ParamType::Boolean},
        {"ClearLastFlag", kClearLastFlag, 2, {kAddr}, ParamType::Boolean},
        {"SetLockOn", kSetLockOn, 3, {kAddr, {"varLock", ParamType::Integer, kRef}}, ParamType::Boolean},
        {"GetCardIdP", kGetCardIdP, 4, {kAddr, str("varCardIDP", kRef)}, ParamType::Boolean},
        {"ClearSendList", kClearSendList, 5, {kAddr}, ParamType::Boolean},
        {"ClearSendOne", kClearSendOne, 6, {kAddr, str("varCardIDL", kVal)}, ParamType::Boolean},
        {"GetLockState", kGetLockState, 7, {kAddr, str("varLockState1", kRef), str("varLockState2", kRef)},
         ParamType::Boolean},
        {"ClearBrushRecord", kClearBrushRecord, 8, {kAddr}, ParamType::Boolean},
        {"SetSysTime", kSetSysTime, 9, {kAddr, str("varTime", kRef)}, ParamType::Boolean},
        {"SetSysDate", kSetSysDate, 10, {kAddr, str("varDate", kRef)}, ParamType::Boolean},
        {"GetSysData", kGetSysData, 11,
         {kAddr, {"varRecordCount", ParamType::Long, kRef}, str("varDelay1", kRef), str("varDelay2", kRef),
          str("varDate", kRef), str("varTime", kRef), str("varWeek", kRef), str("varVer", kRef)},
         ParamType::Boolean},
        {"SetLockDelay", kSetLockDelay, 12,
         {kAddr, {"varLockId", ParamType::Integer, kRef}, {"varDelay", ParamType::Integer, kRef}},
         ParamType::Boolean},
        {"CardSendToMachine", kCardSendToMachine, 13,
         {kAddr, str("varCardIDP", kVal), str("varCardIDL", kVal), str("varBeginDate", kVal),
          str("varEndDate", kVal), str("varBeginTime", kVal), str("varEndTime", kVal), str("varBeginWeek", kVal),
          str("varEndWeek", kVal), str("varLockType1", kVal), str("varLockType2", kVal)},
         ParamType::Boolean},
        {"GetBrushRecord", kGetBrushRecord, 14,
         {kAddr, {"varRecordCount", ParamType::Long, kRef}, {"varRecord", ParamType::StringArray, kRef},
          str("varTextFileName", kRef)},
         ParamType::Boolean},
        {"DTOH", kDTOH, 15, {{"varNumber", ParamType::Variant, kRef}}, ParamType::Variant},
        {"DestoryPort", kDestoryPort, 16, {}, ParamType::Boolean},
        {"GetBrushRecordB", kGetBrushRecordB, 17,
         {kAddr, {"varRecordCount", ParamType::Long, kRef}, str("varTextFileName", kRef)}, ParamType::Boolean},
    };
    return methods;
}

}  // namespace

const std::vector<rt::MethodInfo>& cls_Door::methods() const { return table(); }

rt::Variant cls_Door::invoke(int32_t dispid, std::vector<rt::Variant>& args) {
    const MethodInfo& m = method(dispid);
    rt::BoundArgs a(m, args);
    using S = std::string;
    using I = int16_t;
    switch (dispid) {
        case kSetPort: return SetPort(a.at<I>(0), a.at<S>(1), a.at<I>(2), a.at<I>(3));
        case kClearLastFlag: return ClearLastFlag(a.at<I>(0));
        case kSetLockOn: return SetLockOn(a.at<I>(0), a.at<I>(1));
        case kGetCardIdP: return GetCardIdP(a.at<I>(0), a.at<S>(1));
        case kClearSendList: return ClearSendList(a.at<I>(0));
        case kClearSendOne: return ClearSendOne(a.at<I>(0), a.at<S>(1));
        case kGetLockState: return GetLockState(a.at<I>(0), a.at<S>(1), a.at<S>(2));
        case kClearBrushRecord: return ClearBrushRecord(a.at<I>(0));
        case kSetSysTime: return SetSysTime(a.at<I>(0), a.at<S>(1));
        case kSetSysDate: return SetSysDate(a.at<I>(0), a.at<S>(1));
        case kGetSysData:
            return GetSysData(a.at<I>(0), a.at<int32_t>(1), a.at<S>(2), a.at<S>(3), a.at<S>(4), a.at<S>(5),
                              a.at<S>(6), a.at<S>(7));
        case kSetLockDelay: return SetLockDelay(a.at<I>(0), a.at<I>(1), a.at<I>(2));
        case kCardSendToMachine:
            return CardSendToMachine(a.at<I>(0), a.at<S>(1), a.at<S>(2), a.at<S>(3), a.at<S>(4), a.at<S>(5),
                                     a.at<S>(6), a.at<S>(7), a.at<S>(8), a.at<S>(9), a.at<S>(10));
        case kGetBrushRecord: return GetBrushRecord(a.at<I>(0), a.at<int32_t>(1), a.at<rt::StringArray>(2), a.at<S>(3));
        case kDTOH: return DTOH(a.variant(0));
        case kDestoryPort: return DestoryPort();
        case kGetBrushRecordB: return GetBrushRecordB(a.at<I>(0), a.at<int32_t>(1), a.at<S>(2));
        default: break;
    }
    throw rt::AutomationError(rt::err::kUnknownName, "Object doesn't support this property or method");
}

}  // namespace ostrel
