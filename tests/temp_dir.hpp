// A folder of the test's own under the system's temporary folder, removed after the test.
// Named by process and test, so that parallel test processes never share one.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

inline std::filesystem::path test_temp_path(const std::string &prefix) {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::filesystem::temp_directory_path() /
           (prefix + "-" + std::to_string(getpid()) + "-" + (info ? info->name() : "none"));
}

class TempDir {
  public:
    explicit TempDir(const std::string &prefix) : path_(test_temp_path(prefix)) {
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};
