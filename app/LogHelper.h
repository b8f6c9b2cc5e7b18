#pragma once
// A developer's timing log. Code stamps the start, middle points and end of
// chunks (appendStamp, from any thread); every 10 s, once startLoggingTimer
// has run, the report prints the plain lines collected meanwhile, then per
// thread each chunk's time with the shares of its slowest steps, the average
// chunk time, and the five slowest chunks so far. The application does not
// start it.
//
// Stamps carry the platform's monotonic ticks; each thread's stamps are
// walked function by function, each function's in time order, so a chunk is
// meant to open and close in one function. A step that runs backwards in time
// (a chunk closed in another function) counts as no time.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Timer.h"

struct ChunkStamp {
    const char* fnName = "";  // not owned: a function name literal
    int32_t lineNum = 0;
    uint64_t timestamp = 0;        // monotonic ticks
    const void* thread = nullptr;  // the stamping thread's identity
    bool isStart = false;
    bool isEnd = false;

    // Thread, then function name (byte-wise), then time.
    int compare(const ChunkStamp& other) const;
    // The calling thread's identity, and the platform's monotonic ticks now.
    static const void* currentThread();
    static uint64_t now();
};

struct ChunkTimeInterval {
    std::string intervalName;
    uint64_t nanoSecsElapsed = 0;

    ChunkTimeInterval(std::string name, uint64_t nanoseconds)
        : intervalName(std::move(name)), nanoSecsElapsed(nanoseconds) {}
    // "fn:line - fn:line"; the ticks between the two in nanoseconds (0 when
    // the second is not later).
    static ChunkTimeInterval fromStamps(const ChunkStamp& from, const ChunkStamp& to);
    std::string description() const;
};

class LogHelper {
public:
    static LogHelper& sharedInstance();

    // The process-wide stamps, taken under their lock.
    static void appendStamp(const ChunkStamp& stamp);
    // Ticks to nanoseconds: numerator and denominator, fetched once.
    struct Timebase {
        uint32_t numer = 1, denom = 1;
    };
    static Timebase timebase();

    void startLoggingTimer();
    void stopLoggingTimer();
    void addLogString(const std::string& line);
    void printOutTimingData();
    void maybeAddTimeIntervalAsSlowest(const ChunkTimeInterval& interval);
    void logSlowestChunks();
    static void consolidateTimeIntervals(std::vector<ChunkTimeInterval>& intervals);

    const std::vector<ChunkTimeInterval>& slowestChunks() const { return slowestChunks_; }
    const std::vector<std::string>& pendingLines() const { return pendingLines_; }
    void reset();  // empties the lines, the slowest chunks and the stamps

private:
    std::shared_ptr<platform::foundation::Timer> logTimer_;
    std::vector<std::string> pendingLines_;
    std::vector<ChunkTimeInterval> slowestChunks_;
};
