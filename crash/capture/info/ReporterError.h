#pragma once
// Builders of the crash reporter's error objects: the reporter's domain and
// codes, and operating-system failures carried as an underlying error in the
// POSIX or Mach domain. Not for crash time.
#include <string>

#include "crash/capture/info/OVCrashReporterError.h"
#include "platform/foundation/Error.h"
#include "platform/system/Mach.h"

inline constexpr const char* kOVCrashMachErrorDomain = "NSMachErrorDomain";
inline constexpr const char* kOVCrashUnderlyingErrorKey = "NSUnderlyingError";

namespace ovcrash {

// Fills *error (nothing when error is null) with code and description; an
// underlying error goes under the underlying-error key as a dictionary of its
// "domain", "code" and "userInfo".
void reporter_error_populate(platform::foundation::Error* error, OVCrashReporterError code,
                             const std::string& description, const platform::foundation::Error* underlying);
// Code 1 with the kernel return code as the underlying error (Mach domain).
void reporter_error_populate_mach(platform::foundation::Error* error, platform::system::kern_return_t kr,
                                  const std::string& description);
// Code 1 with errno as the underlying error (POSIX domain).
void reporter_error_populate_posix(platform::foundation::Error* error, int err, const std::string& description);

}  // namespace ovcrash
