// The class registry: ProgID -> CLSID -> library file, and creation of an
// object by ProgID from a library loaded at run time.
//
// A registry is a folder holding progids/<ProgID> (the CLSID) and
// clsids/<CLSID> (the library's absolute path). Lookups search, in order:
// $OSTREL_REGISTRY alone when it is set; otherwise the build tree's registry
// beside the runtime library (present only in a build tree), the user's
// ($XDG_CONFIG_HOME/ostrel/registry) and the system's (/etc/ostrel/registry).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/Dispatch.h"

namespace ostrel::rt {

struct Registration {
    std::string progid;
    std::string clsid;
    std::string library;
};

std::vector<std::string> registrySearchPath();
std::string userRegistryDir();
std::string systemRegistryDir();
// The registry a library registers into by default: $OSTREL_REGISTRY, else
// the system's for root, else the user's.
std::string defaultRegistryDir();

void writeRegistration(const std::string& dir, const Registration& reg);
void removeRegistration(const std::string& dir, const std::string& progid);
std::optional<Registration> findRegistration(const std::string& progid);

using ObjectRef = std::shared_ptr<Dispatch>;

// Creates the class registered under progid. Error 429 names the ProgID and
// the reason when it is not registered or its library cannot be loaded.
ObjectRef createObject(const std::string& progid);

// Runs a library's own registration entry point against dir. Raises 429-style
// errors (with the reason) when the library cannot be loaded or refuses.
void registerLibrary(const std::string& libraryPath, const std::string& dir);
void unregisterLibrary(const std::string& libraryPath, const std::string& dir);

// The folder of the shared object that contains address (dladdr).
std::string folderOfAddress(const void* address);
std::string pathOfAddress(const void* address);

}  // namespace ostrel::rt

// Entry points a component library exports (C linkage, looked up by dlsym).
extern "C" {
// Writes the library's registrations into registryDir; 0 on success.
using OstrelRegisterFn = int (*)(const char* registryDir);
// Removes them; 0 on success.
using OstrelUnregisterFn = int (*)(const char* registryDir);
// A new object of the class clsid, or null for a class it does not serve.
using OstrelCreateFn = ostrel::rt::Dispatch* (*)(const char* clsid);
}
#define OSTREL_REGISTER_SYMBOL "ostrel_register_server"
#define OSTREL_UNREGISTER_SYMBOL "ostrel_unregister_server"
#define OSTREL_CREATE_SYMBOL "ostrel_create_instance"
