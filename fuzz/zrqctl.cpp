// zrqctl on any command line: NUL-separated arguments, run against a copy of the shipped
// virtual platform. The LCD plug-ins are kept out of reach (their commands are parsed, then
// fail to load), so that no input can make the fuzzer write to a serial port or a file named
// as one. Any exit status is fine; a crash, a hang or a sanitizer report is not.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

int zrqctl_main(int argc, char **argv); // tools/zrqctl, its main renamed

namespace fs = std::filesystem;

namespace {
fs::path work;
void remove_work() {
    std::error_code ec;
    fs::remove_all(work, ec);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    work = "/tmp/fuzz-zrqctl-" + std::to_string(::getpid());
    std::atexit(remove_work);
    fs::create_directories(work / "plugins");
    for (const char *p : {"zrq4470lbp.so", "zrq4470psu.so", "zrq4470hwm.so"}) {
        const fs::path lib = fs::path(ZRQ_PLUGIN_DIR) / p;
        fs::create_symlink(lib, work / "plugins" / p);
        // Loaded once for good: a plug-in unloaded and loaded again would leave the
        // fuzzer's coverage counters pointing at freed memory.
        dlopen((work / "plugins" / p).c_str(), RTLD_NOW | RTLD_NODELETE);
    }
    fs::copy_file(ZRQ_SHIPPED_PLATFORM, work / "platform.json",
                  fs::copy_options::overwrite_existing);
    setenv("ZRQ_PLUGIN_DIR", (work / "plugins").c_str(), 1);
    setenv("PVQSMB_PLATFORM", (work / "platform.json").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", work.c_str(), 1);
    unsetenv("PVQIO_PLATFORM");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> args = {"zrqctl"};
    size_t i = 0;
    while (i <= size && args.size() < 12) {
        const void *nul = i < size ? std::memchr(data + i, 0, size - i) : nullptr;
        const size_t end =
            nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data) : size;
        args.emplace_back(reinterpret_cast<const char *>(data + i), end - i);
        i = end + 1;
    }
    for (const std::string &a : args)
        if (a.rfind("--plugins", 0) == 0) return 0; // only the plug-ins set up above
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    zrqctl_main(static_cast<int>(args.size()), argv.data());
    return 0;
}
