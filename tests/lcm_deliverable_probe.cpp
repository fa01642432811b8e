// Runs the shipped LCD plug-in, which opens /dev/ttyS1 and nothing else, against a
// pseudo-terminal bound over /dev/ttyS1 in a private mount namespace (root only).
//
//   lcm_deliverable_probe SLAVE_PTY PLUGIN
//
// Prints "open=R info=R model=M write=R close=R"; exit 77 when the namespace cannot be had.
#include "pvqinc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int skip(const char *what) {
    std::printf("skip: %s: errno %d\n", what, errno);
    return 77;
}

bool touch(const char *path) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const char *slave = argv[1];
    if (unshare(CLONE_NEWNS) != 0) return skip("unshare");
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return skip("private mounts");
    struct stat st {};
    if (stat("/dev/ttyS1", &st) == 0) {
        if (mount(slave, "/dev/ttyS1", nullptr, MS_BIND, nullptr) != 0) return skip("bind");
    } else {
        // No such port here: keep the pty reachable, give this namespace a /dev of its own
        // and bind the pty where the port would be.
        const std::string keep = "/tmp/lcm-probe-" + std::to_string(getpid());
        if (!touch(keep.c_str())) return skip("temporary file");
        const bool ok = mount(slave, keep.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                        mount("none", "/dev", "tmpfs", 0, nullptr) == 0 && touch("/dev/ttyS1") &&
                        mount(keep.c_str(), "/dev/ttyS1", nullptr, MS_BIND, nullptr) == 0;
        umount2(keep.c_str(), MNT_DETACH);
        ::unlink(keep.c_str());
        if (!ok) return skip("mounts");
    }

    void *lib = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::printf("dlopen: %s\n", dlerror());
        return 1;
    }
    auto open_fn = reinterpret_cast<int (*)()>(dlsym(lib, "_brdPVQ_LCM_DeviceOpen"));
    auto info_fn = reinterpret_cast<int (*)(LCM_INFO *)>(dlsym(lib, "_brdPVQ_LCM_DeviceInfo"));
    auto write_fn =
        reinterpret_cast<int (*)(unsigned char *)>(dlsym(lib, "_brdPVQ_LCM_WriteString"));
    auto close_fn = reinterpret_cast<int (*)()>(dlsym(lib, "_brdPVQ_LCM_DeviceClose"));
    if (!open_fn || !info_fn || !write_fn || !close_fn) return 1;
    LCM_INFO info{};
    const int o = open_fn();
    const int i = info_fn(&info);
    const int w = write_fn(reinterpret_cast<unsigned char *>(const_cast<char *>("ttyS1")));
    const int c = close_fn();
    std::printf("open=%d info=%d model=%04x write=%d close=%d\n", o, i, info.uwModeNo, w, c);
    dlclose(lib);
    return 0;
}
