// Extras of the record download for C++ host applications that link the
// driver: a progress hook and the folder record files go to.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace ostrel::driver {

// Called on this thread after each record: records done, records announced.
using RecordProgress = std::function<void(size_t done, size_t total)>;
void setRecordProgress(RecordProgress progress);

// The folder record files are written to: the driver library's own folder,
// or $XDG_DATA_HOME/ostrel (~/.local/share/ostrel) when that is not writable.
std::string recordFolder();

}  // namespace ostrel::driver
