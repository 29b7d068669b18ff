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

// Why a full record reply is not a well-formed record (its date or time is
// not packed decimal, or byte 0 is not the bus address unless any leading
// byte is accepted); nothing when it is well formed.
std::optional<std::string> recordFault(const Reply& record, uint8_t address, bool anyLeadingByte);

}  // namespace ostrel::driver
