// One line of a platform library on stderr, written whole in one write. Where stderr is the
// journal (systemd sets JOURNAL_STREAM to the device and inode of the stream it gave the
// service), the line carries a syslog level prefix, "<4>" (warning): what a library says is
// why readings fail, and `journalctl -p warning` must show it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

inline bool stderr_is_journal() {
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 &&
           ::fstat(2, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

inline void say_line(const char *library, const std::string &line) {
    static const bool journal = stderr_is_journal();
    const std::string text = (journal ? "<4>" : "") + std::string(library) + ": " + line + "\n";
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(2, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

} // namespace platform
