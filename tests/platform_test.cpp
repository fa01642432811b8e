// The virtual platform description and the state that persists between processes.
#include "platform.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <functional>
#include <csignal>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fstream>
#include <unistd.h>

using namespace zrqsim;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

class PlatformFile : public ::testing::Test {
  protected:
    std::string write(const std::string &text, const char *name = "p.json") {
        std::ofstream(dir / name) << text;
        return (dir / name).string();
    }
    TempDir dir{"zrqsim"};
};

std::unique_ptr<PlatformBackend> open(const std::string &path) {
    return std::make_unique<PlatformBackend>(VirtualPlatform::load(path));
}

const char *kTwoModules = R"({"bypass": [{"slot": 0}, {"slot": 2, "disconnect": false,
                              "registers": {"0x12": 5}, "invalid": ["0x13"]}]})";

} // namespace

TEST_F(PlatformFile, DescribedDevicesSitWhereTheFileSays) {
    auto b = open(write(kTwoModules));
    uint16_t w = 0;
    EXPECT_EQ(b->read_word(0x6E, 0x01, &w), 0);
    EXPECT_EQ(b->read_word(0x60, 0x12, &w), -ENXIO) << "slot 2 is behind the switch";
    EXPECT_EQ(b->switch_slot(0xE6, 2), 0);
    ASSERT_EQ(b->read_word(0x60, 0x12, &w), 0);
    EXPECT_EQ(w >> 8, 5);
    ASSERT_EQ(b->read_word(0x60, 0x13, &w), 0);
    EXPECT_EQ(w & 0x80, 0) << "listed as invalid";
    ASSERT_EQ(b->read_word(0x60, 0x14, &w), 0);
    EXPECT_EQ(w & 0x80, 0) << "no port disconnect";
}

TEST_F(PlatformFile, WritesPersistToTheNextProcess) {
    const std::string path = write(kTwoModules);
    {
        auto first = open(path);
        ASSERT_EQ(first->switch_slot(0xE6, 2), 0);
        ASSERT_EQ(first->write_byte(0x60, 0x12, 0x03), 0);
        ASSERT_EQ(first->write_byte(0x6E, 0x14, 0x81), 0);
    }
    EXPECT_TRUE(fs::exists(path + ".state"));
    auto second = open(path);
    uint16_t w = 0;
    ASSERT_EQ(second->switch_slot(0xE6, 2), 0);
    ASSERT_EQ(second->read_word(0x60, 0x12, &w), 0);
    EXPECT_EQ(w >> 8, 0x03);
    ASSERT_EQ(second->read_word(0x6E, 0x14, &w), 0);
    EXPECT_EQ(w >> 8, 0x81);

    // Two live backends see each other's writes at once.
    auto third = open(path);
    ASSERT_EQ(third->write_byte(0x6E, 0x10, 0x0F), 0);
    ASSERT_EQ(second->read_word(0x6E, 0x10, &w), 0);
    EXPECT_EQ(w >> 8, 0x0F);
}

