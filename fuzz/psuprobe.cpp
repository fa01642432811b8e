// psuprobe on any command line and any bus: the input is NUL-separated arguments, then, after
// an empty argument, what the supplies answer (each read takes the next bytes: a status byte,
// then the word, byte or block). The program's own texts and exit codes are what they are;
// it may not crash, hang or read past what the bus gave.
#include "pvqsmb_backend.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

int psuprobe_main(int argc, char **argv); // tools/psuprobe.cpp, its main renamed

namespace {

// A bus that answers every transfer from the fuzzer's bytes; out of bytes, nothing answers.
class FuzzBus : public pvqsmb::Backend {
  public:
    void feed(const uint8_t *p, size_t n) { p_ = p, n_ = n; }
    int read_word(uint8_t, uint8_t, uint16_t *v) override {
        if (const int r = status(); r != 0) return r;
        *v = static_cast<uint16_t>(take() | take() << 8);
        return 0;
    }
    int read_byte(uint8_t, uint8_t, uint8_t *v) override {
        if (const int r = status(); r != 0) return r;
        *v = take();
        return 0;
    }
    int write_byte(uint8_t, uint8_t, uint8_t) override { return status(); }
    int read_block(uint8_t, uint8_t, uint8_t *buf) override {
        if (const int r = status(); r != 0) return r;
        const uint8_t count = take();
        const int n = count > 32 ? 32 : count;
        for (int i = 0; i < n; ++i) buf[i] = take();
        return n;
    }
    int switch_slot(uint8_t, uint8_t) override { return status(); }

  private:
    // The first byte of each transfer: 0 done, otherwise one of the failures a bus gives.
    int status() {
        if (n_ == 0) return -ENXIO;
        static constexpr int kFailures[] = {-ENXIO, -EREMOTEIO, -ETIMEDOUT, -EAGAIN, -EPROTO};
        const uint8_t s = take();
        return s < 192 ? 0 : kFailures[s % 5];
    }
    uint8_t take() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    const uint8_t *p_ = nullptr;
    size_t n_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FuzzBus bus;
    pvqsmb::set_backend(&bus);
    std::vector<std::string> args = {"psuprobe"};
    size_t i = 0;
    while (i < size && args.size() < 8) {
        const void *nul = std::memchr(data + i, 0, size - i);
        const size_t end =
            nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data) : size;
        if (end == i) { // an empty argument ends the command line
            ++i;
            break;
        }
        args.emplace_back(reinterpret_cast<const char *>(data + i), end - i);
        i = end + 1;
    }
    bus.feed(data + (i < size ? i : size), i < size ? size - i : 0);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    psuprobe_main(static_cast<int>(args.size()), argv.data());
    pvqsmb::set_backend(nullptr);
    return 0;
}
