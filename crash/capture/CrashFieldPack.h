#pragma once
// The crash report's field encoder: packs one field (key and value) of the
// report message straight into the report file, or, given no file, only
// counts the bytes it would take, so that the writer can size a sub-message
// before writing its key and length. Also the report's field numbers, named
// as in CrashReport.proto.
// Async-signal-safe: encodes on the stack, writes through async_file.
#include <cstddef>
#include <cstdint>

#include "crash/capture/AsyncFile.h"

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

// Field numbers of the report message and its nested messages.
namespace report_fields {
namespace crash_report {
inline constexpr uint32_t system_info = 1, application_info = 2, threads = 3, binary_images = 4, exception = 5,
                          signal = 6, process_info = 7, machine_info = 8, report_info = 9;
}
namespace system_info {
inline constexpr uint32_t operating_system = 1, os_version = 2, architecture = 3, timestamp = 4, os_build = 5;
}
namespace processor {
inline constexpr uint32_t encoding = 1, type = 2, subtype = 3;
}
namespace machine_info {
inline constexpr uint32_t model = 1, processor = 2, processor_count = 3, logical_processor_count = 4;
}
namespace application_info {
inline constexpr uint32_t identifier = 1, version = 2, marketing_version = 3;
}
namespace symbol {
inline constexpr uint32_t name = 1, start_address = 2, end_address = 3;
}
namespace thread {
inline constexpr uint32_t thread_number = 1, frames = 2, crashed = 3, registers = 4;
}
namespace stack_frame {
inline constexpr uint32_t pc = 3, symbol = 6;
}
namespace register_value {
inline constexpr uint32_t name = 1, value = 2;
}
namespace binary_image {
inline constexpr uint32_t base_address = 1, size = 2, name = 3, uuid = 4, code_type = 5;
}
namespace exception {
inline constexpr uint32_t name = 1, reason = 2, frames = 3;
}
namespace signal {
inline constexpr uint32_t name = 1, code = 2, address = 3, mach_exception = 4;
}
namespace mach_exception {
inline constexpr uint32_t type = 1, codes = 2;
}
namespace process_info {
inline constexpr uint32_t process_name = 1, process_id = 2, process_path = 3, parent_process_name = 4,
                          parent_process_id = 5, native = 6, start_time = 7;
}
namespace report_info {
inline constexpr uint32_t user_requested = 1, uuid = 2;
}
}  // namespace report_fields

// Enumeration values the writer puts in the report.
inline constexpr int32_t REPORT_OS_MAC_OS_X = 0, REPORT_OS_IPHONE_OS = 1, REPORT_OS_IPHONE_SIMULATOR = 2,
                         REPORT_OS_UNKNOWN = 3;
inline constexpr int32_t REPORT_ARCH_X86_32 = 0, REPORT_ARCH_X86_64 = 1, REPORT_ARCH_ARMV6 = 2, REPORT_ARCH_PPC = 3,
                         REPORT_ARCH_PPC64 = 4, REPORT_ARCH_ARMV7 = 5, REPORT_ARCH_UNKNOWN = 6;
inline constexpr int32_t REPORT_TYPE_ENCODING_UNKNOWN = 0, REPORT_TYPE_ENCODING_MACH = 1;

// The file's header: magic and version byte.
inline constexpr char REPORT_FILE_MAGIC[7] = {'o', 'v', 'c', 'r', 'a', 's', 'h'};
inline constexpr uint8_t REPORT_FILE_VERSION = 1;

}  // namespace ovcrash