TEST_F(PlatformFile, AnEditedDescriptionStartsAfreshATouchedOneKeepsItsState) {
    const struct {
        const char *name;
        std::function<void(const std::string &)> change;
        int want; // register 0x12 of slot 0 afterwards
    } cases[] = {
        {"touched, even into the future",
         [](const std::string &path) {
             fs::last_write_time(path, fs::file_time_type::clock::now() + std::chrono::hours(24));
         },
         0x07},
        {"rewritten with the same content",
         [](const std::string &path) { std::ofstream(path) << kTwoModules; }, 0x07},
        {"edited", [](const std::string &path) { std::ofstream(path) << kTwoModules << " "; }, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write(kTwoModules);
        fs::remove(path + ".state");
        {
            auto b = open(path);
            ASSERT_EQ(b->write_byte(0x6E, 0x12, 0x07), 0);
        }
        c.change(path);
        auto b = open(path);
        uint16_t w = 0;
        ASSERT_EQ(b->read_word(0x6E, 0x12, &w), 0);
        EXPECT_EQ(w >> 8, c.want);
        // And a state saved after the change is kept from then on.
        ASSERT_EQ(b->write_byte(0x6E, 0x12, 0x03), 0);
        ASSERT_EQ(open(path)->read_word(0x6E, 0x12, &w), 0);
        EXPECT_EQ(w >> 8, 0x03);
    }
}

TEST_F(PlatformFile, DescriptionErrorsNameTheFileAndThePlace) {
    const std::pair<std::string, std::string> cases[] = {
        {"{", "not valid JSON"},
        {"16E416E4", "not valid JSON"}, // past what a double holds: out_of_range, not parse_error
        {"[]", "expected an object"},
        {R"({"bypass": [{"slot": 0}, {"slot": 0}]})", "bypass[1].slot: slot 0 is described twice"},
        {R"({"bypass": [{"slot": 0, "version": [1]}]})", "bypass[0].version: expected two bytes"},
        {R"({"bypass": [{}]})", "bypass[0]: missing \"slot\""},
        {R"({"psu": [{"number": 1, "maker": "ACME"}]})",
         "psu[0].maker: expected \"DELTA\" or \"3Y\""},
        {R"({"psu": [{"number": 1, "readings": {"vcc": 1}}]})",
         "psu[0].readings.vcc: unknown reading"},
        {R"({"psu": [{"number": 2, "status_word": 70000}]})",
         "psu[0].status_word: 70000 is outside 0..65535"},
        {R"({"hwm": {"values": {"HWMID_TEMP_CPU9": 1}}})",
         "hwm.values.HWMID_TEMP_CPU9: unknown item (an item's name"},
        {R"({"hwm": {"values": {"62": 1}}})", "hwm.values.62: 62 is outside 0..61"},
        {R"({"faults": [{"op": "explode"}]})",
         "faults[0].op: unknown operation \"explode\" (read_word, read_byte, write_byte, "
         "read_block or switch)"},
        {R"({"bypass": [{"slot": 9}]})", "bypass[0].slot: 9 is outside 0..8"},
        {R"({"bypass": [{"slot": 0, "slot": 1}]})", "the key \"slot\" is given twice"},
        {R"({"psu": [{"number": 18446744073709551615}]})",
         "psu[0].number: 18446744073709551615 is outside 1..3"},
        {"{\"bypass\": [{\"slot\": 0, \"a\\nb\\u001b[2J\": 1}]}",
         "bypass[0].a\\x0Ab\\x1B[2J: unknown key"},
        {"{\"bypass\": [{\"slot\": 0, \"a\\u0000b\": 1}]}", "bypass[0].a\\x00b: unknown key"},
        {R"({"bypass": [{"slot": 0, "colour": "red"}]})", "bypass[0].colour: unknown key"},
    };
    for (const auto &[text, message] : cases) {
        SCOPED_TRACE(text);
        const std::string path = write(text);
        try {
            VirtualPlatform::load(path);
            ADD_FAILURE() << "accepted";
        } catch (const PlatformError &e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind(path + ": ", 0), 0u) << what;
            EXPECT_NE(what.find(message), std::string::npos) << what;
            for (const unsigned char c : what)
                EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "one line of plain text: " << what;
        }
    }
    EXPECT_THROW(VirtualPlatform::load((dir / "missing.json").string()), PlatformError);
}

