#pragma once
// An operation's failure: a domain string, an integer code and user info.
#include <string>

#include "platform/foundation/Value.h"

namespace platform::foundation {

struct Error {
    std::string domain;
    int64_t code = 0;
    Value userInfo;  // dictionary; "NSLocalizedDescription" holds the message

    Error() = default;
    Error(std::string d, int64_t c, Value info = Value()) : domain(std::move(d)), code(c), userInfo(std::move(info)) {}
    static Error withDescription(std::string domain, int64_t code, const std::string& description);
    std::string localizedDescription() const;
    std::string description() const;  // "Error Domain=%@ Code=%d \"%@\""
};

// The POSIX errno domain, as file operations report it.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
Error posixError(int err, const std::string& what);
// Why `error` happened to the file at `path`: its description without the
// "<path>: " a file operation's begins with, for a line that names the file itself.
std::string reasonAbout(const Error& error, const std::string& path);

}  // namespace platform::foundation
