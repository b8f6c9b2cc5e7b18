#include "app/LogHelper.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <string_view>

#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"

namespace pf = platform::foundation;

namespace {

std::mutex& stampsMutex() {
    static std::mutex m;
    return m;
}

std::vector<ChunkStamp>& chunkStamps() {
    static std::vector<ChunkStamp> s;
    return s;
}

float seconds(uint64_t ns) { return static_cast<float>(ns) / 1e9f; }

void print(const std::string& line) { pf::log(line); }

}  // namespace

int ChunkStamp::compare(const ChunkStamp& o) const {
    if (thread != o.thread) return std::less<const void*>()(thread, o.thread) ? -1 : 1;
    // A function's stamps stay together, so a chunk nested in a call made from
    // another chunk does not cut the outer one in two.
    const int byName = std::string_view(fnName ? fnName : "").compare(o.fnName ? o.fnName : "");
    if (byName != 0) return byName < 0 ? -1 : 1;
    if (timestamp != o.timestamp) return timestamp < o.timestamp ? -1 : 1;
    return 0;
}

const void* ChunkStamp::currentThread() {
    thread_local const char identity = 0;
    return &identity;
}

uint64_t ChunkStamp::now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

LogHelper::Timebase LogHelper::timebase() {
    // The monotonic clock counts nanoseconds: one tick is one nanosecond.
    static const Timebase base{1, 1};
    return base;
}

ChunkTimeInterval ChunkTimeInterval::fromStamps(const ChunkStamp& from, const ChunkStamp& to) {
    const std::string name = pf::format("%s:%d - %s:%d", from.fnName, from.lineNum, to.fnName, to.lineNum);
    const LogHelper::Timebase base = LogHelper::timebase();
    uint64_t ns = 0;
    if (base.denom != 0 && to.timestamp > from.timestamp)
        ns = static_cast<uint64_t>((static_cast<unsigned __int128>(to.timestamp - from.timestamp) * base.numer) /
                                   base.denom);
    return ChunkTimeInterval(name, ns);
}

std::string ChunkTimeInterval::description() const {
    return pf::format("<ChunkTimeInterval %p> %s %llu", static_cast<const void*>(this), intervalName.c_str(),
                      static_cast<unsigned long long>(nanoSecsElapsed));
}

LogHelper& LogHelper::sharedInstance() {
    static LogHelper instance;
    return instance;
}

void LogHelper::appendStamp(const ChunkStamp& stamp) {
    std::lock_guard lock(stampsMutex());
    chunkStamps().push_back(stamp);
}

void LogHelper::startLoggingTimer() {
    if (logTimer_) return;
    logTimer_ = pf::Timer::scheduled(10.0, true, [this](pf::Timer&) { printOutTimingData(); });
}

void LogHelper::stopLoggingTimer() {
    if (logTimer_) logTimer_->invalidate();
    logTimer_.reset();
}

void LogHelper::addLogString(const std::string& line) { pendingLines_.push_back(line); }

void LogHelper::reset() {
    pendingLines_.clear();
    slowestChunks_.clear();
    std::lock_guard lock(stampsMutex());
    chunkStamps().clear();
}