TEST_F(PlatformFile, FilesThatAreNoDescriptionGiveOneLineNotAHangOrACrash) {
    const std::string path = (dir / "odd.json").string();
    struct Case {
        const char *name;
        std::function<void()> make;
        const char *message;
    } cases[] = {
        {"a directory", [&] { fs::create_directory(path); }, "is a directory, not a file"},
        {"a FIFO with no writer", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
         "is not a regular file"},
        {"a million nested arrays", [&] { std::ofstream(path) << std::string(1000000, '['); },
         "nests deeper than 64 levels"},
        {"nested objects",
         [&] {
             std::string t;
             for (int i = 0; i < 100; ++i) t += "{\"a\":";
             std::ofstream(path) << t;
         },
         "nests deeper than 64 levels"},
        {"more than 4 MiB", [&] { std::ofstream(path) << std::string(5 << 20, ' '); },
         "is larger than 4 MiB"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(path);
        c.make();
        try {
            VirtualPlatform::load(path);
            ADD_FAILURE() << "accepted";
        } catch (const PlatformError &e) {
            EXPECT_EQ(std::string(e.what()), path + ": " + c.message);
        }
    }
    fs::remove_all(path);
}

TEST_F(PlatformFile, ADeeplyNestedStateIsNoState) {
    auto p = VirtualPlatform::load(write(R"({"bypass": [{"slot": 0}]})"));
    LbpModule &m = *p->bypass().at(0);
    m.write_byte(0x12, 0x02);
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    for (const std::string &state : {deep, "{\"bypass\": " + deep + "}", "{\"x\": " + deep + "}"}) {
        EXPECT_NO_THROW(restore_bypass(*p, state, 1000));
        EXPECT_EQ(m.value(0x12), 0x02) << "the module keeps what it has";
        EXPECT_NO_THROW(save_bypass(*p, state, 1000));
    }
}

TEST_F(PlatformFile, FaultsFromTheDescription) {
    auto b = open(write(R"({"psu": [{"number": 1}],
        "faults": [{"op": "read_word", "addr": "0xB0", "cmd": "0x8D", "times": 2, "code": -110},
                   {"op": "switch", "slot": 3, "code": -16}]})"));
    uint16_t w = 0;
    EXPECT_EQ(b->read_word(0xB0, 0x8D, &w), -110);
    EXPECT_EQ(b->read_word(0xB0, 0x8D, &w), -110);
    EXPECT_EQ(b->read_word(0xB0, 0x8D, &w), 0);
    EXPECT_EQ(b->switch_slot(0xE6, 3), -16);
}

TEST_F(PlatformFile, ShippedPlatformLoads) {
    auto p = VirtualPlatform::load(ZRQ_DEFAULT_PLATFORM);
    EXPECT_EQ(p->bypass().size(), 2u);
    ASSERT_NE(p->psu(1), nullptr);
    ASSERT_NE(p->psu(2), nullptr);
    EXPECT_EQ(p->psu(3), nullptr);
    EXPECT_TRUE(p->hwm().values[0].has_value());
}

TEST_F(PlatformFile, HardwareMonitorValuesAndAPersistentCaseOpenClear) {
    const std::string path = write(R"({"hwm": {"values": {"HWMID_TEMP_CPU1": 45000, "20": 2400},
        "names": {"HWMID_TEMP_CPU1": "CPU1 Temp"}, "caseopen": 1}})");
    char err[256] = "";
    std::unique_ptr<pvqio::Backend> first(
        zrqsim_platform_io_backend(path.c_str(), err, sizeof err));
    ASSERT_NE(first, nullptr) << err;
    char text[pvqio::kTextSize];
    ASSERT_EQ(first->sensor(0, text), 0);
    EXPECT_STREQ(text, "45000");
    ASSERT_EQ(first->sensor(20, text), 0);
    EXPECT_STREQ(text, "2400");
    EXPECT_NE(first->sensor(21, text), 0) << "a reading the description lacks";
    ASSERT_EQ(first->name(0, text), 0);
    EXPECT_STREQ(text, "CPU1 Temp");
    int open = 0;
    ASSERT_EQ(first->get_caseopen(&open), 0);
    EXPECT_EQ(open, 1);
    ASSERT_EQ(first->clear_caseopen(), 0);

    std::unique_ptr<pvqio::Backend> second(
        zrqsim_platform_io_backend(path.c_str(), err, sizeof err));
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(second->get_caseopen(&open), 0);
    EXPECT_EQ(open, 0) << "the clear persists to the next process";

    EXPECT_EQ(zrqsim_platform_io_backend((dir / "none.json").c_str(), err, sizeof err), nullptr);
    EXPECT_NE(std::string(err).find("none.json: cannot be read"), std::string::npos) << err;
}

