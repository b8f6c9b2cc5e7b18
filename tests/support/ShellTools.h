#pragma once
// Small helpers of tests that drive other programs: a file's whole text or bytes, how
// often a piece occurs in a text, a command's output, whether a tool is
// installed, and a bounded wait for a state another process reaches.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/WaitUntil.h"

namespace qmtest {

inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    const std::string all = readAll(path);
    return {all.begin(), all.end()};
}

// How many times `what` occurs in `text`, overlapping occurrences included.
inline int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

inline std::string shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
        pclose(p);
    }
    return out;
}

inline bool have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Polls `done` every 50 ms for at most `seconds` of real time.
inline bool within(double seconds, const std::function<bool()>& done) {
    return waitUntil(done, seconds, std::chrono::milliseconds(50));
}

}  // namespace qmtest
