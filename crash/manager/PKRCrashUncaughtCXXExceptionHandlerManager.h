#pragma once
// Gives an uncaught C++ exception a trace: a terminate handler of ours
// collects the pending exception's type, message and the backtrace of the
// thread that threw it, hands that to the registered handlers (the crash
// manager's wraps it for the crash reporter), passes control on to the
// terminate handler it replaced, and ends the process with abort() should
// that one return. A platform::foundation::Exception goes straight to the
// replaced handler, which hands it to the platform's uncaught-exception handler.
#include <cstdint>
#include <vector>

#include "platform/foundation/Exception.h"

// What is known about the pending exception. It lives on the terminate
// handler's stack while the handlers run.
struct PKRCrashUncaughtCXXExceptionInfo {
    const void* exception;            // address of the captured std::exception_ptr
    const char* exception_type_name;  // mangled; null when unknown
    const char* exception_message;    // null when the exception carries none
    uint32_t exception_frames_count;
    const uint64_t* exception_frames;  // return addresses, innermost first
};

using PKRCrashUncaughtCXXExceptionHandler = void (*)(const PKRCrashUncaughtCXXExceptionInfo* info);

class PKRCrashUncaughtCXXExceptionHandlerManager {
public:
    // The first handler installs the terminate hook. The same handler may be
    // added twice and is then called twice.
    static void addCXXExceptionHandler(PKRCrashUncaughtCXXExceptionHandler handler);
    // Removes one registration. With none left, the replaced terminate
    // handler is put back unless another component has replaced ours since.
    static void removeCXXExceptionHandler(PKRCrashUncaughtCXXExceptionHandler handler);
};

// The platform exception that stands for an uncaught C++ exception, so that
// the uncaught-exception handler (the crash reporter's) records it: its name
// is the demangled type, its reason the message, its call stack the frames
// of the throwing thread.
class PKRCrashCXXExceptionWrapperException : public platform::foundation::Exception {
public:
    explicit PKRCrashCXXExceptionWrapperException(const PKRCrashUncaughtCXXExceptionInfo* info);
    // The record it was made from; valid only while the handlers run.
    const PKRCrashUncaughtCXXExceptionInfo* info() const { return info_; }

private:
    const PKRCrashUncaughtCXXExceptionInfo* info_;
};
