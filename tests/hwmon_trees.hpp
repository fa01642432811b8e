// Fake sysfs trees with exactly the hwmon attributes the kernel's drivers create, for the I/O
// library's hwmon backend. Checked against drivers/hwmon/coretemp.c, nct6775-core.c,
// max31790.c and pmbus/pmbus_core.c:
// - every /sys/class/hwmon/hwmonN is a link to the device's hwmon folder; a platform chip
//   lives under devices/platform/<dev>, an i2c client under devices/.../i2c-B/B-00AA;
// - units: millidegrees, millivolts, milliamperes, microwatts, rpm;
// - coretemp: temp1 is the package ("Package id N"), temp(k+2) core k ("Core k");
// - nct6779: in0..in14 with no labels (the driver names none; the chip's x2 on AVSB, 3VCC,
//   3VSB and VBAT already applied), temperatures labelled by their configured source
//   (SYSTIN, CPUTIN, AUXTIN0.., PECI Agent 0), fan1..fan5, intrusion0/1_alarm;
// - max31790: fan1..fan6 are the channels' tach inputs; fan(n+6) only for a channel whose PWM
//   pin is configured as a second tach input, which then has no pwm(n);
// - pmbus: the hwmon name is the i2c client's name ("pmbus", or a PSU driver's), labels vin,
//   vout1, iin, iout1, pin, pout1; the status word in debugfs (pmbus/hwmonN/status0).
// With `old_layout`, the attributes and `name` sit under hwmonN/device/, as before Linux 3.x.
#pragma once

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

class HwmonTrees {
  public:
    using Attrs = std::vector<std::pair<std::string, std::string>>;

