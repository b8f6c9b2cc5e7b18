#pragma once
// Reading the kernel's named values for the crash reporter, and the UTF-8
// check it applies to the names the kernel hands back. Not for crash time:
// they allocate; the facts they read are gathered before a crash.
#include <cstddef>
#include <cstdint>

namespace ovcrash {

// The string value of `name`, newly allocated (free() it), or null with errno
// preserved from the failing call.
char* sysctl_string_copy(const char* name);
// The 4-byte value of `name`; true on success.
bool sysctl_int_read(const char* name, int32_t* value);
// How many leading bytes of `bytes` form well-formed UTF-8 (after a leading
// byte-order mark): the walk ends at a NUL or at the first malformed, overlong
// or surrogate sequence, or one cut off by the end.
size_t utf8_prefix_length(const uint8_t* bytes, size_t length);

}  // namespace ovcrash
