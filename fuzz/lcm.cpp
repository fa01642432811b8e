// The LCD plug-in's receive path and answer handling, on any byte stream from the port. The
// plug-in (its test build) is opened once over a pseudo-terminal; a module thread on the other
// end answers each frame the plug-in sends with the next piece of the input: [operations]
// then pieces of [length][bytes]. Silence, garbage, short, long and late answers all come up.
// Every call must end with one of its status codes and a result a host can use, never a
// crash, a hang or a sanitizer report.
#include "lcmlib.h"
#include "pvqinc.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class Module {
  public:
    Module() {
        char name[128];
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) std::abort();
        path_ = name;
        thread_ = std::thread([this] { run(); });
    }
    const std::string &path() const { return path_; }
    // The answers to the frames to come, in order; the probe is answered while none are set.
    void answers(std::vector<std::string> pieces) {
        std::lock_guard lock(mutex_);
        pieces_ = std::move(pieces);
        next_ = 0;
        scripted_ = true;
    }

  private:
    void run() {
        uint8_t buf[256];
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, -1) <= 0) continue;
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) continue;
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == 0xFD) answer(); // the end of a frame
        }
    }
    void answer() {
        std::string a;
        {
            std::lock_guard lock(mutex_);
            if (!scripted_)
                a = "\x12\x34";
            else if (next_ < pieces_.size())
                a = pieces_[next_++];
        }
        if (!a.empty()) [[maybe_unused]]
            ssize_t w = write(master_, a.data(), a.size());
    }

    int master_ = -1, slave_ = -1; // the slave stays open: a pty without one reads EIO
    std::string path_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> pieces_;
    size_t next_ = 0;
    bool scripted_ = false;
};

Module *module() {
    static Module *m = [] {
        auto *mod = new Module; // lives as long as the process: the plug-in's port is its
        lcm_test_set_port(mod->path().c_str());
        // The open must find the module however busy the machine is; after it, a short
        // answer window, since most inputs end in a time-out.
        lcm_test_set_silence_ms(2000);
        if (_brdPVQ_LCM_DeviceOpen() != ERR_Success) std::abort();
        lcm_test_set_silence_ms(2);
        return mod;
    }();
    return m;
}

bool status_code(int r) {
    return r <= 0 && r >= -6;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Module *m = module();
    if (size == 0) return 0;
    const uint8_t ops = data[0];
    std::vector<std::string> pieces;
    for (size_t i = 1; i < size;) {
        const size_t n = data[i++];
        const size_t take = n < size - i ? n : size - i;
        pieces.emplace_back(reinterpret_cast<const char *>(data + i), take);
        i += take;
    }
    m->answers(std::move(pieces));
    if (ops & 1) {
        LCM_INFO info{};
        if (!status_code(_brdPVQ_LCM_DeviceInfo(&info))) std::abort();
    }
    if (ops & 2) {
        unsigned char keys = 0xEE;
        const int r = _brdPVQ_LCM_KeysStatus(&keys);
        if (!status_code(r)) std::abort();
        if (r == ERR_Success && keys != 0 && keys != LCMKEY_A && keys != LCMKEY_B &&
            keys != LCMKEY_C && keys != LCMKEY_D)
            std::abort();
    }
    if (ops & 4 && !status_code(_brdPVQ_LCM_Brightness(static_cast<unsigned char>(ops >> 5))))
        std::abort();
    if (ops & 8) {
        unsigned char text[] = "fuzz";
        if (!status_code(_brdPVQ_LCM_SetCursor(1, 2)) ||
            !status_code(_brdPVQ_LCM_WriteString(text)))
            std::abort();
    }
    if (ops & 16) {
        unsigned char keys = 0;
        _brdPVQ_LCM_KeysStatus(&keys); // a second query: leftovers of the first are no answer
    }
    return 0;
}
