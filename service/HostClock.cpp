#include "service/HostClock.h"

#include <sys/timex.h>

#include <chrono>
#include <cstdio>
#include <ctime>

namespace ostrel::service {

bool hostClockSynchronised() {
    timex tx{};
    int state = adjtimex(&tx);
    return state != -1 && state != TIME_ERROR && !(tx.status & STA_UNSYNC);
}

bool clockDrift(const std::string& controllerClock, double& seconds) {
    std::tm tm{};
    if (std::sscanf(controllerClock.c_str(), "%d-%d-%dT%d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec) != 6)
        return false;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31) return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    std::time_t controller = std::mktime(&tm);
    if (controller == -1) return false;
    auto now = std::chrono::system_clock::now();
    seconds = static_cast<double>(controller) - std::chrono::duration<double>(now.time_since_epoch()).count();
    return true;
}

void hostLocalNow(std::string& date, std::string& time) {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char d[16], h[16];
    std::strftime(d, sizeof d, "%Y-%m-%d", &tm);
    std::strftime(h, sizeof h, "%H:%M:%S", &tm);
    date = d;
    time = h;
}

}  // namespace ostrel::service
