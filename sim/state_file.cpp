// The state file of a virtual platform: where it is kept, and how it is read and written
// without ever following a link or losing a write.
#include "platform.hpp"
#include "platform_shared.hpp"

#include "hwm_sim.hpp"

#include "pvqio_items.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zrqsim {

using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

// The folder for the state of descriptions in folders this user cannot write: zrqsim-<uid>
// under $XDG_RUNTIME_DIR where that folder exists, else under the temporary folder. It must be
// this user's own folder and no one else's to write: in a shared /tmp another user could
// have made it, or a link in its place, to read or plant the state. "" with the reason in
// `why` otherwise.
std::string runtime_folder(std::string &why) {
    struct stat st {};
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    const bool xdg_usable = xdg && *xdg && ::stat(xdg, &st) == 0 && S_ISDIR(st.st_mode);
    std::error_code ec;
    const fs::path base = xdg_usable ? fs::path(xdg) : fs::temp_directory_path(ec);
    const fs::path dir = base / ("zrqsim-" + std::to_string(getuid()));
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        why = dir.string() + ": cannot be made: " + std::strerror(errno);
        return "";
    }
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = dir.string() + ": not a folder of this user's alone (a link, another owner, or " +
              "writable by others); the platform's state is not kept there";
        return "";
    }
    return dir.string();
}

} // namespace

StateStore::StateStore(const std::string &description, const std::string &fingerprint)
    : description_(description), fingerprint_(fingerprint) {
    std::error_code ec;
    const fs::path abs = fs::absolute(description, ec);
    const fs::path dir = abs.parent_path();
    // Beside the description only in a folder no one else may write: in one they may (a 0777
    // or group-writable folder, sticky or not), another user could plant a link at the state's
    // name or its temporary file before we write it.
    struct stat folder {};
    const bool ours_alone =
        ::stat(dir.c_str(), &folder) == 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    if (ours_alone && ::access(dir.c_str(), W_OK) == 0) {
        state_ = abs.string() + ".state";
    } else if (const std::string folder_path = runtime_folder(problem_); !folder_path.empty()) {
        // A read-only folder (a shipped file) or one others may write: the state per absolute
        // path elsewhere, named alike by the 32-bit and the 64-bit build.
        state_ = folder_path + "/" + abs.filename().string() + "-" +
                 content_fingerprint(abs.string()) + ".state";
    }
    lock_path_ = state_.empty() ? "" : state_ + ".lock";
}

int StateStore::lock() const {
    if (state_.empty()) return EACCES; // no place for it: problem() says why
    if (lock_fd_ < 0)
        lock_fd_ = ::open(lock_path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) return errno;
    while (::flock(lock_fd_, LOCK_EX) < 0)
        if (errno != EINTR) return errno;
    return 0;
}

void StateStore::unlock() const {
    if (lock_fd_ >= 0) {
        ::flock(lock_fd_, LOCK_UN);
        ::close(lock_fd_);
        lock_fd_ = -1;
    }
}

int StateStore::read_text(std::string &text, bool *damaged) const {
    text.clear();
    if (damaged) *damaged = false;
    // Never through a link, and only a file of this user's own: a state planted by another
    // user is refused rather than believed or written over.
    const int fd = ::open(state_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : errno;
    struct stat state {};
    const int why = ::fstat(fd, &state) != 0      ? errno
                    : !S_ISREG(state.st_mode)     ? EISDIR
                    : state.st_uid != ::geteuid() ? EPERM
                                                  : 0;
    if (why != 0) {
        ::close(fd);
        return why;
    }
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            return err;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (text.empty()) return 0;
    // Parsed once here, to tell a damaged state from one saved for another description.
    const json doc =
        nesting(text, kMaxDepth) > kMaxDepth ? json() : json::parse(text, nullptr, false);
    // Truncated, not JSON, nested past all reason: start from the description, and say so.
    if (damaged && !doc.is_object()) *damaged = true;
    // Saved for another content of the description (it was edited): start from it again.
    if (!doc.is_object() || !doc.contains("description") || doc["description"] != fingerprint_)
        text.clear();
    return 0;
}

int StateStore::write_text(const std::string &text) const {
    const std::string tmp = state_ + ".tmp";
    // A new file of our own, never an existing one or a link's target: what a killed writer
    // left (or anything else at that name) goes first, under the lock.
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) return errno;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    int err = 0;
    for (size_t done = 0; done < text.size() && err == 0;) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (errno != EINTR)
            err = errno;
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && std::rename(tmp.c_str(), state_.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(tmp.c_str());
    return err;
}

} // namespace zrqsim
