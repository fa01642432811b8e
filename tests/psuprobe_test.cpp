// psuprobe run as a process against virtual platforms written by the test: standard output
// byte for byte, escape sequences included, and the exit status.
#include "process.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string kBlockErr = "\033[0;31m[ERR] i2c_smbus_read_block_data failed\033[m\n";
const std::string kWordErr = "\033[0;31m[ERR] i2c_smbus_read_word_data failed\033[m\n";
std::string byte_err(int r) {
    return "\033[0;31m[ERR] i2c_smbus_read_byte_data failed " + std::to_string(r) + "\033[m\n";
}
const std::string kAlarm = "\033[1;31m<Alarm> no redundant power !!!!\033[0m\n";
const std::string kInvalid = "\033[1;31m<Error> Input parameter invaild\033[0m\n";

std::string usage() {
    return std::string("Usage: ") + PSUPROBE +
           " [1/2/3] [OPTION] ===> assign a power supply for testing\n"
           "      [OPTION]\n"
           "          -i , show ID\n"
           "          -m , show the model name\n"
           "          -s , show serial number\n"
           "          -v , show the reversion\n"
           "          -t1, show the temperature \n"
           "          -t2, show the temperature \n"
           "          -f [fan number], show the fan speed \n"
           "          -wi , show input watts \n"
           "          -wo , show output watts \n";
}

// PSU 1 DELTA, PSU 2 3Y with a W S serial number, PSU 3 a 3Y with a plain one; `extra` is
// spliced into the top level (faults) and `psu3` replaces PSU 3's description.
std::string platform(const std::string &extra = "", const std::string &psu1_id = "DELTA",
                     bool psu3_present = true) {
    return R"({"psu": [
      {"number": 1, "maker": "DELTA", "mfr_id": ")" +
           psu1_id + R"(", "mfr_model": "DPS-550AB", "mfr_serial": "DX123",
       "mfr_revision": [0, 1, 2, 0, 0, 7], "vout_mode": 23,
       "readings": {"vin": 230, "iin": 0.625, "vout": 12, "iout": 10.5, "temp1": 35.5,
                    "temp2": -8, "fan1": 5000, "fan2": 4800}},
      {"number": 2, "maker": "3Y", "mfr_id": "3Y POWER", "mfr_model": "YM-2551B",
       "mfr_serial": "SA551B", "readings": {"vin": 229.5, "iin": 0.5, "vout": 12, "iout": 9.75,
       "temp1": 33.25, "temp2": 38.5, "fan1": 4400, "fan2": 4300},
       "raw_words": {"0x8B": "0x1800"},
       "mfr_revision": [0, 1, 2, 0, 0, 7],
       "y3_serial": "WS2312000456789ABCD", "y3_firmware": "105"},
      {"number": 3, "maker": "3Y", "present": )" +
           std::string(psu3_present ? "true" : "false") + R"(, "mfr_id": "3Y POWER",
       "y3_bytes": {"0x2E": "Y3A2312000456789AB", "0x35": "WX"}}
    ])" + extra +
           "}";
}

class Psuprobe : public ::testing::Test {
  protected:
    ProcessResult run(const std::vector<std::string> &args, const std::string &desc = platform()) {
        const fs::path file = dir / ("platform" + std::to_string(++files) + ".json");
        std::ofstream(file) << desc;
        return run_program(PSUPROBE, args, {"PVQSMB_PLATFORM=" + file.string()});
    }

    TempDir dir{"psuprobe"};
    int files = 0;
};

struct Case {
    const char *name;
    std::vector<std::string> args;
    std::string desc;
    std::string out;
    int status;
};

} // namespace

TEST_F(Psuprobe, CommandLineAndOutputs) {
    const Case cases[] = {
        {"no arguments", {}, platform(), usage(), 255},
        {"PSU only", {"1"}, platform(), usage(), 255},
        {"PSU 4", {"4", "-i"}, platform(), kInvalid + usage(), 255},
        {"PSU 01", {"01", "-i"}, platform(), kInvalid + usage(), 255},
        {"unknown option", {"1", "-x"}, platform(), usage(), 255},
        {"unknown option, detection failed",
         {"3", "-x"},
         platform("", "DELTA", false),
         kBlockErr + usage(),
         255},
        {"-f without a fan", {"1", "-f"}, platform(), usage(), 255},
        {"DELTA identity", {"1", "-i"}, platform(), "DELTA\n", 0},
        {"3Y identity", {"2", "-i"}, platform(), "3Y POWER\n", 0},
        {"DELTA model", {"1", "-m"}, platform(), "DPS-550AB\n", 0},
        {"3Y model", {"2", "-m"}, platform(), "YM-2551B\n", 0},
        {"DELTA serial", {"1", "-s"}, platform(), "DX123\n", 0},
        {"3Y W S serial", {"2", "-s"}, platform(), "WS2312000456789ABCD\n", 0},
        {"3Y plain serial (W without S)", {"3", "-s"}, platform(), "Y3A2312WX0456789AB\n", 0},
        {"DELTA firmware as numbers", {"1", "-v"}, platform(), "1.7.2\n", 0},
        {"3Y firmware as characters", {"2", "-v"}, platform(), "105\n", 0},
        {"DELTA wins over 3Y", {"1", "-v"}, platform("", "3Y-DELTA"), "1.7.2\n", 0},
        {"temperature 1", {"1", "-t1"}, platform(), "35.50\n", 0},
        {"temperature 2", {"1", "-t2"}, platform(), "-8.00\n", 0},
        {"3Y temperature", {"2", "-t1"}, platform(), "33.25\n", 0},
        {"fan 1", {"1", "-f", "1"}, platform(), " 5000 \n", 0},
        {"fan 2", {"1", "-f", "2"}, platform(), " 4800 \n", 0},
        {"fan 3 reads fan 2", {"1", "-f", "3"}, platform(), " 4800 \n", 0},
        {"fan 4 reads fan 2", {"1", "-f", "4"}, platform(), " 4800 \n", 0},
        {"fan 0", {"1", "-f", "0"}, platform(), " -4 \n", 1},
        {"fan 5", {"1", "-f", "5"}, platform(), " -4 \n", 1},
        {"fan 257 is not fan 1", {"1", "-f", "257"}, platform(), " -4 \n", 1},
        {"fan x", {"1", "-f", "x"}, platform(), " -4 \n", 1},
        {"3Y fan", {"2", "-f", "1"}, platform(), " 4400 \n", 0},
        {"DELTA input watts",
         {"1", "-wi"},
         platform(),
         "Volts 230.000 \nAmperes 0.625 \nWatts 143.750 \n",
         0},
        {"DELTA output watts",
         {"1", "-wo"},
         platform(),
         "Volts 12.000\nAmperes 10.500\nWatts 126.000\n",
         0},
        {"3Y output: READ_VOUT 0x1800 is LINEAR11",
         {"2", "-wo"},
         platform(),
         "Volts 0.000\nAmperes 9.750\nWatts 0.000\n",
         0},
        {"3Y input watts",
         {"2", "-wi"},
         platform(),
         "Volts 229.500 \nAmperes 0.500 \nWatts 114.750 \n",
         0},
        {"PSU that does not answer",
         {"3", "-i"},
         platform("", "DELTA", false),
         kBlockErr + kAlarm,
         1},
        {"unknown maker", {"1", "-t1"}, platform("", "ACME"), kAlarm, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const ProcessResult r = run(c.args, c.desc);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.status);
    }
}

