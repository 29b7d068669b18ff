// The program's start: creates the window, runs its load step and shows it.
// When the driver cannot be created, the creation error is shown and the
// result is non-zero without the window ever appearing.
#pragma once

namespace ostrel::console {
class frmComm;

// Runs the console until its window closes; returns the exit status.
int modMain();
}  // namespace ostrel::console
