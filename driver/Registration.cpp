// The library's entry points for the component runtime: registration of
// "Ostrel.cls_Door" and its class factory.
#include "driver/cls_Door.h"
#include "runtime/Registry.h"

#define OSTREL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
// An address inside this library. The exported entry points cannot serve:
// another component loaded first interposes its own of the same name.
void anchor() {}
}  // namespace

OSTREL_EXPORT int ostrel_register_server(const char* registryDir) {
    try {
        std::string self = ostrel::rt::pathOfAddress(reinterpret_cast<const void*>(&anchor));
        ostrel::rt::writeRegistration(registryDir, {ostrel::kProgIdDoor, ostrel::kClsidDoor, self});
        return 0;
    } catch (...) {
        return 1;
    }
}

OSTREL_EXPORT int ostrel_unregister_server(const char* registryDir) {
    try {
        ostrel::rt::removeRegistration(registryDir, ostrel::kProgIdDoor);
        return 0;
    } catch (...) {
        return 1;
    }
}

OSTREL_EXPORT ostrel::rt::Dispatch* ostrel_create_instance(const char* clsid) {
    if (std::string(clsid) != ostrel::kClsidDoor) return nullptr;
    return new ostrel::cls_Door();
}

#include "driver/SwipeRecords.h"

// The folder record files are written to, for `ostrel info`.
OSTREL_EXPORT const char* ostrel_record_folder() {
    thread_local std::string folder;
    folder = ostrel::driver::recordFolder();
    return folder.c_str();
}

// Record-download progress for hosts that call by name (the console):
// fn(done, total, context) runs on the calling thread after each record of
// a download made on that thread. A null fn turns it off.
OSTREL_EXPORT void ostrel_set_record_progress(void (*fn)(size_t, size_t, void*), void* context) {
    if (!fn) ostrel::driver::setRecordProgress({});
    else ostrel::driver::setRecordProgress([fn, context](size_t done, size_t total) { fn(done, total, context); });
}
