// Async-signal-safe: returns constant strings only.
#include "crash/capture/async/AsyncError.h"

namespace ovcrash {

const char* async_error_string(async_error error) {
    switch (error) {
    case ASYNC_ESUCCESS: return "No error";
    case ASYNC_EUNKNOWN: return "Unknown error";
    case ASYNC_EOUTPUT: return "Output file can not be opened (or written to)";
    case ASYNC_ENOMEM: return "No memory available";
    case ASYNC_ENOTSUP: return "Operation not supported";
    case ASYNC_EINVAL: return "Invalid argument";
    case ASYNC_EINTERNAL: return "Internal error";
    case ASYNC_EACCESS: return "Access denied";
    case ASYNC_ENOTFOUND: return "Not found";
    case ASYNC_EINVALID_DATA: return "The input data is in an unknown or invalid format.";
    }
    return "Unhandled error code";
}

}  // namespace ovcrash
