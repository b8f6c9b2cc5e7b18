#include "platform/foundation/Log.h"

#include "platform/foundation/Format.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace platform::foundation {

namespace {

struct LogState {
    std::mutex mutex;
    std::function<void(const std::string&)> sink;
    std::string process = program_invocation_short_name;
};

LogState& state() {
    static LogState* s = new LogState;  // usable from atexit handlers
    return *s;
}

}  // namespace

void log(const std::string& message) {
    // Wall time of the machine, not the injectable clock: the console is for people.
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm t;
    localtime_r(&tv.tv_sec, &t);
    char stamp[64];
    snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec, int(tv.tv_usec / 1000));
    auto& s = state();
    std::lock_guard lock(s.mutex);
    // The process name too: it is the name the program was started by.
    std::string line = escapingControls(std::string(stamp) + " " + s.process + "[" + std::to_string(getpid()) + ":" +
                                        std::to_string(gettid()) + "] " + message);
    if (s.sink) {
        s.sink(line);
        return;
    }
    line += '\n';
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= size_t(n);
    }
}

void logf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string s = vformat(format, ap);
    va_end(ap);
    log(s);
}

void setLogSink(std::function<void(const std::string& line)> sink) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.sink = std::move(sink);
}

void setProcessName(const std::string& name) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.process = name;
}

}  // namespace platform::foundation
