// psuprobe: bench test of the power supplies. Reads one figure of one PSU and prints it.
//
//   psuprobe PSU OPTION [FAN]
//
// The maker is told by the PSU's MFR_ID text: "DELTA" or "3Y". Each maker has its reader
// family; a 3Y supply keeps its serial number and firmware revision as byte-addressed data at
// a second address. Every transfer is made once. Everything, errors included, goes to
// standard output.
//
// Exit status: 0 when the figure was read and printed; 1 when the reading failed, the fan
// number was refused or no known maker answered; 255 with the usage text.
#include "pvqsmb.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kExitRead = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = -1;

enum : uint8_t {
    VOUT_MODE = 0x20,
    READ_VIN = 0x88,
    READ_IIN = 0x89,
    READ_VOUT = 0x8B,
    READ_IOUT = 0x8C,
    READ_TEMPERATURE_1 = 0x8D,
    READ_TEMPERATURE_2 = 0x8E,
    READ_FAN_SPEED_1 = 0x90,
    READ_FAN_SPEED_2 = 0x91,
    MFR_ID = 0x99,
    MFR_MODEL = 0x9A,
    MFR_REVISION = 0x9B,
    MFR_SERIAL = 0x9E,
};

// 3Y byte-addressed data.
constexpr uint8_t kY3SerialWs = 0x35;    // W S serial numbers: 19 bytes from here
constexpr uint8_t kY3SerialPlain = 0x2E; // any other: 18 bytes from here
constexpr uint8_t kY3Firmware = 0x4F;    // three characters

// ---- PMBus number formats ------------------------------------------------------------------
// LINEAR11: bits 15..11 a two's-complement exponent N, bits 10..0 a two's-complement mantissa
// Y; the reading is Y * 2^N. LINEAR16: the word is an unsigned mantissa, the exponent the low
// five bits of VOUT_MODE.

struct L11 {
    unsigned y, n;
    bool neg_y, neg_n;
};

L11 fields(uint16_t word) {
    L11 f{word & 0x7FFu, static_cast<unsigned>(word >> 11), false, false};
    if (f.y & 0x400) f.y = (0 - f.y) & 0x7FF, f.neg_y = true;
    if (f.n & 0x10) f.n = (0 - f.n) & 0x1F, f.neg_n = true;
    return f;
}

float linear11(uint16_t word) {
    const L11 f = fields(word);
    const float scale = static_cast<float>(std::pow(2.0, f.n));
    const float m = f.neg_n ? f.y / scale : f.y * scale;
    return f.neg_y ? -m : m;
}

// Whole number, fraction dropped; negative readings give 0, large ones 65535.
uint16_t linear11_whole(uint16_t word) {
    const L11 f = fields(word);
    if (f.neg_y) return 0;
    if (f.neg_n) return static_cast<uint16_t>(f.n >= 16 ? 0 : f.y >> f.n);
    const uint32_t v = f.y << f.n;
    return v > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(v);
}

float linear16(uint16_t word, uint8_t mode) {
    unsigned n = mode & 0x1F;
    const bool neg = n & 0x10;
    if (neg) n = (0 - n) & 0x1F;
    const float scale = static_cast<float>(std::pow(2.0, n));
    return neg ? word / scale : word * scale;
}

// ---- Transfers -----------------------------------------------------------------------------

void block_error() {
    std::printf("\033[0;31m[ERR] i2c_smbus_read_block_data failed\033[m\n");
}
void word_error() {
    std::printf("\033[0;31m[ERR] i2c_smbus_read_word_data failed\033[m\n");
}
void byte_error(int r) {
    std::printf("\033[0;31m[ERR] i2c_smbus_read_byte_data failed %d\033[m\n", r);
}

int read_word(uint8_t addr, uint8_t cmd, uint16_t &word) {
    unsigned short w = 0;
    const int r = _pvqsmb_i2c_read_word(addr, cmd, &w);
    if (r < 0) {
        word_error();
        return r;
    }
    // The first byte received is the low byte.
    const uint8_t lo = w & 0xFF, hi = static_cast<uint8_t>(w >> 8);
    word = static_cast<uint16_t>(lo | hi << 8);
    return 0;
}

// A library code as a signed 8-bit result; a code too large for it still reads as a failure.
int8_t as_int8(int r) {
    return r < INT8_MIN ? int8_t{-1} : static_cast<int8_t>(r);
}

} // namespace

// ---- DELTA readers -------------------------------------------------------------------------

int _get_psu_id(uint8_t addr, uint8_t *buf) {
    if (_pvqsmb_i2c_read_block(addr, MFR_ID, buf) < 0) return block_error(), -1;
    return 0;
}

int _get_psu_model(uint8_t addr, uint8_t *buf) {
    if (_pvqsmb_i2c_read_block(addr, MFR_MODEL, buf) < 0) return block_error(), -1;
    return 0;
}

int8_t _get_psu_serial(uint8_t addr, uint8_t *buf) {
    const int r = _pvqsmb_i2c_read_block(addr, MFR_SERIAL, buf);
    if (r < 0) return block_error(), as_int8(r);
    return 0;
}

