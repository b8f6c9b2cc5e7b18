#pragma once
// The crash reporter's own rendering of a decoded report as text in the
// platform's crash-log layout (report version 104), returned as encoded
// bytes through the formatter interface.
#include <cstdint>
#include <string>
#include <vector>

#include "crash/capture/report/PKROVCrashReport.h"
#include "platform/foundation/Error.h"

// The report's code type ("X86-64", "ARM-64", ...) and whether addresses
// and registers print 64 bits wide: the first image with a known Mach
// processor decides, else the report's architecture. The crash report
// manager's text follows the same rules.
struct PKROVCrashReportCodeType {
    std::string name;
    bool lp64;
};
PKROVCrashReportCodeType PKROVCrashReportCodeTypeOf(const PKROVCrashReport& report);
// The name of a Mach CPU type and subtype ("x86_64", "armv7", ...; "???" for
// an unknown type). 64-bit ARM's subtype 13 is named `arm64v8Name`: the two
// report texts name it differently.
std::string PKROVCrashReportArchitectureName(uint64_t cpuType, uint64_t cpuSubtype, const char* arm64v8Name);
// The process block: "Process:", "Path:", "Identifier:", "Version:", "Code
// Type:" and "Parent Process:" lines ("???" for what is unknown), then a
// blank line.
std::string PKROVCrashReportProcessText(const PKROVCrashReport& report, const PKROVCrashReportCodeType& codeType);
// "Thread N crashed with <code type> Thread State:", the thread's registers
// four to a line, and a blank line.
std::string PKROVCrashReportThreadStateText(const PKROVCrashReport& report, const PKROVCrashReportThreadInfo& thread,
                                            const PKROVCrashReportCodeType& codeType);

// Something that turns a report into bytes.
class PKROVCrashReportFormatter {
public:
    virtual ~PKROVCrashReportFormatter() = default;
    virtual std::vector<uint8_t> formatReport(const PKROVCrashReport& report, platform::foundation::Error* error) = 0;
};

enum PKROVCrashReportTextFormat : int32_t {
    PKROVCrashReportTextFormatiOS = 0,
};

// The platform's string-encoding numbers the formatter writes.
enum PKROVStringEncoding : uint32_t {
    PKROVStringEncodingASCII = 1,
    PKROVStringEncodingUTF8 = 4,
    PKROVStringEncodingISOLatin1 = 5,
};

class PKROVCrashReportTextFormatter : public PKROVCrashReportFormatter {
public:
    PKROVCrashReportTextFormatter(int32_t textFormat, uint32_t stringEncoding)
        : textFormat_(textFormat), stringEncoding_(stringEncoding) {}

    // The text in the formatter's encoding; characters the encoding lacks
    // become "?" (other encoding numbers give UTF-8). Never fails.
    std::vector<uint8_t> formatReport(const PKROVCrashReport& report, platform::foundation::Error* error) override;

    // The text; every format value gives the same layout.
    static std::string stringValueForCrashReport(const PKROVCrashReport& report, int32_t textFormat);

private:
    static std::string formatStackFrame(const PKROVCrashReportStackFrameInfo& frame, int64_t frameIndex,
                                        const PKROVCrashReport& report, bool lp64);

    int32_t textFormat_;
    uint32_t stringEncoding_;
};
