// Descriptors a library opens must never take 0, 1 or 2: a program started
// with a standard stream closed would otherwise print onto whatever the
// library opened (a serial bus, a record file).
#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace ostrel::basic {

// Returns fd itself when it is 3 or above; otherwise a close-on-exec copy at
// 3 or above, closing the original. On failure the original is closed and -1
// returned with errno set.
inline int aboveStandardStreams(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

}  // namespace ostrel::basic
