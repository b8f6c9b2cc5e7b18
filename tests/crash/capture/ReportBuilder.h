#pragma once
// Builds crash report files the way the crash-time writer does - field by
// field through crash_field_pack into an async_file, each sub-message sized
// first - from a small description, so that tests can decode them with
// protoc, with the report decoder and with the text formatter.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "crash/capture/async/AsyncFile.h"
#include "crash/capture/report/CrashFieldPack.h"
#include "tests/support/ShellTools.h"

namespace reporttest {

using namespace ovcrash;
namespace rf = ovcrash::report_fields;

using Body = std::function<size_t(async_file*)>;

inline size_t message(async_file* f, uint32_t field, const Body& body) {
    uint32_t length = static_cast<uint32_t>(body(nullptr));
    size_t n = crash_field_pack(f, field, CRASH_FIELD_MESSAGE, &length);
    if (f) body(f);
    return n + length;
}
inline size_t str(async_file* f, uint32_t field, const char* s) {
    return crash_field_pack(f, field, CRASH_FIELD_STRING, s);
}
inline size_t u64(async_file* f, uint32_t field, uint64_t v) {
    return crash_field_pack(f, field, CRASH_FIELD_UINT64, &v);
}
inline size_t u32(async_file* f, uint32_t field, uint32_t v) {
    return crash_field_pack(f, field, CRASH_FIELD_UINT32, &v);
}
inline size_t i64(async_file* f, uint32_t field, int64_t v) {
    return crash_field_pack(f, field, CRASH_FIELD_INT64, &v);
}
inline size_t flag(async_file* f, uint32_t field, bool v) { return crash_field_pack(f, field, CRASH_FIELD_BOOL, &v); }
inline size_t enumeration(async_file* f, uint32_t field, int32_t v) {
    return crash_field_pack(f, field, CRASH_FIELD_ENUM, &v);
}
inline size_t bytes(async_file* f, uint32_t field, const void* data, size_t length) {
    crash_field_bytes b{data, length};
    return crash_field_pack(f, field, CRASH_FIELD_BYTES, &b);
}

struct Spec {
    size_t reportUUIDLength = 16;  // 0: no report UUID
    bool machineInfo = true;
    bool processInfo = true;
    int threads = 2;
    int images = 2;
    bool exception = true;
    int exceptionFrames = 1;
    int machCodes = -1;  // below 0: no Mach exception
    int64_t timestamp = 1700000000;
    uint64_t appCPUType = 0x1000007, appCPUSubtype = 3;  // also the machine's processor
    std::vector<const char*> registers = {"rax", "rbx", "rip", "rsp", "rbp"};
    const char* exceptionReason = "index 3 beyond bounds";
    bool signalCode = true;  // false: a signal section without its required code
    Body extra;              // more fields after the signal
};

inline constexpr uint64_t kAppBase = 0x100000000, kAppSize = 0x10000, kLibBase = 0x7fff00000000, kLibSize = 0x8000;

inline size_t frame(async_file* f, uint32_t field, uint64_t pc, const char* symbol = nullptr, uint64_t start = 0) {
    return message(f, field, [&](async_file* g) {
        size_t n = u64(g, rf::stack_frame::pc, pc);
        if (symbol)
            n += message(g, rf::stack_frame::symbol, [&](async_file* h) {
                return str(h, rf::symbol::name, symbol) + u64(h, rf::symbol::start_address, start);
            });
        return n;
    });
}

inline size_t processor(async_file* f, uint32_t field, uint64_t type, uint64_t subtype) {
    return message(f, field, [&](async_file* g) {
        return enumeration(g, rf::processor::encoding, REPORT_TYPE_ENCODING_MACH) + u64(g, rf::processor::type, type) +
               u64(g, rf::processor::subtype, subtype);
    });
}

// The report body (no header), in the writer's order of sections.
inline size_t packReport(async_file* f, const Spec& spec) {
    namespace cr = rf::crash_report;
    size_t n = 0;
    n += message(f, cr::report_info, [&](async_file* g) {
        uint8_t uuid[32];
        for (int i = 0; i < 32; ++i) uuid[i] = static_cast<uint8_t>(0x10 + i);
        size_t m = flag(g, rf::report_info::user_requested, false);
        if (spec.reportUUIDLength > 0) m += bytes(g, rf::report_info::uuid, uuid, spec.reportUUIDLength);
        return m;
    });
    n += message(f, cr::system_info, [&](async_file* g) {
        return enumeration(g, rf::system_info::operating_system, REPORT_OS_IPHONE_OS) +
               str(g, rf::system_info::os_version, "9.3.1") + str(g, rf::system_info::os_build, "13E238") +
               enumeration(g, rf::system_info::architecture, REPORT_ARCH_UNKNOWN) +
               i64(g, rf::system_info::timestamp, spec.timestamp);
    });
    if (spec.machineInfo)
        n += message(f, cr::machine_info, [&](async_file* g) {
            return str(g, rf::machine_info::model, "iPhone8,1") +
                   processor(g, rf::machine_info::processor, spec.appCPUType, spec.appCPUSubtype) +
                   u32(g, rf::machine_info::processor_count, 2) + u32(g, rf::machine_info::logical_processor_count, 4);
        });
    n += message(f, cr::application_info, [&](async_file* g) {
        return str(g, rf::application_info::identifier, "com.example.battery") +
               str(g, rf::application_info::version, "42") + str(g, rf::application_info::marketing_version, "1.4");
    });
    if (spec.processInfo)
        n += message(f, cr::process_info, [&](async_file* g) {
            namespace p = rf::process_info;
            return str(g, p::process_name, "Quenmira") + u32(g, p::process_id, 1234) +
                   str(g, p::process_path, "/app/Quenmira.app/Quenmira") + str(g, p::parent_process_name, "launchd") +
                   u32(g, p::parent_process_id, 1) + flag(g, p::native, true) + u64(g, p::start_time, 1699999990);
        });
    for (int t = 0; t < spec.threads; ++t)
        n += message(f, cr::threads, [&](async_file* g) {
            namespace th = rf::thread;
            size_t m = u32(g, th::thread_number, static_cast<uint32_t>(t)) + flag(g, th::crashed, t == 0);
            if (t == 0) {
                for (size_t r = 0; r < spec.registers.size(); ++r)
                    m += message(g, th::registers, [&](async_file* h) {
                        return str(h, rf::register_value::name, spec.registers[r]) +
                               u64(h, rf::register_value::value, 0x1000 + static_cast<uint64_t>(r));
                    });
                m += frame(g, th::frames, kAppBase + 0x1234, "_main", kAppBase + 0x1200);
                m += frame(g, th::frames, kLibBase + 0x2010);
            } else {
                m += frame(g, th::frames, kLibBase + 0x3000);
            }
            return m;
        });
    for (int i = 0; i < spec.images; ++i)
        n += message(f, cr::binary_images, [&](async_file* g) {
            namespace b = rf::binary_image;
            if (i == 0) {
                uint8_t uuid[16];
                for (int k = 0; k < 16; ++k) uuid[k] = static_cast<uint8_t>(k);
                return u64(g, b::size, kAppSize) + u64(g, b::base_address, kAppBase) +
                       str(g, b::name, "/app/Quenmira.app/Quenmira") + bytes(g, b::uuid, uuid, sizeof uuid) +
                       processor(g, b::code_type, spec.appCPUType, spec.appCPUSubtype);
            }
            return u64(g, b::size, kLibSize) + u64(g, b::base_address, kLibBase + 0x100000 * (i - 1)) +
                   str(g, b::name, "/usr/lib/libc.so.6") + processor(g, b::code_type, 0x100000C, 13);
        });
    if (spec.exception)
        n += message(f, cr::exception, [&](async_file* g) {
            size_t m = str(g, rf::exception::name, "NSInvalidArgumentException") +
                       str(g, rf::exception::reason, spec.exceptionReason);
            for (int k = 0; k < spec.exceptionFrames; ++k) m += frame(g, rf::exception::frames, kAppBase + 0x1250 + k);
            return m;
        });
    n += message(f, cr::signal, [&](async_file* g) {
        size_t m = str(g, rf::signal::name, "SIGSEGV") + u64(g, rf::signal::address, 0x10);
        if (spec.signalCode) m += str(g, rf::signal::code, "SEGV_MAPERR");
        if (spec.machCodes >= 0)
            m += message(g, rf::signal::mach_exception, [&](async_file* h) {
                size_t k = u64(h, rf::mach_exception::type, 1);
                for (int c = 0; c < spec.machCodes; ++c)
                    k += u64(h, rf::mach_exception::codes, 1 + static_cast<uint64_t>(c));
                return k;
            });
        return m;
    });
    if (spec.extra) n += spec.extra(f);
    return n;
}

// What an in-memory file descriptor holds.
inline std::vector<uint8_t> contents(int fd) {
    std::vector<uint8_t> out;
    ::lseek(fd, 0, SEEK_SET);
    uint8_t buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    return out;
}

// Packs body(file) into a fresh in-memory file and returns its bytes.
inline std::vector<uint8_t> packed(const std::function<void(async_file*)>& body, uint64_t limit = 0) {
    int fd = ::memfd_create("report", 0);
    int keep = ::dup(fd);
    async_file file;
    async_file_init(&file, fd, limit);
    body(&file);
    async_file_close(&file);
    auto out = contents(keep);
    ::close(keep);
    return out;
}

// A whole report file: header, then the body.
inline std::vector<uint8_t> reportFile(const Spec& spec = {}) {
    return packed([&](async_file* f) {
        async_file_write(f, REPORT_FILE_MAGIC, sizeof REPORT_FILE_MAGIC);
        async_file_write(f, &REPORT_FILE_VERSION, 1);
        packReport(f, spec);
    });
}

// protoc's text for bytes decoded as message type against proto (run in the
// proto's folder); "protoc failed: " and what it said when it fails.
inline std::string protocDecode(const std::vector<uint8_t>& body, const std::string& proto, const std::string& type) {
    const std::string dir = proto.substr(0, proto.rfind('/'));
    const std::string file = proto.substr(proto.rfind('/') + 1);
    qmtest::RunOptions options;
    options.input.assign(body.begin(), body.end());
    options.mergeErrors = true;
    const qmtest::Ran ran = qmtest::run({"protoc", "--proto_path=" + dir, "--decode=" + type, file}, options);
    return ran.ok() ? ran.out : "protoc failed: " + ran.out;
}

}  // namespace reporttest
