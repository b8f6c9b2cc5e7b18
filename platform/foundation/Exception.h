#pragma once
// The platform's exception object, with the process-wide uncaught-exception
// handler. An Exception that escapes to std::terminate reaches that handler first.
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform::foundation {

class Exception : public std::exception {
public:
    Exception(std::string name, std::string reason, Value userInfo = Value());
    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const Value& userInfo() const { return userInfo_; }
    // Return addresses of the stack where the exception was created.
    const std::vector<uintptr_t>& callStackReturnAddresses() const { return callStack_; }
    const char* what() const noexcept override { return what_.c_str(); }

    [[noreturn]] static void raise(std::string name, std::string reason, Value userInfo = Value());

protected:
    // An exception that stands for one raised elsewhere, with that one's stack.
    Exception(std::string name, std::string reason, Value userInfo, std::vector<uintptr_t> callStack);

private:
    std::string name_, reason_, what_;
    Value userInfo_;
    std::vector<uintptr_t> callStack_;
};

inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* kRangeException = "NSRangeException";
inline constexpr const char* kGenericException = "NSGenericException";

using UncaughtExceptionHandler = void (*)(const Exception&);
UncaughtExceptionHandler getUncaughtExceptionHandler();
// Also installs (once) the std::terminate hook that hands an escaping
// Exception to the handler before the process aborts.
void setUncaughtExceptionHandler(UncaughtExceptionHandler handler);

}  // namespace platform::foundation
