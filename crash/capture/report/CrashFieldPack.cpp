// Async-signal-safe: encodes into a stack buffer, writes through async_file,
// aborts (a safe call) only on a type no caller may pass.
#include "crash/capture/report/CrashFieldPack.h"

#include <cstdlib>

#include "crash/capture/async/AsyncMemory.h"

namespace ovcrash {

namespace {

enum wire_type : uint32_t { WIRE_VARINT = 0, WIRE_64BIT = 1, WIRE_LENGTH = 2, WIRE_32BIT = 5 };

// Key (at most 10 bytes) and value (at most 10) fit.
constexpr size_t kScratch = 24;

size_t put_varint(uint8_t* out, uint64_t value) {
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[n++] = static_cast<uint8_t>(value);
    return n;
}

size_t put_fixed(uint8_t* out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
    return width;
}

template <typename T>
T load(const void* value) {
    T v;
    async_memcpy(&v, value, sizeof v);
    return v;
}

wire_type wire_of(crash_field_type type) {
    switch (type) {
    case CRASH_FIELD_INT32:
    case CRASH_FIELD_SINT32:
    case CRASH_FIELD_INT64:
    case CRASH_FIELD_SINT64:
    case CRASH_FIELD_UINT32:
    case CRASH_FIELD_UINT64:
    case CRASH_FIELD_BOOL:
    case CRASH_FIELD_ENUM: return WIRE_VARINT;
    case CRASH_FIELD_SFIXED64:
    case CRASH_FIELD_FIXED64:
    case CRASH_FIELD_DOUBLE: return WIRE_64BIT;
    case CRASH_FIELD_STRING:
    case CRASH_FIELD_BYTES:
    case CRASH_FIELD_MESSAGE: return WIRE_LENGTH;
    case CRASH_FIELD_SFIXED32:
    case CRASH_FIELD_FIXED32:
    case CRASH_FIELD_FLOAT: return WIRE_32BIT;
    }
    abort();
}

size_t c_string_length(const char* s) {
    size_t n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

}  // namespace

size_t crash_field_pack(async_file* file, uint32_t field, crash_field_type type, const void* value) {
    uint8_t scratch[kScratch];
    size_t n = put_varint(scratch, (static_cast<uint64_t>(field) << 3) | wire_of(type));
    const void* tail = nullptr;
    size_t tail_length = 0;

    switch (type) {
    case CRASH_FIELD_INT32:
    case CRASH_FIELD_ENUM:
        n += put_varint(scratch + n, static_cast<uint64_t>(static_cast<int64_t>(load<int32_t>(value))));
        break;
    case CRASH_FIELD_SINT32: {
        int32_t v = load<int32_t>(value);
        n += put_varint(scratch + n, (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31));
        break;
    }
    case CRASH_FIELD_INT64: n += put_varint(scratch + n, static_cast<uint64_t>(load<int64_t>(value))); break;
    case CRASH_FIELD_SINT64: {
        int64_t v = load<int64_t>(value);
        n += put_varint(scratch + n, (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
        break;
    }
    case CRASH_FIELD_UINT32: n += put_varint(scratch + n, load<uint32_t>(value)); break;
    case CRASH_FIELD_UINT64: n += put_varint(scratch + n, load<uint64_t>(value)); break;
    case CRASH_FIELD_BOOL: scratch[n++] = load<bool>(value) ? 1 : 0; break;
    case CRASH_FIELD_SFIXED32:
    case CRASH_FIELD_FIXED32:
    case CRASH_FIELD_FLOAT: n += put_fixed(scratch + n, load<uint32_t>(value), 4); break;
    case CRASH_FIELD_SFIXED64:
    case CRASH_FIELD_FIXED64:
    case CRASH_FIELD_DOUBLE: n += put_fixed(scratch + n, load<uint64_t>(value), 8); break;
    case CRASH_FIELD_STRING:
        tail = value;
        tail_length = c_string_length(static_cast<const char*>(value));
        n += put_varint(scratch + n, tail_length);
        break;
    case CRASH_FIELD_BYTES: {
        auto bytes = load<crash_field_bytes>(value);
        tail = bytes.data;
        tail_length = bytes.length;
        n += put_varint(scratch + n, tail_length);
        break;
    }
    case CRASH_FIELD_MESSAGE: n += put_varint(scratch + n, load<uint32_t>(value)); break;
    default: abort();
    }

    if (file) {
        async_file_write(file, scratch, n);
        if (tail_length > 0) async_file_write(file, tail, tail_length);
    }
    return n + tail_length;
}

}  // namespace ovcrash
