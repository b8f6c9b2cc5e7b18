#pragma once
// Facts about a process that the crash reporter records: identifier, command
// name, parent, start time and whether a debugger traces it, read from the
// kernel's process record. Gathered before a crash, never at crash time.
#include <sys/time.h>
#include <cstdint>
#include <memory>
#include <string>

#include "crash/capture/async/SysctlRead.h"

class PKROVCrashProcessInfo {
public:
    // The calling process, or null when the kernel does not answer.
    static std::shared_ptr<PKROVCrashProcessInfo> currentProcessInfo();
    // Any process; valid() is false when the kernel does not know it.
    explicit PKROVCrashProcessInfo(int32_t processID);

    bool valid() const { return valid_; }
    int32_t processID() const { return processID_; }
    // Empty when the name has no well-formed UTF-8 prefix.
    const std::string& processName() const { return processName_; }
    int32_t parentProcessID() const { return parentProcessID_; }
    bool isTraced() const { return traced_; }
    timeval startTime() const { return startTime_; }

private:
    int32_t processID_ = 0;
    std::string processName_;
    int32_t parentProcessID_ = 0;
    bool traced_ = false;
    timeval startTime_{};
    bool valid_ = false;
};
