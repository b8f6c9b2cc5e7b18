#pragma once
// Crash-time result codes, returned by every operation that may run while the
// process is crashing. Async-signal-safe: the texts are constants.
#include <cstdint>

namespace ovcrash {

enum async_error : int32_t {
    ASYNC_ESUCCESS = 0,
    ASYNC_EUNKNOWN = 1,
    ASYNC_EOUTPUT = 2,
    ASYNC_ENOMEM = 3,
    ASYNC_ENOTSUP = 4,
    ASYNC_EINVAL = 5,
    ASYNC_EINTERNAL = 6,
    ASYNC_EACCESS = 7,
    ASYNC_ENOTFOUND = 8,
    ASYNC_EINVALID_DATA = 9,
};

const char* async_error_string(async_error error);

}  // namespace ovcrash
