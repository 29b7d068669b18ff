#include "basic/DurableFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <utility>

#include "basic/Descriptors.h"

namespace ostrel::basic {
namespace {

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

struct Split {
    std::string folder, name;
};

Split split(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The umask without changing it (umask() itself is not thread safe).
mode_t currentUmask() {
    int fd = aboveStandardStreams(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    if (fd < 0) return 022;
    std::string text(4096, '\0');
    ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    size_t at = text.find("Umask:");
    if (at == std::string::npos) return 022;
    return static_cast<mode_t>(std::strtoul(text.c_str() + at + 6, nullptr, 8) & 0777);
}

std::string randomSuffix() {
    unsigned char bytes[8];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t r = getrandom(bytes + got, sizeof bytes - got, 0);
        if (r < 0 && errno != EINTR) throw DurableFileError("", "draw a random name", errno);
        if (r > 0) got += static_cast<size_t>(r);
    }
    std::string s;
    char hex[3];
    for (unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        s += hex;
    }
    return s;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t w = ::write(fd, data.data(), data.size());
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(w));
    }
    return true;
}

Fd openFolder(const std::string& path, const std::string& folder) {
    Fd dir(aboveStandardStreams(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (dir.fd < 0) throw DurableFileError(path, "open the folder " + folder, errno);
    return Fd(std::exchange(dir.fd, -1));
}

}  // namespace

DurableFileError::DurableFileError(std::string path, const std::string& what, int error)
    : std::runtime_error("cannot " + what + (path.empty() ? "" : " for " + path) + ": " + std::strerror(error)),
      path_(std::move(path)),
      error_(error) {}

void writeFileDurably(const std::string& path, std::string_view data, Existing existing) {
    const Split where = split(path);
    if (where.name.empty() || where.name == "." || where.name == "..")
        throw DurableFileError(path, "write a file without a name", EINVAL);
    Fd dir = openFolder(path, where.folder);
    struct stat st {};
    if (existing == Existing::Keep && fstatat(dir.fd, where.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        throw DurableFileError(path, "keep the existing file", EEXIST);

    // A name nobody can guess, created exclusively and never through a link:
    // another user of a shared folder cannot plant a file or symlink there.
    std::string tmp;
    Fd out;
    for (int attempt = 0; out.fd < 0; ++attempt) {
        tmp = "." + where.name + ".partial-" + randomSuffix();
        out.fd = aboveStandardStreams(
            openat(dir.fd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (out.fd < 0 && (errno != EEXIST || attempt >= 8))
            throw DurableFileError(path, "create a temporary file in " + where.folder, errno);
    }
    auto fail = [&](const std::string& what) {
        int e = errno;
        unlinkat(dir.fd, tmp.c_str(), 0);
        throw DurableFileError(path, what, e);
    };
    if (!writeAll(out.fd, data)) fail("write");
    if (fsync(out.fd) != 0) fail("flush to disk");
    if (fchmod(out.fd, 0644 & ~currentUmask()) != 0) fail("set the mode of");

    // Appenders hold this lock while they write: a replacement waits for
    // them, and they notice the replacement afterwards.
    Fd old(aboveStandardStreams(
        openat(dir.fd, where.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)));
    if (old.fd >= 0) flock(old.fd, LOCK_EX);

    if (existing == Existing::Replace) {
        if (renameat(dir.fd, tmp.c_str(), dir.fd, where.name.c_str()) != 0) fail("rename the temporary file to");
    } else if (renameat2(dir.fd, tmp.c_str(), dir.fd, where.name.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) fail("keep the existing file");
        // File systems without RENAME_NOREPLACE: a hard link refuses an
        // existing name just the same.
        if (linkat(dir.fd, tmp.c_str(), dir.fd, where.name.c_str(), 0) != 0) fail("keep the existing file");
        unlinkat(dir.fd, tmp.c_str(), 0);
    }
    if (fsync(dir.fd) != 0) throw DurableFileError(path, "flush the folder of", errno);
}

void appendFileDurably(const std::string& path, std::string_view data) {
    for (;;) {
        Fd out(aboveStandardStreams(::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC)));
        if (out.fd < 0 && errno == ENOENT) {
            try {
                writeFileDurably(path, data, Existing::Keep);
                return;
            } catch (const DurableFileError& e) {
                if (e.error() != EEXIST) throw;
                continue;  // another writer created it meanwhile: append to theirs
            }
        }
        if (out.fd < 0) throw DurableFileError(path, "open for appending", errno);
        struct stat mine {}, named {};
        if (fstat(out.fd, &mine) != 0) throw DurableFileError(path, "inspect", errno);
        if (!S_ISREG(mine.st_mode)) throw DurableFileError(path, "append to a file that is not a regular file", EINVAL);
        if (flock(out.fd, LOCK_EX) != 0) throw DurableFileError(path, "lock", errno);
        // Replaced while we waited for the lock: append to the new file.
        if (lstat(path.c_str(), &named) != 0 || named.st_ino != mine.st_ino || named.st_dev != mine.st_dev) continue;
        if (fstat(out.fd, &mine) != 0) throw DurableFileError(path, "inspect", errno);
        const off_t before = mine.st_size;
        if (!writeAll(out.fd, data) || fsync(out.fd) != 0) {
            int e = errno;
            // Cut a partial append back off, so the file ends in whole lines.
            if (ftruncate(out.fd, before) == 0) fsync(out.fd);
            throw DurableFileError(path, "append to", e);
        }
        return;
    }
}

void removeFileDurably(const std::string& path) {
    const Split where = split(path);
    struct stat st {};
    if (lstat(where.folder.c_str(), &st) != 0 && errno == ENOENT) return;  // no folder, no file
    Fd dir = openFolder(path, where.folder);
    if (unlinkat(dir.fd, where.name.c_str(), 0) != 0) {
        if (errno == ENOENT) return;
        throw DurableFileError(path, "delete", errno);
    }
    if (fsync(dir.fd) != 0) throw DurableFileError(path, "flush the folder of", errno);
}

}  // namespace ostrel::basic
