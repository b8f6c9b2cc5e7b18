// Crash report files as the crash manager reads them on the next launch: the
// decoder, then the text form of what it accepted.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crash/capture/report/PKROVCrashReport.h"
#include "crash/capture/report/PKROVCrashReportTextFormatter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::foundation::Error error;
    auto report = PKROVCrashReport::initWithData(std::vector<uint8_t>(data, data + size), &error);
    if (!report) {
        if (error.code != OVCrashReporterErrorCrashReportInvalid) __builtin_trap();
        return 0;
    }
    // An accepted report is whole.
    if (!report->systemInfo() || !report->applicationInfo() || !report->signalInfo() || report->threads().empty() ||
        report->images().empty())
        __builtin_trap();
    (void)PKROVCrashReportTextFormatter::stringValueForCrashReport(*report, PKROVCrashReportTextFormatiOS);
    return 0;
}