int _get_psu_FW_version(uint8_t addr, uint8_t *buf) {
    uint8_t block[33] = {};
    const int r = _pvqsmb_i2c_read_block(addr, MFR_REVISION, block);
    if (r < 0) return block_error(), r;
    // The revision's three numbers sit at block positions 1, 5 and 2.
    std::snprintf(reinterpret_cast<char *>(buf), 33, "%d.%d.%d", block[1], block[5], block[2]);
    return 0;
}

int _get_psu_temp1(uint8_t addr, float *temp) {
    uint16_t w = 0;
    if (read_word(addr, READ_TEMPERATURE_1, w) < 0) return -1;
    *temp = linear11(w);
    return 0;
}

int _get_psu_temp2(uint8_t addr, float *temp) {
    uint16_t w = 0;
    if (read_word(addr, READ_TEMPERATURE_2, w) < 0) return -1;
    *temp = linear11(w);
    return 0;
}

// Fan 1 is READ_FAN_SPEED_1; fans 2 to 4 all read READ_FAN_SPEED_2.
int8_t _get_psu_fan_speed(uint8_t addr, unsigned long fan, uint16_t *speed) {
    if (fan < 1 || fan > 4) return -4;
    uint16_t w = 0;
    if (read_word(addr, fan == 1 ? READ_FAN_SPEED_1 : READ_FAN_SPEED_2, w) < 0) return -1;
    *speed = linear11_whole(w);
    return 0;
}

int _get_psu_watts_input(uint8_t addr, float *volts, float *amperes, float *watts) {
    uint16_t w = 0;
    if (read_word(addr, READ_VIN, w) < 0) return -1;
    *volts = linear11(w);
    if (read_word(addr, READ_IIN, w) < 0) return -1;
    *amperes = linear11(w);
    *watts = *volts * *amperes;
    return 0;
}

int _get_psu_watts_output(uint8_t addr, float *volts, float *amperes, float *watts) {
    uint16_t w = 0;
    if (read_word(addr, READ_VOUT, w) < 0) return -1;
    uint8_t mode = 0;
    if (const int r = _pvqsmb_i2c_read_byte(addr, VOUT_MODE, &mode); r < 0)
        return byte_error(r), -1;
    *volts = linear16(w, mode);
    if (read_word(addr, READ_IOUT, w) < 0) return -1;
    *amperes = linear11(w);
    *watts = *volts * *amperes;
    return 0;
}

// ---- 3Y readers ----------------------------------------------------------------------------

int y3_get_psu_id(uint8_t addr, uint8_t *buf) {
    return _get_psu_id(addr, buf);
}
int y3_get_psu_model(uint8_t addr, uint8_t *buf) {
    return _get_psu_model(addr, buf);
}
int y3_get_psu_temp1(uint8_t addr, float *t) {
    return _get_psu_temp1(addr, t);
}
int y3_get_psu_temp2(uint8_t addr, float *t) {
    return _get_psu_temp2(addr, t);
}
int8_t y3_get_psu_fan_speed(uint8_t addr, unsigned long fan, uint16_t *speed) {
    return _get_psu_fan_speed(addr, fan, speed);
}
int y3_get_psu_watts_input(uint8_t addr, float *v, float *a, float *w) {
    return _get_psu_watts_input(addr, v, a, w);
}

namespace {
int read_y3_byte(uint8_t addr, uint8_t offset, uint8_t &out) {
    const int r = _pvqsmb_i2c_read_byte(addr, offset, &out);
    if (r < 0) byte_error(r);
    return r;
}
} // namespace

// `addr` is the second address, where the serial number is kept byte by byte.
int8_t y3_get_psu_serial(uint8_t addr, uint8_t *buf) {
    uint8_t w = 0, s = 0;
    if (read_y3_byte(addr, kY3SerialWs, w) < 0 || read_y3_byte(addr, kY3SerialWs + 1, s) < 0)
        return -1;
    const bool ws = w == 'W' && s == 'S';
    const uint8_t first = ws ? kY3SerialWs : kY3SerialPlain;
    const unsigned count = ws ? 19 : 18;
    buf[0] = 0;
    for (unsigned i = 0; i < count; ++i)
        if (read_y3_byte(addr, static_cast<uint8_t>(first + i), buf[i]) < 0) return -1;
    return 0;
}

int y3_get_psu_FW_version(uint8_t addr, uint8_t *buf) {
    std::memset(buf, 0, 8);
    for (uint8_t i = 0; i < 3; ++i)
        if (read_y3_byte(addr, static_cast<uint8_t>(kY3Firmware + i), buf[i]) < 0) return -1;
    return 0;
}

int y3_get_psu_watts_output(uint8_t addr, float *volts, float *amperes, float *watts) {
    uint16_t w = 0;
    // 3Y supplies report READ_VOUT as LINEAR11 and have no VOUT_MODE to read.
    if (read_word(addr, READ_VOUT, w) < 0) return -1;
    *volts = linear11(w);
    if (read_word(addr, READ_IOUT, w) < 0) return -1;
    *amperes = linear11(w);
    *watts = *volts * *amperes;
    return 0;
}

