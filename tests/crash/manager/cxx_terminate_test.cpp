#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include <stdexcept>
#include <string>
#include <vector>

#include "crash/manager/PKRCrashUncaughtCXXExceptionHandlerManager.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Thread.h"
#include "tests/crash/manager/ChildCase.h"
#include "tests/support/ChildTest.h"

using platform::foundation::format;

// Exported (the test executable exports its symbols) so that frames can be named.
extern "C" __attribute__((noinline)) void qm_test_throw_runtime_error() {
    throw std::runtime_error("battery exploded");
}
extern "C" __attribute__((noinline)) void qm_test_throw_int() { throw 42; }

namespace {

void report(const std::string& line) {
    std::string text = line + "\n";
    (void)!write(childcase::kReportFd, text.data(), text.size());
}

// Which of the two throwing functions a frame lies in, by the symbol table.
// A return address may lie just past its function (after a call that never
// returns), so the byte before it is looked up.
std::string namedThrower(const uint64_t* frames, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(frames[i] - 1), &info) && info.dli_sname &&
            std::string(info.dli_sname).rfind("qm_test_throw_", 0) == 0)
            return info.dli_sname;
    }
    return "none";
}

void recordingHandler(const PKRCrashUncaughtCXXExceptionInfo* info) {
    report(format("handler type=%s message=%s thrower=%s", info->exception_type_name ? info->exception_type_name : "-",
                  info->exception_message ? info->exception_message : "-",
                  namedThrower(info->exception_frames, info->exception_frames_count).c_str()));
}

// As the crash manager does: wrap it and hand it to the uncaught-exception handler.
void wrappingHandler(const PKRCrashUncaughtCXXExceptionInfo* info) {
    if (auto handler = platform::foundation::getUncaughtExceptionHandler())
        handler(PKRCrashCXXExceptionWrapperException(info));
}

void uncaughtHandler(const platform::foundation::Exception& e) {
    std::vector<uint64_t> frames(e.callStackReturnAddresses().begin(), e.callStackReturnAddresses().end());
    report("uncaught name=" + e.name() + " reason=" + e.reason() +
           " thrower=" + namedThrower(frames.data(), uint32_t(frames.size())));
}

void reenteringHandler(const PKRCrashUncaughtCXXExceptionInfo*) {
    report("reentering");
    std::terminate();
}

childcase::Result runChild(const std::string& name) {
    return childcase::run("/proc/self/exe", "CXXTerminateChild.Run", name);
}

using Manager = PKRCrashUncaughtCXXExceptionHandlerManager;

const std::map<std::string, std::function<void()>>& childCases() {
    static const std::map<std::string, std::function<void()>> cases{
        {"main thread",
         [] {
             platform::foundation::setUncaughtExceptionHandler(uncaughtHandler);
             Manager::addCXXExceptionHandler(recordingHandler);
             Manager::addCXXExceptionHandler(wrappingHandler);
             qm_test_throw_runtime_error();
         }},
        {"platform thread",
         [] {
             Manager::addCXXExceptionHandler(recordingHandler);
             platform::foundation::Thread thread("thrower");
             thread.perform([] { qm_test_throw_int(); });
             pause();
         }},
        {"platform exception",
         [] {
             Manager::addCXXExceptionHandler(recordingHandler);
             platform::foundation::setUncaughtExceptionHandler(uncaughtHandler);
             platform::foundation::Exception::raise("NSRangeException", "index 7 beyond bounds");
         }},
        {"registrations",
         [] {
             Manager::removeCXXExceptionHandler(recordingHandler);  // never added: nothing goes below empty
             Manager::addCXXExceptionHandler(recordingHandler);
             Manager::addCXXExceptionHandler(recordingHandler);
             Manager::removeCXXExceptionHandler(recordingHandler);
             Manager::removeCXXExceptionHandler(wrappingHandler);
             Manager::addCXXExceptionHandler(reenteringHandler);
             throw std::string("plain text");
         }},
        {"chained over, then emptied",
         [] {
             // Another component chains after the hook; with no handler left the hook stays under it.
             Manager::addCXXExceptionHandler(recordingHandler);
             static std::terminate_handler hook = std::get_terminate();
             std::set_terminate([] {
                 report("chainer");
                 hook();
             });
             Manager::removeCXXExceptionHandler(recordingHandler);
             qm_test_throw_int();
         }},
    };
    return cases;
}

}  // namespace