TEST_F(PlatformFile, TimersRunOnInWallClockTimeBetweenProcesses) {
    auto p = VirtualPlatform::load(write(R"({"bypass": [{"slot": 0}]})"));
    LbpModule &m = *p->bypass().at(0);
    m.write_byte(0x21, 0x03); // timer 1 bypasses pairs 1 and 2
    m.write_byte(0x22, 5);
    m.write_byte(0x24, 0);
    const std::string saved = save_bypass(*p, "", 1000);

    struct Case {
        long long now;
        unsigned remaining;
        uint8_t status, bypass;
    } cases[] = {{1003, 2, LbpModule::kTimerRunning, 0x00},
                 {1003, 2, LbpModule::kTimerRunning, 0x00}, // the same again: nothing accumulates
                 {1006, 0, LbpModule::kTimerExpired, 0x03},
                 {999, 5, LbpModule::kTimerRunning, 0x00}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.now);
        m.write_byte(0x12, 0); // whatever this process did, the saved state wins
        restore_bypass(*p, saved, c.now);
        EXPECT_EQ(m.remaining(1), c.remaining);
        EXPECT_EQ(m.value(0x20), c.status);
        EXPECT_EQ(m.value(0x12), c.bypass);
    }
    // A damaged clock is no reason to throw (through a C library's calls): the saved masks
    // come back and the timers stand where they were saved.
    for (const char *clock : {"\"x\"", "null", "1.5", "[1]", "18446744073709551615"}) {
        SCOPED_TRACE(clock);
        json doc = json::parse(saved);
        doc["clock"] = json::parse(clock);
        m.write_byte(0x12, 0);
        EXPECT_NO_THROW(restore_bypass(*p, doc.dump(), 1003));
        EXPECT_EQ(m.remaining(1), 5u);
    }
}

