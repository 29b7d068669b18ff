// An early-bound host: links the driver and calls cls_Door directly.
// Usage: early_bound ADDR   (port 1, i.e. $OSTREL_COM1 or /dev/ttyS0)
#include <cstdio>
#include <cstdlib>

#include <ostrel/driver/cls_Door.h>
#include <ostrel/runtime/AutomationError.h>

int main(int argc, char** argv) {
    int16_t addr = static_cast<int16_t>(argc > 1 ? std::atoi(argv[1]) : 1);
    try {
        ostrel::cls_Door door;
        int16_t lock = 1;
        if (!door.SetLockOn(addr, lock)) {
            std::fprintf(stderr, "controller %d did not acknowledge\n", addr);
            return 1;
        }
        int32_t records = 0;
        std::string d1, d2, date, time, week, version;
        if (!door.GetSysData(addr, records, d1, d2, date, time, week, version)) return 1;
        std::printf("lock 1 opened; %d records; clock %s %s; version %s\n", records, date.c_str(), time.c_str(),
                    version.c_str());
        return 0;
    } catch (const ostrel::rt::AutomationError& e) {
        std::fprintf(stderr, "error %d: %s\n", e.number(), e.description().c_str());
        return 3;
    }
}
