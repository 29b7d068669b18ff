// A late-bound host: creates "Ostrel.cls_Door" by ProgID and calls its
// operations by name with variants, without linking the driver.
// Usage: late_bound ADDR
#include <cstdio>
#include <cstdlib>

#include <ostrel/runtime/AutomationError.h>
#include <ostrel/runtime/Registry.h>

using ostrel::rt::Variant;

int main(int argc, char** argv) {
    double addr = argc > 1 ? std::atof(argv[1]) : 1;
    try {
        ostrel::rt::ObjectRef door = ostrel::rt::createObject("Ostrel.cls_Door");
        if (!door->call("SetLockOn", {Variant(addr), Variant("1")}).toBoolean()) return 1;
        Variant count(int32_t{0}), d1(""), d2(""), date(""), time(""), week(""), version("");
        Variant ok = door->call("GetSysData", {Variant(addr), Variant::ref(count), Variant::ref(d1), Variant::ref(d2),
                                               Variant::ref(date), Variant::ref(time), Variant::ref(week),
                                               Variant::ref(version)});
        if (!ok.toBoolean()) return 1;
        std::printf("lock 1 opened; %d records; clock %s %s; version %s\n", count.toLong(), date.toString().c_str(),
                    time.toString().c_str(), version.toString().c_str());
        return 0;
    } catch (const ostrel::rt::AutomationError& e) {
        std::fprintf(stderr, "error %d: %s\n", e.number(), e.description().c_str());
        return 3;
    }
}
