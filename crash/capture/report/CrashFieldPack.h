#pragma once
// The crash report's field encoder: packs one field (key and value) of the
// report message straight into the report file, or, given no file, only
// counts the bytes it would take, so that the writer can size a sub-message
// before writing its key and length. The field numbers it packs are in
// CrashReportFormat.h.
// Async-signal-safe: encodes on the stack, writes through async_file.
#include <cstddef>
#include <cstdint>

#include "crash/capture/async/AsyncFile.h"
#include "crash/capture/report/CrashReportFormat.h"

namespace ovcrash {

enum crash_field_type : uint32_t {
    CRASH_FIELD_INT32 = 0,
    CRASH_FIELD_SINT32 = 1,
    CRASH_FIELD_SFIXED32 = 2,
    CRASH_FIELD_INT64 = 3,
    CRASH_FIELD_SINT64 = 4,
    CRASH_FIELD_SFIXED64 = 5,
    CRASH_FIELD_UINT32 = 6,
    CRASH_FIELD_FIXED32 = 7,
    CRASH_FIELD_UINT64 = 8,
    CRASH_FIELD_FIXED64 = 9,
    CRASH_FIELD_FLOAT = 10,
    CRASH_FIELD_DOUBLE = 11,
    CRASH_FIELD_BOOL = 12,
    CRASH_FIELD_ENUM = 13,
    CRASH_FIELD_STRING = 14,
    CRASH_FIELD_BYTES = 15,
    CRASH_FIELD_MESSAGE = 16,
};

// The value of a CRASH_FIELD_BYTES field.
struct crash_field_bytes {
    const void* data;
    size_t length;
};

// Packs field number field of the given type and returns the bytes it takes.
// value points to: the scalar of the type (int32_t, int64_t, uint32_t,
// uint64_t, float, double; bool for BOOL; int32_t for ENUM); a NUL-terminated
// string for STRING; a crash_field_bytes for BYTES; the body's length as
// uint32_t for MESSAGE, of which only key and length are written. With file
// nullptr nothing is written. An unknown type aborts the process.
size_t crash_field_pack(async_file* file, uint32_t field, crash_field_type type, const void* value);

}  // namespace ovcrash
