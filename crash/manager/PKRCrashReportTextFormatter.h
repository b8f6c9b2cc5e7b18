#pragma once
// The crash-report service's text form of a decoded crash report, in the
// layout of the platform's own crash logs (report version 104), and the list
// of the application's own image UUIDs sent with it. Frames in the
// application's own images stay unsymbolicated (image base and offset) so
// that the service symbolicates them; other frames show the symbol found at
// crash time. Class methods only; unknown values show as "???".
#include <cstdint>
#include <optional>
#include <string>

#include "crash/capture/report/PKROVCrashReport.h"
#include "platform/foundation/Value.h"

enum PKRBinaryImageType : int32_t {
    PKRBinaryImageTypeAppBinary = 0,     // the application's executable
    PKRBinaryImageTypeAppFramework = 1,  // another image inside the application bundle
    PKRBinaryImageTypeOther = 2,         // system images, bundled runtime libraries, unknown paths
};

class PKRCrashReportTextFormatter {
public:
    using OptionalString = std::optional<std::string>;

    static std::string stringValueForCrashReport(const PKROVCrashReport& report,
                                                 const OptionalString& crashReporterKey);
    // One dictionary {"uuid", "arch", "type": "app" or "framework"} per
    // application image, in base-address order.
    static platform::foundation::Value arrayOfAppUUIDsForCrashReport(const PKROVCrashReport& report);
    // The selector name a register of the crashed thread points at, when the
    // same build of its image is loaded in this process.
    static OptionalString selectorForRegisterWithName(const std::string& registerName,
                                                      const PKROVCrashReportThreadInfo& thread,
                                                      const PKROVCrashReport& report);
    static PKRBinaryImageType pkr_imageTypeForImagePath(const OptionalString& imagePath,
                                                        const OptionalString& processPath);
    static std::string pkr_archNameFromImageInfo(const PKROVCrashReportBinaryImageInfo& image);
    static std::string pkr_archNameFromCPUType(uint64_t cpuType, uint64_t cpuSubtype);
    static std::string pkr_formatStackFrame(const PKROVCrashReportStackFrameInfo& frame, int64_t frameIndex,
                                            const PKROVCrashReport& report, bool lp64);
    // "/Users/<name>/" becomes "/Users/USER/"; any other path gives "".
    static std::string anonymizedProcessPathFromProcessPath(const std::string& path);
    // Images in ascending base-address order.
    static bool imageOrder(const PKROVCrashReportBinaryImageInfo& a, const PKROVCrashReportBinaryImageInfo& b) {
        return a.imageBaseAddress() < b.imageBaseAddress();
    }
};
