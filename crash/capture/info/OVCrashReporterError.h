#pragma once
// The crash reporter's error domain and codes, shared by the reporter, the
// report decoder and the process-information readers.
#include <cstdint>

inline constexpr const char* OVCrashReporterErrorDomain = "OVCrashReporterErrorDomain";

enum OVCrashReporterError : int64_t {
    OVCrashReporterErrorUnknown = 0,
    OVCrashReporterErrorOperatingSystem = 1,
    OVCrashReporterErrorCrashReportInvalid = 2,
    OVCrashReporterErrorResourceBusy = 3,
};

// The prefix of the reporter's warnings in the log.
inline constexpr const char* OVCrashReporterWarningPrefix = "[OVCrashReporter] Warning -- ";
