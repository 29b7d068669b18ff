// Files whose contents must survive a crash or a full disk: written to a new
// temporary file beside the target (exclusive, unpredictable name, never
// through a symlink), flushed to disk, renamed over the target and the
// folder flushed; or appended to in one write and flushed, with the target
// locked so that concurrent writers to one file take turns.
//
// Failures throw DurableFileError naming the file, the step and the cause;
// the target is then as it was before the call.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace ostrel::basic {

class DurableFileError : public std::runtime_error {
public:
    DurableFileError(std::string path, const std::string& what, int error);
    const std::string& path() const { return path_; }
    int error() const { return error_; }  // errno of the failed step

private:
    std::string path_;
    int error_;
};

enum class Existing {
    Replace,  // an existing target is replaced whole
    Keep,     // an existing target is never replaced: EEXIST instead
};

// Writes data as the whole new content of path. The file gets mode 0644 less
// the process umask.
void writeFileDurably(const std::string& path, std::string_view data, Existing existing = Existing::Replace);

// Appends data to path in one write and flushes it to disk, creating the
// file (durably, as above) when it does not exist. A failed append is cut
// back off, so the file never ends in a partial write.
void appendFileDurably(const std::string& path, std::string_view data);

// Removes path if it exists and flushes its folder.
void removeFileDurably(const std::string& path);

}  // namespace ostrel::basic