    explicit HwmonTrees(const std::filesystem::path &root, bool old_layout = false)
        : root_(root), old_(old_layout) {
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ / "class/hwmon");
    }
    ~HwmonTrees() { std::filesystem::remove_all(root_); }
    std::string root() const { return root_.string(); }

    void adapter(int bus, const std::string &name) {
        const auto d = root_ / "bus/i2c/devices" / ("i2c-" + std::to_string(bus));
        std::filesystem::create_directories(d);
        write(d / "name", name);
    }

    int coretemp(int package, int cores, int package_mc) {
        Attrs a = {{"temp1_label", "Package id " + std::to_string(package)},
                   {"temp1_input", std::to_string(package_mc)},
                   {"temp1_max", "80000"},
                   {"temp1_crit", "100000"},
                   {"temp1_crit_alarm", "0"}};
        for (int k = 0; k < cores; ++k) {
            const std::string t = "temp" + std::to_string(k + 2);
            a.insert(a.end(), {{t + "_label", "Core " + std::to_string(k)},
                               {t + "_input", std::to_string(package_mc - 1000 * (k + 1))},
                               {t + "_max", "80000"},
                               {t + "_crit", "100000"},
                               {t + "_crit_alarm", "0"}});
        }
        return chip("devices/platform/coretemp." + std::to_string(package), "coretemp", a);
    }

    // `temps`: the configured sources in temperature order, with millidegrees.
    int nct6779(const std::vector<std::pair<std::string, int>> &temps,
                const std::vector<int> &in_mv, const std::vector<int> &fans, int intrusion) {
        Attrs a = {{"cpu0_vid", "0"},
                   {"beep_enable", "0"},
                   {"intrusion0_alarm", std::to_string(intrusion)},
                   {"intrusion0_beep", "0"},
                   {"intrusion1_alarm", "0"},
                   {"intrusion1_beep", "0"}};
        for (size_t i = 0; i < in_mv.size() && i < 15; ++i) {
            const std::string n = "in" + std::to_string(i);
            a.insert(a.end(), {{n + "_input", std::to_string(in_mv[i])},
                               {n + "_min", "0"},
                               {n + "_max", "0"},
                               {n + "_alarm", "0"},
                               {n + "_beep", "0"}});
        }
        for (size_t i = 0; i < temps.size(); ++i) {
            const std::string t = "temp" + std::to_string(i + 1);
            a.insert(a.end(), {{t + "_label", temps[i].first},
                               {t + "_input", std::to_string(temps[i].second)},
                               {t + "_type", "4"},
                               {t + "_offset", "0"}});
        }
        for (size_t i = 0; i < fans.size() && i < 5; ++i) {
            const std::string f = "fan" + std::to_string(i + 1);
            a.insert(a.end(), {{f + "_input", std::to_string(fans[i])},
                               {f + "_min", "0"},
                               {f + "_alarm", "0"},
                               {f + "_pulses", "2"},
                               {"pwm" + std::to_string(i + 1), "255"}});
        }
        return chip("devices/platform/nct6775.656", "nct6779", a);
    }

    // `rpm[n]` for channel n+1; `second_tach`: channels (1..6) whose PWM pin is a tach input.
    int max31790(int bus, int addr, const std::vector<int> &rpm,
                 const std::vector<int> &second_tach) {
        Attrs a;
        for (int ch = 1; ch <= 6; ++ch) {
            const std::string f = "fan" + std::to_string(ch);
            a.insert(a.end(), {{f + "_input", std::to_string(rpm[size_t(ch - 1)])},
                               {f + "_fault", "0"},
                               {f + "_enable", "1"},
                               {f + "_target", "0"}});
            bool tach = false;
            for (int c : second_tach) tach = tach || c == ch;
            if (tach) {
                const std::string g = "fan" + std::to_string(ch + 6);
                a.insert(a.end(), {{g + "_input", std::to_string(rpm[size_t(ch - 1)] + 7)},
                                   {g + "_fault", "0"}});
            } else {
                a.insert(a.end(), {{"pwm" + std::to_string(ch), "128"},
                                   {"pwm" + std::to_string(ch) + "_enable", "1"}});
            }
        }
        return chip(i2c_device(bus, addr), "max31790", a);
    }

    // A power supply bound to a pmbus driver; the client's name (with '-' made '_') names it.
    int pmbus(int bus, int addr, const std::string &client_name, int vin_mv, int pin_uw,
              const char *status0) {
        std::string name = client_name;
        for (char &c : name) c = c == '-' ? '_' : c;
        const Attrs a = {{"in1_label", "vin"},      {"in1_input", std::to_string(vin_mv)},
                         {"in2_label", "vout1"},    {"in2_input", "12000"},
                         {"curr1_label", "iin"},    {"curr1_input", "625"},
                         {"curr2_label", "iout1"},  {"curr2_input", "10500"},
                         {"power1_label", "pin"},   {"power1_input", std::to_string(pin_uw)},
                         {"power2_label", "pout1"}, {"power2_input", "126000000"},
                         {"temp1_input", "35500"},  {"temp2_input", "41000"},
                         {"fan1_input", "5000"},    {"fan1_target", "0"}};
        const int n = chip(i2c_device(bus, addr), name, a);
        if (status0 != nullptr) {
            const auto d = root_ / "kernel/debug/pmbus" / ("hwmon" + std::to_string(n));
            std::filesystem::create_directories(d);
            write(d / "status0", status0);
        }
        return n;
    }

    // The folder holding hwmonN's attributes.
    std::filesystem::path attrs(int n) const { return attrs_.at(size_t(n)); }
    void set(int n, const std::string &attr, const std::string &text) {
        write(attrs(n) / attr, text);
    }
    void remove(int n, const std::string &attr) { std::filesystem::remove(attrs(n) / attr); }
    std::string get(int n, const std::string &attr) const {
        std::ifstream in(attrs(n) / attr);
        std::string s;
        std::getline(in, s);
        return s;
    }
    std::filesystem::path entry(int n) const {
        return root_ / "class/hwmon" / ("hwmon" + std::to_string(n));
    }
    // The device is unbound and bound again and gets another hwmon number: a new hwmon
    // folder (with the old layout, the device's own folder keeps the attributes), and the
    // class entry of the old number is gone.
    void renumber(int from, int to) {
        namespace fs = std::filesystem;
        const fs::path old_hw = fs::canonical(entry(from));
        const fs::path new_hw = old_hw.parent_path() / ("hwmon" + std::to_string(to));
        fs::copy(old_hw, new_hw, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::remove_all(old_hw);
        fs::remove(entry(from));
        fs::create_directory_symlink(fs::relative(new_hw, root_ / "class/hwmon"), entry(to));
        for (fs::path &a : attrs_)
            if (a == old_hw) a = new_hw;
    }

  private:
    static void write(const std::filesystem::path &p, const std::string &text) {
        std::ofstream(p) << text << "\n";
    }
    std::string i2c_device(int bus, int addr) const {
        char client[16];
        std::snprintf(client, sizeof client, "%d-%04x", bus, addr);
        return "devices/pci0000:00/0000:00:1f.3/i2c-" + std::to_string(bus) + "/" + client;
    }
    int chip(const std::string &device, const std::string &name, const Attrs &a) {
        namespace fs = std::filesystem;
        const int n = next_++;
        const fs::path dev = root_ / device;
        const fs::path hw = dev / "hwmon" / ("hwmon" + std::to_string(n));
        fs::create_directories(hw);
        fs::create_directory_symlink(fs::relative(dev, hw), hw / "device");
        fs::create_directory_symlink(fs::relative(hw, root_ / "class/hwmon"), entry(n));
        const fs::path where = old_ ? dev : hw;
        write(where / "name", name);
        for (const auto &[file, text] : a) write(where / file, text);
        attrs_.push_back(where);
        return n;
    }

    std::filesystem::path root_;
    bool old_;
    int next_ = 0;
    std::vector<std::filesystem::path> attrs_;
};
