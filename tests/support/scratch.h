// Files a test writes go into a folder of the test process's own under the temporary directory,
// removed with everything in it when the process ends: tests run side by side as processes (and
// other builds on the machine may run them too), and a passing run leaves nothing behind.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace testbed {

class Scratch {
public:
    // The path of `name` in this process's folder, made on first use.
    static std::string path(const std::string& name) { return folder().dir_ + name; }

private:
    Scratch() : dir_(testing::TempDir() + "usbeth-test-" + std::to_string(::getpid()) + "/") {
        std::filesystem::create_directories(dir_);
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    static Scratch& folder() {
        static Scratch scratch;
        return scratch;
    }
    std::string dir_;
};

inline std::string scratch_path(const std::string& name) { return Scratch::path(name); }

}  // namespace testbed