TEST_F(Psuprobe, FailedReadings) {
    // The detection read of MFR_ID is the first block read; "after" lets it through.
    auto fault = [](const char *op, const char *addr, const char *cmd, int code = -5,
                    int after = 0) {
        return std::string(R"(, "faults": [{"op": ")") + op + R"(", "addr": ")" + addr +
               R"(", "cmd": ")" + cmd + R"(", "code": )" + std::to_string(code) + R"(, "after": )" +
               std::to_string(after) + "}]";
    };
    const Case cases[] = {
        {"identity",
         {"1", "-i"},
         platform(fault("read_block", "0xB0", "0x99", -5, 1)),
         kBlockErr + "\n",
         1},
        {"model", {"1", "-m"}, platform(fault("read_block", "0xB0", "0x9A")), kBlockErr + "\n", 1},
        {"DELTA firmware",
         {"1", "-v"},
         platform(fault("read_block", "0xB0", "0x9B")),
         kBlockErr + "\n",
         1},
        {"DELTA serial: the library's code (-EIO on the wire is -EREMOTEIO from the library)",
         {"1", "-s"},
         platform(fault("read_block", "0xB0", "0x9E", -5)),
         kBlockErr + " -121 \n",
         1},
        {"DELTA serial: a code below -128 stays negative",
         {"1", "-s"},
         platform(fault("read_block", "0xB0", "0x9E", -256)),
         kBlockErr + " -1 \n",
         1},
        {"DELTA serial: -200 stays negative",
         {"1", "-s"},
         platform(fault("read_block", "0xB0", "0x9E", -200)),
         kBlockErr + " -1 \n",
         1},
        {"3Y serial",
         {"2", "-s"},
         platform(fault("read_byte", "0xA2", "0x40", -6)),
         byte_err(-121) + " -1 \n",
         1},
        {"3Y firmware",
         {"2", "-v"},
         platform(fault("read_byte", "0xA2", "0x50", -5)),
         byte_err(-121) + "1\n",
         1},
        {"temperature",
         {"1", "-t1"},
         platform(fault("read_word", "0xB0", "0x8D")),
         kWordErr + "0.00\n",
         1},
        {"fan",
         {"1", "-f", "2"},
         platform(fault("read_word", "0xB0", "0x91")),
         kWordErr + " -1 \n",
         1},
        {"input current after a good voltage",
         {"1", "-wi"},
         platform(fault("read_word", "0xB0", "0x89")),
         kWordErr + "Volts 230.000 \nAmperes 0.000 \nWatts 0.000 \n",
         1},
        {"VOUT_MODE",
         {"1", "-wo"},
         platform(fault("read_byte", "0xB0", "0x20", -121)),
         byte_err(-121) + "Volts 0.000\nAmperes 0.000\nWatts 0.000\n",
         1},
        {"output current",
         {"1", "-wo"},
         platform(fault("read_word", "0xB0", "0x8C")),
         kWordErr + "Volts 12.000\nAmperes 0.000\nWatts 0.000\n",
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const ProcessResult r = run(c.args, c.desc);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.status);
    }
}

TEST_F(Psuprobe, MalformedPlatformFileIsOneClearErrorNotACrash) {
    const std::pair<const char *, std::string> cases[] = {
        {"not JSON", "{ \"psu\": ["},
        {"wrong type", R"({"psu": [{"number": "one"}]})"},
        {"out of range", R"({"psu": [{"number": 4}]})"},
        {"unknown key", R"({"psus": []})"},
    };
    for (const auto &[name, desc] : cases) {
        SCOPED_TRACE(name);
        const fs::path file = dir / "bad.json";
        std::ofstream(file) << desc;
        const ProcessResult r =
            run_program(PSUPROBE, {"1", "-i"}, {"PVQSMB_PLATFORM=" + file.string()}, true);
        EXPECT_NE(r.out.find("libpvqsmb: " + file.string() + ": "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(kAlarm), std::string::npos) << "the program still ends normally";
        EXPECT_EQ(r.status, 1);
    }
}
