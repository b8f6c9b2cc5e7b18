#pragma once
// Shared by the sending-side analytics tests: temporary folders, captured
// console lines, and running python3 as an independent reader of our bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Log.h"

namespace tlytest {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/tly-dispatch-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Captures console lines for the lifetime of the object.
class LogCapture {
public:
    LogCapture() {
        platform::foundation::setLogSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~LogCapture() { platform::foundation::setLogSink(nullptr); }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t count(const std::string& needle) const {
        size_t n = 0;
        for (const auto& line : lines())
            if (line.find(needle) != std::string::npos) ++n;
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Runs a shell command and answers its standard output.
inline std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

inline std::string hex(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// Decompresses with python3's zlib (wbits 15 zlib, 31 gzip, -15 raw).
inline std::string pythonDecompress(const std::vector<uint8_t>& bytes, int wbits) {
    return run("python3 -c \"import sys,zlib; sys.stdout.buffer.write(zlib.decompress(bytes.fromhex('" + hex(bytes) +
               "'), " + std::to_string(wbits) + "))\"");
}

}  // namespace tlytest
