// A directory of its own per test, removed with everything in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace quorin::testing {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/quorin_test_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made) throw std::runtime_error("mkdtemp failed");
        path_ = made;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes `bytes` to the file `name` inside the directory; returns its path.
    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace quorin::testing
