// The host's clock as the controllers' reference.
#pragma once

#include <string>

namespace ostrel::service {

// True when the kernel reports the clock synchronised (an NTP client such as
// systemd-timesyncd or chrony keeps it: adjtimex() gives no TIME_ERROR and
// STA_UNSYNC is not set).
bool hostClockSynchronised();

// Seconds the controller's local time (YYYY-MM-DDThh:mm:ss) is ahead of the
// host's local time; false when the text is no date and time.
bool clockDrift(const std::string& controllerClock, double& seconds);

// The host's local date (YYYY-MM-DD) and time (hh:mm:ss) now.
void hostLocalNow(std::string& date, std::string& time);

}  // namespace ostrel::service
