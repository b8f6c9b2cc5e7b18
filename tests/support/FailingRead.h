#pragma once
// Making one read of a program fail for real: strace injects EIO at the Nth
// pread64 of each of the program's threads, and writes those calls down, so
// that a test can tell when N has gone past the last read.
#include <string>
#include <vector>

#include "tests/support/ShellTools.h"

namespace qmtest {

// Why no read can be made to fail here (no strace, or no tracing allowed); "" when one can.
inline std::string failingReadUnavailable() {
    if (!have("strace")) return "no strace to make a read fail";
    if (!run({"strace", "-f", "-qq", "-o", "/dev/null", "true"}, RunOptions().mergingErrors()).ok())
        return "strace may not trace here";
    return "";
}

// The words that start a program with its `n`th pread64 (of each thread)
// failing with EIO, those calls written to `trace`.
inline std::vector<std::string> withFailingRead(int n, const std::string& trace) {
    return {"strace",
            "-f",
            "-qq",
            "-o",
            trace,
            "-e",
            "trace=pread64",
            "-e",
            "inject=pread64:error=EIO:when=" + std::to_string(n)};
}

// Whether the run that wrote `trace` had a read made to fail: false once `n`
// is past its last read.
inline bool aReadFailed(const std::string& trace) { return readAll(trace).find("(INJECTED)") != std::string::npos; }

}  // namespace qmtest