void LogHelper::printOutTimingData() {
    bool printedLines = false;
    if (!pendingLines_.empty()) {
        print("==== Start non-chunk timestamp data (from \"LogTimestamp\") ====");
        for (const auto& line : pendingLines_) print(line);
        pendingLines_.clear();
        printedLines = true;
    }
    // Other threads append while this runs: the emptiness test is made under the lock too.
    std::unique_lock lock(stampsMutex());
    auto& stamps = chunkStamps();
    if (stamps.empty()) {
        lock.unlock();
        if (printedLines) {
            logSlowestChunks();
            print("==== End timestamp data ====");
        }
        return;
    }
    print("==== Start chunk timestamp data (from \"LogTimestamp{Start,Mid,End}Chunk\") ====");
    std::stable_sort(stamps.begin(), stamps.end(),
                     [](const ChunkStamp& a, const ChunkStamp& b) { return a.compare(b) < 0; });

    const void* thread = nullptr;
    bool haveThread = false, inChunk = false;
    std::string chunkName;
    uint64_t total = 0, sum = 0, count = 0;
    std::vector<ChunkTimeInterval> intervals;
    for (size_t i = 0; i < stamps.size(); ++i) {
        const ChunkStamp& s = stamps[i];
        if (!haveThread || s.thread != thread) {
            if (!chunkName.empty() && count > 0)
                print(pf::format("++ Chunk = %s, avg time = %.4fs", chunkName.c_str(), seconds(sum / count)));
            print(pf::format("--- Data for thread %p ---", s.thread));
            intervals.clear();
            chunkName.clear();
            total = sum = count = 0;
            inChunk = false;
            thread = s.thread;
            haveThread = true;
        }
        if (s.isStart) {
            if (inChunk) print("ERROR: LogTimestampStartChunk hit twice without a LogTimestampEndChunk between them.");
            chunkName = pf::format("%s:%d", s.fnName, s.lineNum);
            inChunk = true;
        } else if (inChunk) {
            intervals.push_back(ChunkTimeInterval::fromStamps(stamps[i - 1], s));
            total += intervals.back().nanoSecsElapsed;
            if (s.isEnd) {
                const std::string full = pf::format("%s - %s:%d", chunkName.c_str(), s.fnName, s.lineNum);
                print(pf::format("+ Chunk = %s, time = %.4fs", full.c_str(), seconds(total)));
                consolidateTimeIntervals(intervals);
                sum += total;
                ++count;
                for (size_t k = 0; k < intervals.size() && k < 5; ++k) {
                    // A chunk that took no measurable time has no shares to give.
                    const long share =
                        total ? std::lround(100.0 * double(intervals[k].nanoSecsElapsed) / double(total)) : 0;
                    print(pf::format("    %2ld%% in %s", share, intervals[k].intervalName.c_str()));
                }
                maybeAddTimeIntervalAsSlowest(ChunkTimeInterval(full, total));
                intervals.clear();
                total = 0;
                chunkName = full;
                inChunk = false;
            }
        }
    }
    if (!chunkName.empty() && count > 0)
        print(pf::format("++ Chunk = %s, avg time = %llu nsec", chunkName.c_str(),
                         static_cast<unsigned long long>(sum / count)));
    stamps.clear();
    lock.unlock();
    logSlowestChunks();
    print("==== End timestamp data ====");
}

void LogHelper::maybeAddTimeIntervalAsSlowest(const ChunkTimeInterval& interval) {
    if (slowestChunks_.size() >= 5 && slowestChunks_.back().nanoSecsElapsed >= interval.nanoSecsElapsed) return;
    slowestChunks_.push_back(interval);
    std::stable_sort(slowestChunks_.begin(), slowestChunks_.end(),
                     [](const auto& a, const auto& b) { return a.nanoSecsElapsed > b.nanoSecsElapsed; });
    if (slowestChunks_.size() > 5) slowestChunks_.pop_back();
}

void LogHelper::logSlowestChunks() {
    if (slowestChunks_.empty()) return;
    print("==== Slowest chunks so far ====");
    for (const auto& c : slowestChunks_)
        print(pf::format("# Chunk = %s, time = %.4fs", c.intervalName.c_str(), seconds(c.nanoSecsElapsed)));
}

void LogHelper::consolidateTimeIntervals(std::vector<ChunkTimeInterval>& intervals) {
    std::stable_sort(intervals.begin(), intervals.end(),
                     [](const auto& a, const auto& b) { return a.intervalName < b.intervalName; });
    std::vector<ChunkTimeInterval> merged;
    for (const auto& i : intervals) {
        if (!merged.empty() && merged.back().intervalName == i.intervalName)
            merged.back().nanoSecsElapsed += i.nanoSecsElapsed;
        else
            merged.push_back(i);
    }
    std::stable_sort(merged.begin(), merged.end(),
                     [](const auto& a, const auto& b) { return a.nanoSecsElapsed > b.nanoSecsElapsed; });
    intervals = std::move(merged);
}
