// The door-controller driver class: its identities, its interface in slot
// order, and the class. Host applications either link this library and use
// cls_Door directly, or create "Ostrel.cls_Door" by ProgID through the
// component runtime and call its operations by name.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/Dispatch.h"
#include "runtime/Variant.h"

namespace ostrel {

// Type library Ostrel 1.0 and the class's registration identities.
inline constexpr const char* kTypeLibName = "Ostrel";
inline constexpr const char* kLibId = "{333314C5-F38E-4D03-B7F9-303BD5A4E4B1}";
inline constexpr int kTypeLibMajor = 1;
inline constexpr int kTypeLibMinor = 0;
inline constexpr const char* kClsidDoor = "{4680652A-89AA-4DF9-8B78-1F9D3B4B3C28}";
inline constexpr const char* kIidDoor = "{F5C5F7E7-0D92-4F0D-945A-AE0CCA2F3B16}";
inline constexpr const char* kProgIdDoor = "Ostrel.cls_Door";

// The default interface. Every command returns true when the controller's
// reply was accepted; by-reference results are written only as each
// operation states. Failures the operation does not trap are raised as
// rt::AutomationError.
class _cls_Door {
public:
    virtual ~_cls_Door() = default;

    // 1-15: the controller operations, in slot order.
    virtual bool SetPort(int16_t varPort, std::string& strSetting, int16_t& intInBufferSize,
                         int16_t& intOutBufferSize) = 0;
    virtual bool ClearLastFlag(int16_t varAddr) = 0;
    virtual bool SetLockOn(int16_t varAddr, int16_t& varLock) = 0;
    virtual bool GetCardIdP(int16_t varAddr, std::string& varCardIDP) = 0;
    virtual bool ClearSendList(int16_t varAddr) = 0;
    virtual bool ClearSendOne(int16_t varAddr, std::string varCardIDL) = 0;
    virtual bool GetLockState(int16_t varAddr, std::string& varLockState1, std::string& varLockState2) = 0;
    virtual bool ClearBrushRecord(int16_t varAddr) = 0;
    virtual bool SetSysTime(int16_t varAddr, std::string& varTime) = 0;
    virtual bool SetSysDate(int16_t varAddr, std::string& varDate) = 0;
    virtual bool GetSysData(int16_t varAddr, int32_t& varRecordCount, std::string& varDelay1, std::string& varDelay2,
                            std::string& varDate, std::string& varTime, std::string& varWeek,
                            std::string& varVer) = 0;
    virtual bool SetLockDelay(int16_t varAddr, int16_t& varLockId, int16_t& varDelay) = 0;
    virtual bool CardSendToMachine(int16_t varAddr, std::string varCardIDP, std::string varCardIDL,
                                   std::string varBeginDate, std::string varEndDate, std::string varBeginTime,
                                   std::string varEndTime, std::string varBeginWeek, std::string varEndWeek,
                                   std::string varLockType1, std::string varLockType2) = 0;
    virtual bool GetBrushRecord(int16_t varAddr, int32_t& varRecordCount, rt::StringArray& varRecord,
                                std::string& varTextFileName) = 0;
    virtual rt::Variant DTOH(rt::Variant& varNumber) = 0;
    // 16-17: added after the original fifteen so every earlier slot stays.
    virtual bool DestoryPort() = 0;
    virtual bool GetBrushRecordB(int16_t varAddr, int32_t& varRecordCount, std::string& varTextFileName) = 0;
};

class cls_Door : public _cls_Door, public rt::Dispatch {
public:
    cls_Door() = default;   // touches no port
    ~cls_Door() override;   // closes this thread's shared port

    bool SetPort(int16_t varPort, std::string& strSetting, int16_t& intInBufferSize,
                 int16_t& intOutBufferSize) override;
    bool ClearLastFlag(int16_t varAddr) override;
    bool SetLockOn(int16_t varAddr, int16_t& varLock) override;
    bool GetCardIdP(int16_t varAddr, std::string& varCardIDP) override;
    bool ClearSendList(int16_t varAddr) override;
    bool ClearSendOne(int16_t varAddr, std::string varCardIDL) override;
    bool GetLockState(int16_t varAddr, std::string& varLockState1, std::string& varLockState2) override;
    bool ClearBrushRecord(int16_t varAddr) override;
    bool SetSysTime(int16_t varAddr, std::string& varTime) override;
    bool SetSysDate(int16_t varAddr, std::string& varDate) override;
    bool GetSysData(int16_t varAddr, int32_t& varRecordCount, std::string& varDelay1, std::string& varDelay2,
                    std::string& varDate, std::string& varTime, std::string& varWeek, std::string& varVer) override;
    bool SetLockDelay(int16_t varAddr, int16_t& varLockId, int16_t& varDelay) override;
    bool CardSendToMachine(int16_t varAddr, std::string varCardIDP, std::string varCardIDL, std::string varBeginDate,
                           std::string varEndDate, std::string varBeginTime, std::string varEndTime,
                           std::string varBeginWeek, std::string varEndWeek, std::string varLockType1,
                           std::string varLockType2) override;
    bool GetBrushRecord(int16_t varAddr, int32_t& varRecordCount, rt::StringArray& varRecord,
                        std::string& varTextFileName) override;
    rt::Variant DTOH(rt::Variant& varNumber) override;
    bool DestoryPort() override;
    bool GetBrushRecordB(int16_t varAddr, int32_t& varRecordCount, std::string& varTextFileName) override;

    // Calls by name (DispatchTable.cpp).
    const std::vector<rt::MethodInfo>& methods() const override;
    rt::Variant invoke(int32_t dispid, std::vector<rt::Variant>& args) override;

private:
    bool downloadRecords(int16_t varAddr, int32_t& varRecordCount, rt::StringArray& lines,
                         const std::string& varTextFileName);
};

}  // namespace ostrel
