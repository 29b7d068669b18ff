// The runtime's message-box service as real Qt message boxes, so boxes the
// driver shows (SetPort's failure) appear as modal windows.
#pragma once

namespace ostrel::console {
void installQtMessageBoxService();
}
