// The crash log and the analytics hits cut text at the same composed
// character sequences, marks of every script included.
#include <gtest/gtest.h>

#include <string>

#include "analytics/TLYUnicode.h"
#include "crash/capture/report/PKROVCrashReport.h"
#include "crash/manager/PKRCrashReportTextFormatter.h"
#include "platform/foundation/Error.h"
#include "tests/crash/capture/ReportBuilder.h"

namespace {

constexpr uint64_t kMarkedBase = 0x200000000;

// A report with one more image, named `name`, and a thread with a frame in it.
std::shared_ptr<PKROVCrashReport> reportWithImage(const std::string& name) {
    using namespace reporttest;
    Spec spec;
    spec.extra = [name](async_file* f) {
        size_t n = message(f, rf::crash_report::binary_images, [&](async_file* g) {
            return u64(g, rf::binary_image::size, 0x1000) + u64(g, rf::binary_image::base_address, kMarkedBase) +
                   str(g, rf::binary_image::name, name.c_str()) +
                   processor(g, rf::binary_image::code_type, 0x100000C, 0);
        });
        return n + message(f, rf::crash_report::threads, [&](async_file* g) {
                   return u32(g, rf::thread::thread_number, 9) + flag(g, rf::thread::crashed, false) +
                          frame(g, rf::thread::frames, kMarkedBase + 0x10);
               });
    };
    auto file = reportFile(spec);
    platform::foundation::Error error;
    return PKROVCrashReport::initWithData(file, &error);
}

}  // namespace

TEST(ComposedText, TheCrashLogFrameColumnCutsWhereTheAnalyticsTextDoes) {
    // Letters with Hebrew points, Arabic vowel marks, Devanagari signs and
    // Cyrillic titlos: two code points, one sequence each.
    for (const std::string letter : {"\u05D1\u05B8", "\u0628\u064E", "\u0915\u093F", "\u0430\u0483"}) {
        std::string word;
        for (int i = 0; i < 34; ++i) word += letter;
        ASSERT_EQ(tlyComposedSequences(word).size(), 34u);
        auto report = reportWithImage("/lib/" + word);
        ASSERT_TRUE(report);
        std::shared_ptr<PKROVCrashReportStackFrameInfo> frame;
        for (const auto& thread : report->threads())
            if (thread->threadNumber() == 9) frame = thread->stackFrames().at(0);
        ASSERT_TRUE(frame);
        std::string line = PKRCrashReportTextFormatter::pkr_formatStackFrame(*frame, 0, *report, true);
        // 32 sequences of two UTF-16 units each, as the analytics text cuts them.
        EXPECT_EQ(line.substr(4, line.find("... ") + 4 - 4), tlyPrefixOfUTF16Length(word, 64) + "... ") << line;
    }
}