TEST_F(PlatformFile, AStateThatCannotBeKeptFailsTheTransfer) {
    const std::string path = write(R"({"bypass": [{"slot": 0}]})");
    const std::string state = path + ".state";
    struct Case {
        const char *name;
        std::string directory; // made a directory in the way
        bool reads_fail;
    } cases[] = {
        {"the state file is a directory", state, true},
        {"its temporary file is a directory", state + ".tmp", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(state);
        fs::create_directories(c.directory);
        char err[256] = "";
        std::unique_ptr<pvqsmb::Backend> b(zrqsim_platform_backend(path.c_str(), err, sizeof err));
        ASSERT_NE(b, nullptr) << err;
        uint16_t w = 0;
        EXPECT_EQ(b->write_byte(0x6E, 0x12, 0x01), -EISDIR) << "a bypass change nothing keeps";
        EXPECT_EQ(b->read_word(0x6E, 0x12, &w), c.reads_fail ? -EISDIR : 0);
        EXPECT_EQ(b->read_word(0xB0, 0x88, &w) != -EISDIR, true) << "stateless devices answer";
        fs::remove_all(c.directory);
        EXPECT_EQ(b->write_byte(0x6E, 0x12, 0x01), 0);
        EXPECT_FALSE(fs::exists(state + ".tmp")) << "no temporary file left behind";
        ASSERT_EQ(b->read_word(0x6E, 0x12, &w), 0);
        EXPECT_EQ(w >> 8, 0x01) << "kept once it can be";
    }
}

namespace {

// Runs `body` in a child process as an ordinary user (nobody, when the tests run as root, so
// that file permissions apply as they do to a user); "" from it means passed, anything else
// says what failed.
std::string as_ordinary_user(const std::function<std::string()> &body) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string verdict;
        if (getuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            verdict = "cannot become nobody";
        else
            verdict = body();
        [[maybe_unused]] const ssize_t n = write(fds[1], verdict.data(), verdict.size());
        _exit(verdict.empty() ? 0 : 1);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (out.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) out = "the child died";
    return out;
}

// A folder the ordinary user owns.
void give_to_user(const fs::path &p) {
    if (getuid() == 0 && chown(p.c_str(), 65534, 65534) != 0) ADD_FAILURE() << "chown " << p;
}

} // namespace

TEST_F(PlatformFile, OddPlacesForTheStateGiveOneLineAndAFailureNeverALostWrite) {
    const char *kDesc = R"({"bypass": [{"slot": 0}]})";
    const fs::path ro = dir / "ro", xdg = dir / "xdg", tmp = dir / "tmp", rw = dir / "rw",
                   open = dir / "open", victim = dir / "victim";
    for (const auto &d : {ro, xdg, tmp, rw, open}) fs::create_directories(d);
    std::ofstream(ro / "p.json") << kDesc;
    std::ofstream(rw / "p.json") << kDesc;
    std::ofstream(open / "p.json") << kDesc;
    fs::permissions(ro, fs::perms(0555));
    fs::permissions(open, fs::perms(0777));
    for (const auto &d : {xdg, tmp, rw}) give_to_user(d);
    // Another user's link must never lead a write to this file.
    auto victim_kept = [victim]() -> std::string {
        std::ifstream in(victim);
        const std::string text(std::istreambuf_iterator<char>(in), {});
        return text == "precious" ? "" : "the link's target was written: " + text;
    };
    const std::string uid_folder = "zrqsim-" + std::to_string(getuid() == 0 ? 65534 : getuid());

    // In the child: "" when loading `desc` is refused with `reason`, else what happened.
    auto refused = [](const std::string &desc, const std::string &reason) -> std::string {
        try {
            VirtualPlatform::load(desc);
            return "loaded";
        } catch (const PlatformError &e) {
            const std::string what = e.what();
            return what.find(reason) != std::string::npos ? "" : what;
        }
    };
    // In the child: one bypass write and what it gives, then what a second process reads.
    auto write_then_read = [](const std::string &desc, int &code, int &seen) {
        code = PlatformBackend(VirtualPlatform::load(desc)).write_byte(0x6E, 0x12, 0x05);
        uint16_t w = 0;
        PlatformBackend(VirtualPlatform::load(desc)).read_word(0x6E, 0x12, &w);
        seen = w >> 8;
    };
    const struct {
        const char *name;
        std::function<void()> setup; // as root (or the user), before the child
        std::function<std::string()> body;
    } cases[] = {
        {"a read-only folder: the state under $XDG_RUNTIME_DIR", [] {},
         [&]() -> std::string {
             setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
             int code = 0, seen = 0;
             write_then_read((ro / "p.json").string(), code, seen);
             if (code != 0 || seen != 5)
                 return "write " + std::to_string(code) + ", read " + std::to_string(seen);
             for (const auto &e : fs::directory_iterator(xdg / uid_folder))
                 if (e.path().filename().string().rfind("p.json-", 0) == 0) return "";
             return "no state under " + (xdg / uid_folder).string();
         }},
        {"$XDG_RUNTIME_DIR missing: the temporary folder", [] {},
         [&]() -> std::string {
             setenv("XDG_RUNTIME_DIR", (dir / "gone").c_str(), 1);
             setenv("TMPDIR", tmp.c_str(), 1);
             int code = 0, seen = 0;
             write_then_read((ro / "p.json").string(), code, seen);
             if (code != 0 || seen != 5) return "write " + std::to_string(code);
             return fs::is_directory(tmp / uid_folder) ? "" : "nothing under " + tmp.string();
         }},
        {"its folder writable by others",
         [&] {
             fs::create_directories(xdg / uid_folder);
             fs::permissions(xdg / uid_folder, fs::perms(0777));
         },
         [&]() -> std::string {
             setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
             testing::internal::CaptureStderr();
             int code = 0, seen = 0;
             write_then_read((ro / "p.json").string(), code, seen);
             const std::string said = testing::internal::GetCapturedStderr();
             if (code != -EACCES) return "write gave " + std::to_string(code);
             return said.find("not a folder of this user's alone") != std::string::npos ? "" : said;
         }},
        {"its folder a link to another",
         [&] { fs::create_directory_symlink(tmp, xdg / uid_folder); },
         [&]() -> std::string {
             setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
             int code = 0, seen = 0;
             write_then_read((ro / "p.json").string(), code, seen);
             return code == -EACCES ? "" : "write gave " + std::to_string(code);
         }},
        {"an unreadable description", [&] { fs::permissions(rw / "p.json", fs::perms(0)); },
         [&] { return refused((rw / "p.json").string(), "cannot be read: Permission denied"); }},
        {"an unreadable state",
         [&] {
             std::ofstream(rw / "p.json.state") << "{}";
             fs::permissions(rw / "p.json.state", fs::perms(0));
         },
         [&]() -> std::string {
             const int code = PlatformBackend(VirtualPlatform::load((rw / "p.json").string()))
                                  .write_byte(0x6E, 0x12, 5);
             return code == -EACCES ? "" : "write gave " + std::to_string(code);
         }},
        {"a full disk (the file size limit reached)", [] {},
         [&]() -> std::string {
             const std::string desc = (rw / "p.json").string();
             if (PlatformBackend(VirtualPlatform::load(desc)).write_byte(0x6E, 0x12, 3) != 0)
                 return "the first write failed";
             signal(SIGXFSZ, SIG_IGN);
             const rlimit small{16, 16};
             setrlimit(RLIMIT_FSIZE, &small);
             const int code =
                 PlatformBackend(VirtualPlatform::load(desc)).write_byte(0x6E, 0x12, 5);
             uint16_t w = 0;
             PlatformBackend(VirtualPlatform::load(desc)).read_word(0x6E, 0x12, &w);
             if (code != -EFBIG) return "write gave " + std::to_string(code);
             if ((w >> 8) != 3) return "the state before is gone";
             return fs::exists(desc + ".state.tmp") ? "a half-written file left" : "";
         }},
        {"a link at the temporary file, in a folder others may write: the runtime folder",
         [&] { fs::create_symlink(victim, open / "p.json.state.tmp"); },
         [&]() -> std::string {
             setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
             int code = 0, seen = 0;
             write_then_read((open / "p.json").string(), code, seen);
             if (code != 0 || seen != 5)
                 return "write " + std::to_string(code) + ", read " + std::to_string(seen);
             if (fs::exists(open / "p.json.state")) return "the state kept beside it";
             return victim_kept();
         }},
        {"a link at the temporary file, in the user's own folder",
         [&] { fs::create_symlink(victim, rw / "p.json.state.tmp"); },
         [&]() -> std::string {
             int code = 0, seen = 0;
             write_then_read((rw / "p.json").string(), code, seen);
             if (code != 0 || seen != 5)
                 return "write " + std::to_string(code) + ", read " + std::to_string(seen);
             return fs::is_symlink(rw / "p.json.state") ? "the state is a link" : victim_kept();
         }},
        {"a state that is a link: refused",
         [&] { fs::create_symlink(victim, rw / "p.json.state"); },
         [&]() -> std::string {
             const int code = PlatformBackend(VirtualPlatform::load((rw / "p.json").string()))
                                  .write_byte(0x6E, 0x12, 5);
             return code == -ELOOP ? victim_kept() : "write gave " + std::to_string(code);
         }},
        {"a description that is a link loop",
         [&] {
             fs::create_symlink(rw / "b.json", rw / "a.json");
             fs::create_symlink(rw / "a.json", rw / "b.json");
         },
         [&] { return refused((rw / "a.json").string(), "Too many levels of symbolic links"); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(xdg / uid_folder);
        for (const auto &f :
             {rw / "p.json.state", rw / "p.json.state.tmp", open / "p.json.state.tmp"})
            fs::remove(f);
        std::ofstream(victim) << "precious";
        give_to_user(victim);
        fs::permissions(rw / "p.json", fs::perms(0644));
        c.setup();
        EXPECT_EQ(as_ordinary_user(c.body), "");
    }
}

TEST_F(PlatformFile, ADamagedStateIsSaidOnceAndTheDescriptionStands) {
    const std::string path = write(R"({"bypass": [{"slot": 0, "registers": {"0x12": 9}}]})");
    std::string whole;
    {
        auto b = open(path);
        ASSERT_EQ(b->write_byte(0x6E, 0x12, 0x05), 0);
        std::ifstream in(path + ".state");
        whole.assign(std::istreambuf_iterator<char>(in), {});
    }
    json doc = json::parse(whole);
    doc["bypass"]["0"]["reg"] = "00ff";
    const std::pair<const char *, std::string> cases[] = {
        {"truncated", whole.substr(0, whole.size() / 2)},
        {"not JSON", "\x01\x02 not json"},
        {"registers of the wrong size", doc.dump()},
        {"a list, not an object", "[1, 2, 3]"},
    };
    for (const auto &[name, text] : cases) {
        SCOPED_TRACE(name);
        std::ofstream(path + ".state") << text;
        auto b = open(path);
        testing::internal::CaptureStderr();
        uint16_t w = 0;
        ASSERT_EQ(b->read_word(0x6E, 0x12, &w), 0);
        ASSERT_EQ(b->read_word(0x6E, 0x12, &w), 0);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(w >> 8, 9) << "the described value";
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(path + ".state: damaged"), std::string::npos) << said;
        // The next write makes it whole again.
        ASSERT_EQ(b->write_byte(0x6E, 0x12, 0x06), 0);
        ASSERT_EQ(open(path)->read_word(0x6E, 0x12, &w), 0);
        EXPECT_EQ(w >> 8, 6);
    }
}
