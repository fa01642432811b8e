// A fake sysfs tree with the board's hwmon chips, for the I/O library's hwmon backend.
#pragma once

#include <filesystem>
#include <fstream>
#include <vector>
#include <string>
#include <utility>

class FakeHwmon {
  public:
    explicit FakeHwmon(const std::filesystem::path &root) : root_(root) {
        namespace fs = std::filesystem;
        fs::remove_all(root_);
        chip(0, "coretemp", {{"temp1_input", "45000"}, {"temp1_label", "Package id 0"}});
        chip(1, "coretemp", {{"temp1_input", "47500"}, {"temp1_label", "Package id 1"}});
        chip(2, "nct6779",
             {{"temp1_input", "31000"},
              {"temp2_input", "-1250"},
              {"in0_input", "1050"},
              {"in1_input", "1062"},
              {"in2_input", "12168"},
              {"in3_input", "5040"},
              {"in4_input", "3312"},
              {"in5_input", "5016"},
              {"in6_input", "3296"},
              {"in7_input", "3120"},
              {"in2_label", "+12V"},
              {"fan1_input", "2400"},
              {"fan2_input", "70000"},
              {"fan3_input", "3100"},
              {"fan4_input", "3150"},
              {"intrusion0_alarm", "2"}});
        chip(3, "max31790", {});
        for (int f = 1; f <= 12; ++f)
            file(3, "fan" + std::to_string(f) + "_input", std::to_string(8000 + f));
        chip(4, "pmbus", psu("11999", "143750000"), "7-0058");
        chip(5, "pmbus", psu("230500", "114750000"), "7-0059");
        debugfs(4, "0x0000");
        debugfs(5, "0x0842");
    }
    ~FakeHwmon() { std::filesystem::remove_all(root_); }

    std::string root() const { return root_.string(); }
    std::filesystem::path dir(int n) const {
        return root_ / "class/hwmon" / ("hwmon" + std::to_string(n));
    }
    void file(int n, const std::string &name, const std::string &text) {
        std::ofstream(dir(n) / name) << text << "\n";
    }
    void remove(int n, const std::string &name) { std::filesystem::remove(dir(n) / name); }
    std::string read(int n, const std::string &name) const {
        std::ifstream in(dir(n) / name);
        std::string s;
        std::getline(in, s);
        return s;
    }

  private:
    using Files = std::vector<std::pair<std::string, std::string>>;
    static Files psu(const char *vin, const char *pin) {
        return {{"in1_label", "vin"},     {"in1_input", vin},       {"in2_label", "vout1"},
                {"in2_input", "12000"},   {"curr1_label", "iin"},   {"curr1_input", "625"},
                {"curr2_label", "iout1"}, {"curr2_input", "10500"}, {"power1_label", "pin"},
                {"power1_input", pin},    {"fan1_input", "5000"},   {"temp1_input", "35500"},
                {"temp2_input", "41000"}};
    }
    void chip(int n, const std::string &name, Files files, const std::string &i2c_client = "") {
        namespace fs = std::filesystem;
        fs::create_directories(dir(n));
        file(n, "name", name);
        for (const auto &[f, text] : files) file(n, f, text);
        if (!i2c_client.empty()) {
            const fs::path dev = root_ / "devices/i2c-7" / i2c_client;
            fs::create_directories(dev);
            fs::create_directory_symlink(dev, dir(n) / "device");
        }
    }
    void debugfs(int n, const std::string &status) {
        const auto d = root_ / "kernel/debug/pmbus" / ("hwmon" + std::to_string(n));
        std::filesystem::create_directories(d);
        std::ofstream(d / "status0") << status << "\n";
    }
    std::filesystem::path root_;
};
