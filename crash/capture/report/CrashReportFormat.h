#pragma once
// The report file's layout as both its writer and its decoder see it: the
// header, the field numbers of the report message (named as in
// CrashReport.proto) and the enumeration values the writer puts in it.
#include <cstdint>

namespace ovcrash {

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
