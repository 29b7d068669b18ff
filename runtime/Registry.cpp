#include "runtime/Registry.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "runtime/AutomationError.h"

namespace fs = std::filesystem;

namespace ostrel::rt {
namespace {

std::string readFirstLine(const fs::path& p) {
    std::ifstream in(p);
    std::string line;
    std::getline(in, line);
    return line;
}

void writeFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    fs::path tmp = p;
    tmp += ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text << '\n';
        if (!out) throw AutomationError(75, "Path/File access error: cannot write " + tmp.string());
    }
    fs::rename(tmp, p);
}

[[noreturn]] void cannotCreate(const std::string& progid, const std::string& reason) {
    throw AutomationError(err::kCannotCreateObject,
                          "Cannot create object: " + progid + ": " + reason);
}

void* openLibrary(const std::string& path, std::string& reason) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        reason = e ? e : "cannot load " + path;
    }
    return h;
}

// The runtime's own folder, to find a build tree's registry beside it.
std::string runtimeFolder() { return folderOfAddress(reinterpret_cast<const void*>(&runtimeFolder)); }

}  // namespace

std::string pathOfAddress(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || !info.dli_fname) return {};
    std::error_code ec;
    fs::path p = fs::canonical(info.dli_fname, ec);
    return ec ? std::string(info.dli_fname) : p.string();
}

std::string folderOfAddress(const void* address) {
    return fs::path(pathOfAddress(address)).parent_path().string();
}

std::string userRegistryDir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return (fs::path(xdg) / "ostrel" / "registry").string();
    const char* home = std::getenv("HOME");
    return (fs::path(home && *home ? home : "/") / ".config" / "ostrel" / "registry").string();
}

std::string systemRegistryDir() { return "/etc/ostrel/registry"; }

std::string defaultRegistryDir() {
    const char* env = std::getenv("OSTREL_REGISTRY");
    if (env && *env) return env;
    return geteuid() == 0 ? systemRegistryDir() : userRegistryDir();
}

std::vector<std::string> registrySearchPath() {
    const char* env = std::getenv("OSTREL_REGISTRY");
    if (env && *env) return {env};
    std::vector<std::string> dirs;
    fs::path build = fs::path(runtimeFolder()) / ".." / "registry";
    std::error_code ec;
    if (fs::is_directory(build, ec)) dirs.push_back(fs::weakly_canonical(build, ec).string());
    dirs.push_back(userRegistryDir());
    dirs.push_back(systemRegistryDir());
    return dirs;
}

void writeRegistration(const std::string& dir, const Registration& reg) {
    writeFile(fs::path(dir) / "progids" / reg.progid, reg.clsid);
    writeFile(fs::path(dir) / "clsids" / reg.clsid, reg.library);
}

void removeRegistration(const std::string& dir, const std::string& progid) {
    fs::path p = fs::path(dir) / "progids" / progid;
    std::error_code ec;
    std::string clsid = readFirstLine(p);
    fs::remove(p, ec);
    if (!clsid.empty()) fs::remove(fs::path(dir) / "clsids" / clsid, ec);
}

std::optional<Registration> findRegistration(const std::string& progid) {
    if (progid.empty() || progid.find('/') != std::string::npos || progid[0] == '.') return std::nullopt;
    for (const std::string& dir : registrySearchPath()) {
        fs::path p = fs::path(dir) / "progids" / progid;
        std::error_code ec;
        if (!fs::is_regular_file(p, ec)) continue;
        Registration reg{progid, readFirstLine(p), {}};
        if (reg.clsid.empty() || reg.clsid.find('/') != std::string::npos) continue;
        reg.library = readFirstLine(fs::path(dir) / "clsids" / reg.clsid);
        return reg;
    }
    return std::nullopt;
}

ObjectRef createObject(const std::string& progid) {
    auto reg = findRegistration(progid);
    if (!reg) cannotCreate(progid, "the class is not registered");
    if (reg->library.empty()) cannotCreate(progid, "no library is registered for class " + reg->clsid);
    std::string reason;
    // Libraries stay loaded for the life of the process: their per-thread
    // data and the objects they created must outlive any one reference.
    void* h = openLibrary(reg->library, reason);
    if (!h) cannotCreate(progid, reason);
    auto create = reinterpret_cast<OstrelCreateFn>(dlsym(h, OSTREL_CREATE_SYMBOL));
    if (!create) cannotCreate(progid, reg->library + " has no class factory");
    Dispatch* obj = create(reg->clsid.c_str());
    if (!obj) cannotCreate(progid, reg->library + " does not serve class " + reg->clsid);
    return ObjectRef(obj);
}

namespace {

void runRegistrationEntry(const std::string& libraryPath, const char* symbol, const std::string& dir,
                          const char* what) {
    std::string reason;
    std::error_code ec;
    fs::path abs = fs::absolute(libraryPath, ec);
    void* h = openLibrary(abs.string(), reason);
    if (!h) throw AutomationError(err::kCannotCreateObject, "cannot load " + libraryPath + ": " + reason);
    auto fn = reinterpret_cast<OstrelRegisterFn>(dlsym(h, symbol));
    if (!fn) throw AutomationError(err::kCannotCreateObject, libraryPath + " has no registration entry point");
    if (fn(dir.c_str()) != 0)
        throw AutomationError(err::kCannotCreateObject, libraryPath + " could not " + what + " " + dir);
}

}  // namespace

void registerLibrary(const std::string& libraryPath, const std::string& dir) {
    runRegistrationEntry(libraryPath, OSTREL_REGISTER_SYMBOL, dir, "register into");
}

void unregisterLibrary(const std::string& libraryPath, const std::string& dir) {
    runRegistrationEntry(libraryPath, OSTREL_UNREGISTER_SYMBOL, dir, "unregister from");
}

}  // namespace ostrel::rt