TEST(CXXTerminateHandler, MainThreadExceptionReachesHandlersAndUncaughtHandlerThenAborts) {
    auto result = runChild("main thread");
    EXPECT_EQ(SIGABRT, result.signal);
    EXPECT_EQ((std::vector<std::string>{
                  "handler type=St13runtime_error message=battery exploded thrower=qm_test_throw_runtime_error",
                  "uncaught name=std::runtime_error reason=battery exploded thrower=qm_test_throw_runtime_error"}),
              result.lines);
}

TEST(CXXTerminateHandler, PlatformThreadExceptionWithoutMessage) {
    auto result = runChild("platform thread");
    EXPECT_EQ(SIGABRT, result.signal);
    EXPECT_EQ(std::vector<std::string>{"handler type=i message=- thrower=qm_test_throw_int"}, result.lines);
}

// The platform's own exception takes the platform's road: the uncaught-exception
// handler, not the C++ handlers.
TEST(CXXTerminateHandler, PlatformExceptionSkipsTheHandlers) {
    auto result = runChild("platform exception");
    EXPECT_EQ(SIGABRT, result.signal);
    ASSERT_EQ(1u, result.lines.size());
    EXPECT_EQ(0u, result.lines[0].rfind("uncaught name=NSRangeException reason=index 7 beyond bounds", 0));
}

TEST(CXXTerminateHandler, RegistrationsCountAndAHandlerEndingInTerminateStillAborts) {
    auto result = runChild("registrations");
    EXPECT_EQ(SIGABRT, result.signal);
    EXPECT_EQ((std::vector<std::string>{"handler type=NSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE "
                                        "message=plain text thrower=none",
                                        "reentering"}),
              result.lines);
}

TEST(CXXTerminateHandler, AnEmptyHandlerListStillEndsTheProcess) {
    auto result = runChild("chained over, then emptied");
    EXPECT_EQ(SIGABRT, result.signal);
    EXPECT_EQ(std::vector<std::string>{"chainer"}, result.lines);
}

TEST(CXXTerminateHandler, RemovingTheLastHandlerPutsBackTheReplacedOne) {
    std::terminate_handler before = std::get_terminate();
    PKRCrashUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
    EXPECT_NE(before, std::get_terminate());
    PKRCrashUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(recordingHandler);
    EXPECT_EQ(before, std::get_terminate());

    // Chained over by someone else: that one stays in place.
    PKRCrashUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
    std::terminate_handler ours = std::get_terminate();
    std::terminate_handler other = [] { std::abort(); };
    std::set_terminate(other);
    PKRCrashUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(recordingHandler);
    EXPECT_EQ(other, std::get_terminate());
    // The other goes as it came, putting ours back; a last removal then puts
    // back the first, and the manager is as this test found it.
    std::set_terminate(ours);
    PKRCrashUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
    PKRCrashUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(recordingHandler);
    EXPECT_EQ(before, std::get_terminate());
}

TEST(CXXTerminateHandler, WrapperOfAnEmptyRecord) {
    PKRCrashUncaughtCXXExceptionInfo info{};
    PKRCrashCXXExceptionWrapperException wrapper(&info);
    EXPECT_EQ("", wrapper.name());
    EXPECT_EQ("", wrapper.reason());
    EXPECT_TRUE(wrapper.callStackReturnAddresses().empty());
}

// The child side of the cases above; does nothing in a normal run.
QM_CHILD_TEST(CXXTerminateChild, Run) {
    const char* name = childcase::current();
    if (!name) return;
    auto it = childCases().find(name);
    if (it != childCases().end()) it->second();
    _exit(0);
}
