// Extras of the record download for C++ host applications that link the
// driver: a progress hook, the folder record files go to, and the record
// exchanges the safe collection (Collection.h) shares with GetBrushRecord.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "driver/Exchange.h"

namespace ostrel::driver {

// Called on this thread after each record: records done, records announced.
using RecordProgress = std::function<void(size_t done, size_t total)>;
void setRecordProgress(RecordProgress progress);

// The folder record files are written to: the driver library's own folder
// when it is writable and not a system folder; /var/lib/ostrel for root
// when the library is installed in a system folder; otherwise
// $XDG_DATA_HOME/ostrel, else $HOME/.local/share/ostrel. Empty when none of
// these applies (neither variable set).
std::string recordFolder();

// The read request: the same frame asks for the count and for each record.
Frame recordRequest(int16_t varAddr);
inline constexpr Wait kCountWait{3, 3, 1};
inline constexpr Wait kRecordWait{11, 11, 2};
inline constexpr size_t kRecordSize = 11;

// The count of an accepted count reply: unsigned, up to 65535.
int32_t recordCount(const Reply& countReply);

// The next record of a running download: writes the request without
// clearing anything and reads at most 11 bytes within 2 s.
Reply requestRecord(serial::SerialPort& port, const Frame& request);

// What readRecords took: the count of full records, and when that is short
// of those asked for, the reply that ended the run (shorter than a record).
struct RecordsRead {
    size_t taken = 0;
    Reply shortReply;
};

// Reads n records of a running download, each as requestRecord would, into
// one reply buffer. Each full reply goes to take(i, reply) before the next
// request is written: from a write to the sleep that awaits its reply the
// loop does nothing else, because on a fast line (a simulator, a serial
// server on this machine) the reply comes back within microseconds and work
// in that gap delays it by several times its own length; at a real line's
// pace the reply takes milliseconds, so the work costs nothing either way.
// Stops at the first reply shorter than a record, without writing another
// request.
template <class Take>
RecordsRead readRecords(serial::SerialPort& port, const Frame& request, size_t n, Take&& take) {
    Reply reply;
    reply.reserve(kRecordSize);
    for (size_t i = 0; i < n; ++i) {
        receiveRoundInto(port, request, kRecordWait, -1, sendRound(port, request, kRecordWait), reply);
        if (reply.size() < kRecordSize) return {i, std::move(reply)};
        take(i, reply);
    }
    return {n, {}};
}

// Why a full record reply is not a well-formed record (its date or time is
// not packed decimal, or byte 0 is not the bus address unless any leading
// byte is accepted); nothing when it is well formed.
std::optional<std::string> recordFault(const Reply& record, uint8_t address, bool anyLeadingByte);

}  // namespace ostrel::driver
