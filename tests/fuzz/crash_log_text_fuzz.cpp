// A crash report file of the previous run, as the crash manager sends it:
// decoded, then written as the service's crash log text with the
// application's image list.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crash/capture/report/PKROVCrashReport.h"
#include "crash/manager/PKRCrashReportTextFormatter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::foundation::Error error;
    auto report = PKROVCrashReport::initWithData(std::vector<uint8_t>(data, data + size), &error);
    if (!report) return 0;
    std::string text = PKRCrashReportTextFormatter::stringValueForCrashReport(*report, std::string("key"));
    // Every line is whole.
    if (text.empty() || text.back() != '\n') __builtin_trap();
    (void)PKRCrashReportTextFormatter::arrayOfAppUUIDsForCrashReport(*report);
    return 0;
}
