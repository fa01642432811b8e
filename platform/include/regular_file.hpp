// Reading a file a user names (a board description, a configuration) with the bounds every
// such input has: a regular file only, opened without waiting (a FIFO in its place cannot block
// the caller, a device cannot feed it forever), at most `max` bytes.
#pragma once

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

// "" with the file's whole content in `text`, or why not: "cannot be read: ...", "is a FIFO,
// not <what>", "is larger than 1 MiB".
inline std::string read_regular_file(const std::string &path, size_t max, const std::string &what,
                                     std::string &text) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::string("cannot be read: ") + std::strerror(errno);
    struct stat st {};
    std::string why;
    if (::fstat(fd, &st) != 0)
        why = std::string("cannot be read: ") + std::strerror(errno);
    else if (S_ISDIR(st.st_mode))
        why = "is a directory, not " + what;
    else if (S_ISFIFO(st.st_mode))
        why = "is a FIFO, not " + what;
    else if (!S_ISREG(st.st_mode))
        why = "is a device or socket, not " + what;
    const std::string too_large = "is larger than " + std::to_string(max >> 20) + " MiB";
    while (why.empty()) {
        char buf[8192];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            why = std::string("cannot be read: ") + std::strerror(errno);
        else if (text.size() + static_cast<size_t>(n) > max)
            why = too_large;
        else
            text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return why;
}

} // namespace platform
