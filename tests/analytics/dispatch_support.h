#pragma once
// Shared by the sending-side analytics tests: temporary folders, captured
// console lines, and running python3 as an independent reader of our bytes.
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Log.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/ShellTools.h"

namespace tlytest {

class TempDir {
public:
    // In the test program's home; under /tmp where another user (whom root
    // runs a child as) must reach it.
    enum Place { kInHome, kUnderTmp };
    explicit TempDir(Place place = kInHome) {
        if (place == kInHome) {
            path_ = qmtest::PrivateHome::makeFolder("tly-dispatch");
        } else {
            char pattern[] = "/tmp/tly-dispatch-XXXXXX";
            path_ = ::mkdtemp(pattern);
        }
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
    return qmtest::run({"python3", "-c",
                        "import sys, zlib; sys.stdout.buffer.write(zlib.decompress(bytes.fromhex(sys.argv[1]), "
                        "int(sys.argv[2])))",
                        hex(bytes), std::to_string(wbits)})
        .out;
}

}  // namespace tlytest

#include <algorithm>
#include <chrono>
#include <functional>

#include "analytics/TLYBatchingDispatcher.h"
#include "analytics/TLYHitStorage.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"

namespace tlytest {

// The hit store's behaviour as the dispatcher sees it, in memory.
class MemoryHitStore : public TLYHitStorage {
public:
    using Value = platform::foundation::Value;
    void addHit(const Value& hit) override {
        Value h = hit;
        if (!h.contains("timestamp")) h["timestamp"] = Value::date(platform::foundation::Clock::current().now());
        h["objectID"] = Value(int64_t(++lastId_));
        hits_.push_back(h);
    }
    bool save(platform::foundation::Error*) override {
        ++saves;
        return true;
    }
    std::optional<Value::Array> fetchHitsWithLimit(uint64_t limit, platform::foundation::Error* error) override {
        ++fetches;
        if (failFetch) {
            if (error) *error = platform::foundation::Error("test", 1);
            return std::nullopt;
        }
        Value::Array sorted = hits_;
        std::stable_sort(sorted.begin(), sorted.end(), [](const Value& a, const Value& b) {
            return a["timestamp"].dateValue() < b["timestamp"].dateValue();
        });
        if (limit && sorted.size() > limit) sorted.resize(limit);
        return sorted;
    }
    bool deleteHitsWithIds(const Value::Array& ids, platform::foundation::Error* error) override {
        if (failDelete) {
            if (error) *error = platform::foundation::Error("test", 2);
            return false;
        }
        for (const auto& id : ids)
            hits_.erase(std::remove_if(hits_.begin(), hits_.end(), [&](const Value& h) { return h["objectID"] == id; }),
                        hits_.end());
        return true;
    }
    bool deleteAllHits(platform::foundation::Error*) override {
        ++deleteAllCalls;
        hits_.clear();
        return true;
    }
    int64_t hitCount(platform::foundation::Error*) override { return int64_t(hits_.size()); }
    std::string clientId() override { return "K"; }

    const Value::Array& hits() const { return hits_; }
    bool failFetch = false;
    bool failDelete = false;
    int fetches = 0;
    int deleteAllCalls = 0;
    int saves = 0;

private:
    Value::Array hits_;
    int64_t lastId_ = 0;
};

// Runs the main loop until `done` holds, for at most `seconds` of real time.
inline bool pumpUntil(const std::function<bool()>& done, double seconds = 60.0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        platform::foundation::RunLoop::main().runOnce(0.02);
    }
    return true;
}

// Reachability functions a test drives itself.
struct ScriptedReachability {
    static inline TLYReachabilityApi::Callback callback = nullptr;
    static inline void* info = nullptr;
    static inline int targets = 0;
    static inline bool failSchedule = false;
    static const TLYReachabilityApi* api() {
        static const TLYReachabilityApi table = {
            [](const char*) -> TLYReachabilityApi::Target {
                ++targets;
                return &targets;
            },
            [](TLYReachabilityApi::Target, TLYReachabilityApi::Callback cb, void* i) {
                callback = cb;
                info = i;
                return true;
            },
            [](TLYReachabilityApi::Target, platform::foundation::RunLoop*) { return !failSchedule; },
            [](TLYReachabilityApi::Target, platform::foundation::RunLoop*) { callback = nullptr; },
            [](TLYReachabilityApi::Target) { --targets; },
        };
        return &table;
    }
    static void report(uint32_t flags) {
        if (callback) callback(&targets, flags, info);
    }
};

}  // namespace tlytest
