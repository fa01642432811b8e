// zrqctl board: the board's boot-time setup. The kernel finds the SMBus controller and the
// super-I/O monitor by itself, but not the chips on the bus that have no detect routine (the
// fan controller) nor a slot switch that firmware does not describe: the board description
// names them, and setup instantiates them through the adapter's new_device, teardown removes
// them again. Run as root, from the setup unit, before zrqd.
#include "commands.hpp"
#include "platform/include/adapter_name.hpp"
#include "platform/include/regular_file.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zrqctl {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxBoardFile = 1u << 20;

// A chip the kernel does not find on its own.
struct Chip {
    std::string id;      // the board file's name for it ("fanboard", "switch")
    std::string driver;  // the i2c device type new_device takes ("max31790")
    std::string adapter; // the adapter's name
    int address = -1;    // 7-bit
};

struct BoardArgs {
    std::string board; // --board
    int wait_s = 30;   // --wait
};

std::string board_path(const std::string &option) {
    if (!option.empty()) return option;
    if (const char *env = std::getenv("PVQIO_BOARD"); env && *env) return env;
    return ZRQ_BOARD;
}

// The board file, read as libpvqio reads it: a regular file of at most 1 MiB, never a FIFO
// that would block the boot.
nlohmann::json read_board(const std::string &path) {
    std::string text;
    const std::string why =
        platform::read_regular_file(path, kMaxBoardFile, "a board description", text);
    if (!why.empty()) throw BadArgument(path + ": " + why);
    nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_object()) throw BadArgument(path + ": not valid JSON");
    return doc;
}

int address_of(const nlohmann::json &j) {
    if (j.is_number_integer()) return j.get<int>();
    if (!j.is_string()) return -1;
    const std::string s = j.get<std::string>();
    char *end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 0);
    return s.empty() || *end != '\0' || v < 0 || v > 0x7F ? -1 : static_cast<int>(v);
}

// The chips to instantiate: every chip with an adapter and an address, and the slot switch
// where the kernel is to own it.
std::vector<Chip> chips_of(const nlohmann::json &doc, const std::string &path) {
    std::vector<Chip> out;
    const std::string main_adapter = doc.value("adapter", std::string());
    if (doc.contains("chips") && doc["chips"].is_object()) {
        for (const auto &[id, c] : doc["chips"].items()) {
            if (!c.is_object() || !c.contains("adapter") || !c.contains("address")) continue;
            Chip chip{id, c.value("driver", c.value("name", std::string())),
                      c.value("adapter", std::string()), address_of(c["address"])};
            if (chip.driver.empty() || chip.address < 0 || chip.adapter.empty())
                throw BadArgument(path + ": chips." + id +
                                  ": needs a name, an adapter and an "
                                  "address from 0 to 127");
            out.push_back(chip);
        }
    }
    if (doc.contains("switch") && doc["switch"].is_object()) {
        const auto &s = doc["switch"];
        if (s.value("owner", std::string("library")) == "kernel")
            out.push_back({"switch", s.value("driver", std::string()), main_adapter,
                           address_of(s.value("address", nlohmann::json()))});
    }
    return out;
}

std::string first_line(const fs::path &p) {
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    return s;
}

// The adapter folder named `name` (exactly, else alone in its kind but for the I/O base), or
// "" with the reason.
std::string find_adapter(const fs::path &devices, const std::string &name, std::string &why) {
    std::vector<fs::path> exact, alike;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(devices, ec)) {
        const std::string f = e.path().filename().string();
        if (f.rfind("i2c-", 0) != 0 || f.find_first_not_of("0123456789", 4) != std::string::npos)
            continue;
        const std::string n = first_line(e.path() / "name");
        if (n == name) exact.push_back(e.path());
        if (platform::without_io_base(n) == platform::without_io_base(name))
            alike.push_back(e.path());
    }
    if (exact.size() == 1) return exact.front();
    if (exact.empty() && alike.size() == 1) return alike.front();
    why = exact.size() + alike.size() == 0 ? "no i2c adapter is named \"" + name + "\""
                                           : "several i2c adapters are named like \"" + name + "\"";
    return "";
}

// Writes `text` to a sysfs control file; "" or why not.
std::string write_control(const fs::path &file, const std::string &text) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return file.string() + ": " + std::strerror(errno);
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int err = n < 0 ? errno : 0;
    ::close(fd);
    return n == static_cast<ssize_t>(text.size()) ? "" : file.string() + ": " + std::strerror(err);
}

void run(const BoardArgs &a, bool setup, Report &r) {
    const std::string path = board_path(a.board);
    const std::vector<Chip> chips = chips_of(read_board(path), path);
    const char *root = std::getenv("PVQSMB_SYSFS");
    const fs::path devices = fs::path(root && *root ? root : "/sys") / "bus/i2c/devices";
    r.columns({"chip", "driver", "address", "adapter", "result"});
    std::string failed;
    for (const Chip &c : chips) {
        char addr[8];
        std::snprintf(addr, sizeof addr, "0x%02x", c.address);
        std::string why, adapter;
        // Setup waits for the controller's driver (bounded): udev may have settled before it
        // registered the adapter.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(a.wait_s);
        while ((adapter = find_adapter(devices, c.adapter, why)).empty() && setup &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        std::string result;
        if (adapter.empty()) {
            result = why;
        } else {
            const std::string bus = fs::path(adapter).filename().string().substr(4);
            char client[32];
            std::snprintf(client, sizeof client, "%s-%04x", bus.c_str(), c.address);
            const bool there = fs::exists(devices / client);
            if (setup && there)
                result = "already there";
            else if (!setup && !there)
                result = "not there";
            else if (setup)
                result =
                    write_control(fs::path(adapter) / "new_device", c.driver + " " + addr + "\n");
            else
                result =
                    write_control(fs::path(adapter) / "delete_device", std::string(addr) + "\n");
            if (result.empty()) result = setup ? "made" : "removed";
            adapter = "i2c-" + bus;
        }
        const bool ok = result == "made" || result == "removed" || result == "already there" ||
                        result == "not there";
        if (!ok)
            failed += (failed.empty() ? "" : "; ") + c.id + " (" + c.driver + " at " + addr +
                      "): " + result;
        r.row({{"chip", c.id},
               {"driver", c.driver},
               {"address", addr},
               {"adapter", adapter.empty() ? c.adapter : adapter},
               {"result", result}},
              {c.id, c.driver, addr, adapter.empty() ? c.adapter : adapter, result});
    }
    if (!failed.empty()) throw NothingRead(failed);
}

} // namespace

void add_board(CLI::App &app, Context &ctx) {
    auto a = std::make_shared<BoardArgs>();
    CLI::App *cmd = app.add_subcommand(
        "board", "The board's boot-time setup: the SMBus chips the kernel cannot detect (as root)");
    cmd->require_subcommand(1);
    cmd->add_option("--board", a->board,
                    "Board description (default: $PVQIO_BOARD, else " + std::string(ZRQ_BOARD) +
                        ")");
    for (const bool setup : {true, false}) {
        CLI::App *sub = cmd->add_subcommand(
            setup ? "setup" : "teardown",
            setup ? "Instantiate the chips the board description names on their adapters"
                  : "Remove the chips that setup instantiated");
        if (setup)
            sub->add_option("--wait", a->wait_s, "Seconds to wait for an adapter to appear")
                ->transform(number(0, 600));
        sub->callback(
            [&ctx, a, setup] { ctx.action = [a, setup](Report &r) { run(*a, setup, r); }; });
    }
}

} // namespace zrqctl