// ---- Command line --------------------------------------------------------------------------

namespace {

enum class Maker { None, Delta, Y3 };

void usage(const char *prog) {
    std::printf("Usage: %s [1/2/3] [OPTION] ===> assign a power supply for testing\n", prog);
    std::printf("      [OPTION]\n");
    std::printf("          -i , show ID\n");
    std::printf("          -m , show the model name\n");
    std::printf("          -s , show serial number\n");
    std::printf("          -v , show the reversion\n");
    std::printf("          -t1, show the temperature \n");
    std::printf("          -t2, show the temperature \n");
    std::printf("          -f [fan number], show the fan speed \n");
    std::printf("          -wi , show input watts \n");
    std::printf("          -wo , show output watts \n");
}

struct Psu {
    const char *arg;
    uint8_t addr, second;
};
constexpr Psu kPsus[] = {{"1", 0xB0, 0xA0}, {"2", 0xB2, 0xA2}, {"3", 0xB4, 0xA4}};

const char *const kOptions[] = {"-i", "-m", "-s", "-v", "-t1", "-t2", "-f", "-wi", "-wo"};

int exit_for(int result) {
    return result < 0 ? kExitFailed : kExitRead;
}

} // namespace

int main(int argc, char **argv) {
    uint8_t buf[33] = {};
    if (argc < 3) return usage(argv[0]), kExitUsage;

    const Psu *psu = nullptr;
    for (const Psu &p : kPsus)
        if (std::strcmp(argv[1], p.arg) == 0) psu = &p;
    if (psu == nullptr) {
        std::printf("\033[1;31m<Error> Input parameter invaild\033[0m\n");
        return usage(argv[0]), kExitUsage;
    }

    // The maker decides the reader family; the detection read is made whatever the option.
    _get_psu_id(psu->addr, buf);
    const char *id = reinterpret_cast<const char *>(buf);
    const Maker maker = std::strstr(id, "DELTA") ? Maker::Delta
                        : std::strstr(id, "3Y")  ? Maker::Y3
                                                 : Maker::None;
    std::memset(buf, 0, sizeof buf);

    const char *option = argv[2];
    bool known = false;
    for (const char *o : kOptions) known = known || std::strcmp(option, o) == 0;
    if (!known) return usage(argv[0]), kExitUsage;
    auto opt = [&](const char *o) { return std::strcmp(option, o) == 0; };

    unsigned long fan = 0;
    if (opt("-f")) {
        if (argc < 4) return usage(argv[0]), kExitUsage;
        fan = std::strtoul(argv[3], nullptr, 10);
    }
    if (maker == Maker::None) {
        std::printf("\033[1;31m<Alarm> no redundant power !!!!\033[0m\n");
        return kExitFailed;
    }
    const bool y3 = maker == Maker::Y3;
    const uint8_t addr = psu->addr;
    const uint8_t data_addr = y3 ? psu->second : psu->addr;
    const char *text = reinterpret_cast<const char *>(buf);

    if (opt("-i") || opt("-m") || opt("-v")) {
        const int r = opt("-i")   ? (y3 ? y3_get_psu_id : _get_psu_id)(addr, buf)
                      : opt("-m") ? (y3 ? y3_get_psu_model : _get_psu_model)(addr, buf)
                      : y3        ? y3_get_psu_FW_version(data_addr, buf)
                                  : _get_psu_FW_version(addr, buf);
        std::printf("%s\n", text);
        return exit_for(r);
    }
    if (opt("-s")) {
        const int8_t r = y3 ? y3_get_psu_serial(data_addr, buf) : _get_psu_serial(addr, buf);
        if (r < 0)
            std::printf(" %d \n", r);
        else
            std::printf("%s\n", text);
        return exit_for(r);
    }
    if (opt("-t1") || opt("-t2")) {
        float t = 0;
        const int r = opt("-t1") ? (y3 ? y3_get_psu_temp1 : _get_psu_temp1)(addr, &t)
                                 : (y3 ? y3_get_psu_temp2 : _get_psu_temp2)(addr, &t);
        std::printf("%.2f\n", t);
        return exit_for(r);
    }
    if (opt("-f")) {
        uint16_t speed = 0;
        const int8_t r = (y3 ? y3_get_psu_fan_speed : _get_psu_fan_speed)(addr, fan, &speed);
        std::printf(" %d \n", r < 0 ? static_cast<int>(r) : static_cast<int>(speed));
        return exit_for(r);
    }
    float volts = 0, amperes = 0, watts = 0;
    if (opt("-wi")) {
        const int r =
            (y3 ? y3_get_psu_watts_input : _get_psu_watts_input)(addr, &volts, &amperes, &watts);
        std::printf("Volts %.3f \nAmperes %.3f \nWatts %.3f \n", volts, amperes, watts);
        return exit_for(r);
    }
    const int r =
        (y3 ? y3_get_psu_watts_output : _get_psu_watts_output)(addr, &volts, &amperes, &watts);
    std::printf("Volts %.3f\nAmperes %.3f\nWatts %.3f\n", volts, amperes, watts);
    return exit_for(r);
}
