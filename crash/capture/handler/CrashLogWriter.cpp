// crash_log_writer_write, write_crash_report_file and the section writers
// below are crash-time code: no allocation, no lock, only async-signal-safe
// calls (raw thread stand-ins, task reads, write/close). init, set_exception
// and free run outside crash time and allocate.
#include "crash/capture/handler/CrashLogWriter.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "crash/capture/async/AsyncMemory.h"
#include "crash/capture/async/SysctlRead.h"
#include "crash/capture/handler/CrashSignalTables.h"
#include "crash/capture/image/ImageList.h"
#include "crash/capture/image/MachOImage.h"
#include "crash/capture/image/ObjCMetadata.h"
#include "crash/capture/image/SymbolLookup.h"
#include "crash/capture/info/PKROVCrashProcessInfo.h"
#include "crash/capture/report/CrashFieldPack.h"
#include "crash/capture/unwind/FrameCursor.h"
#include "platform/system/MachThread.h"

namespace ovcrash {

using platform::system::thread_t;
namespace rf = report_fields;

namespace {

// ---- Preparation (outside crash time) ----

char* copy_string(const char* s) { return s ? strdup(s) : nullptr; }

// At most limit bytes of s, cut before a character that would not fit whole.
char* copy_bounded_utf8(const char* s, size_t limit) {
    if (!s) s = "";
    size_t n = strlen(s);
    if (n > limit) {
        n = limit;
        while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    }
    return strndup(s, n);
}

char* copy_executable_path() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return nullptr;
    return strndup(path, size_t(n));
}

void make_uuid(uint8_t uuid[16]) {
    size_t got = 0;
    while (got < 16) {
        ssize_t n = getrandom(uuid + got, 16 - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    uuid[6] = uint8_t((uuid[6] & 0x0F) | 0x40);  // version 4, random
    uuid[8] = uint8_t((uuid[8] & 0x3F) | 0x80);
}

// ---- Packing ----

size_t pack(async_file* file, uint32_t field, crash_field_type type, const void* value) {
    return crash_field_pack(file, field, type, value);
}

// A required string is packed even when unknown: as the empty string, since
// a missing one would leave the whole report undecodable.
size_t pack_string(async_file* file, uint32_t field, const char* s) {
    return crash_field_pack(file, field, CRASH_FIELD_STRING, s ? s : "");
}

size_t pack_uint64(async_file* file, uint32_t field, uint64_t v) { return pack(file, field, CRASH_FIELD_UINT64, &v); }
size_t pack_uint32(async_file* file, uint32_t field, uint32_t v) { return pack(file, field, CRASH_FIELD_UINT32, &v); }
size_t pack_bool(async_file* file, uint32_t field, bool v) { return pack(file, field, CRASH_FIELD_BOOL, &v); }
size_t pack_enum(async_file* file, uint32_t field, int32_t v) { return pack(file, field, CRASH_FIELD_ENUM, &v); }

// A sub-message: its body is sized first (written to no file), then the key
// and length go out, then the body for real. body(file) returns its size.
template <typename Body>
size_t pack_message(async_file* file, uint32_t field, Body&& body) {
    auto length = static_cast<uint32_t>(body(nullptr));
    size_t n = pack(file, field, CRASH_FIELD_MESSAGE, &length);
    if (file) body(file);
    return n + length;
}

// ---- Sections ----

size_t write_processor(async_file* file, uint64_t type, uint64_t subtype) {
    size_t n = pack_enum(file, rf::processor::encoding, REPORT_TYPE_ENCODING_MACH);
    n += pack_uint64(file, rf::processor::type, type);
    n += pack_uint64(file, rf::processor::subtype, subtype);
    return n;
}

size_t write_report_info(async_file* file, const crash_log_writer* w) {
    size_t n = pack_bool(file, rf::report_info::user_requested, w->user_requested);
    crash_field_bytes uuid{w->report_uuid, sizeof w->report_uuid};
    n += pack(file, rf::report_info::uuid, CRASH_FIELD_BYTES, &uuid);
    return n;
}

size_t write_system_info(async_file* file, const crash_log_writer* w, int64_t timestamp) {
    size_t n = pack_enum(file, rf::system_info::operating_system, REPORT_OS_IPHONE_OS);
    n += pack_string(file, rf::system_info::os_version, w->system_info.version);
    if (w->system_info.build) n += pack_string(file, rf::system_info::os_build, w->system_info.build);
    n += pack_enum(file, rf::system_info::architecture, REPORT_ARCH_UNKNOWN);
    n += pack(file, rf::system_info::timestamp, CRASH_FIELD_INT64, &timestamp);
    return n;
}

size_t write_machine_info(async_file* file, const crash_log_writer* w) {
    const auto& m = w->machine_info;
    size_t n = 0;
    if (m.model) n += pack_string(file, rf::machine_info::model, m.model);
    n += pack_message(file, rf::machine_info::processor, [&](async_file* f) {
        return write_processor(f, uint64_t(uint32_t(m.cpu_type)), uint64_t(uint32_t(m.cpu_subtype)));
    });
    n += pack_uint32(file, rf::machine_info::processor_count, uint32_t(m.processor_count));
    n += pack_uint32(file, rf::machine_info::logical_processor_count, uint32_t(m.logical_processor_count));
    return n;
}

size_t write_application_info(async_file* file, const crash_log_writer* w) {
    const auto& a = w->application_info;
    size_t n = pack_string(file, rf::application_info::identifier, a.identifier);
    n += pack_string(file, rf::application_info::version, a.version);
    if (a.marketing_version) n += pack_string(file, rf::application_info::marketing_version, a.marketing_version);
    return n;
}

size_t write_process_info(async_file* file, const crash_log_writer* w) {
    const auto& p = w->process_info;
    size_t n = 0;
    if (p.process_name) n += pack_string(file, rf::process_info::process_name, p.process_name);
    n += pack_uint32(file, rf::process_info::process_id, uint32_t(p.process_id));
    if (p.process_path) n += pack_string(file, rf::process_info::process_path, p.process_path);
    if (p.parent_process_name) n += pack_string(file, rf::process_info::parent_process_name, p.parent_process_name);
    n += pack_uint32(file, rf::process_info::parent_process_id, uint32_t(p.parent_process_id));
    n += pack_bool(file, rf::process_info::native, p.native);
    n += pack_uint64(file, rf::process_info::start_time, p.start_time);
    return n;
}

// The symbol of a frame, packed by the lookup's callback.
struct symbol_pack {
    async_file* file;
    size_t size;
};

void pack_symbol(uint64_t address, const char* name, void* context) {
    auto* s = static_cast<symbol_pack*>(context);
    s->size = pack_string(s->file, rf::symbol::name, name);
    s->size += pack_uint64(s->file, rf::symbol::start_address, address);
}

size_t write_frame(async_file* file, const crash_log_writer* w, image_list* images, uint64_t pc) {
    size_t n = pack_uint64(file, rf::stack_frame::pc, pc);
    if (w->symbolication_strategy == 0 || !images) return n;
    image_list_set_reading(images, true);
    macho_image* image = image_list_image_for_address(images, pc);
    if (image) {
        // Sized first; only a lookup that succeeds gets its key and length.
        symbol_pack sizing{nullptr, 0};
        if (async_symbol_lookup(image, w->symbolication_strategy, w->objc_cache, pc, pack_symbol, &sizing) ==
            ASYNC_ESUCCESS) {
            auto length = static_cast<uint32_t>(sizing.size);
            n += pack(file, rf::stack_frame::symbol, CRASH_FIELD_MESSAGE, &length) + length;
            if (file) {
                symbol_pack writing{file, 0};
                async_symbol_lookup(image, w->symbolication_strategy, w->objc_cache, pc, pack_symbol, &writing);
            }
        }
    }
    image_list_set_reading(images, false);
    return n;
}

size_t write_frames(async_file* file, const crash_log_writer* w, image_list* images, uint32_t field,
                    const uint64_t* pcs, uint32_t count) {
    size_t n = 0;
    for (uint32_t i = 0; i < count; ++i)
        n += pack_message(file, field, [&](async_file* f) { return write_frame(f, w, images, pcs[i]); });
    return n;
}

// One thread's walk, gathered once so that sizing and writing agree.
struct thread_walk {
    uint32_t frame_count;
    uint64_t pcs[CRASH_LOG_MAX_FRAMES];
    uint32_t register_count;  // the crashed thread's first frame only
    const char* register_names[64];
    uint64_t register_values[64];
};

void walk_thread(task_t task, const thread_state* state, image_list* images, bool with_registers, thread_walk* walk) {
    walk->frame_count = 0;
    walk->register_count = 0;
    if (!state) return;  // registers unknown: no frames rather than garbage
    frame_cursor cursor;
    frame_cursor_init(&cursor, task, state, images);
    if (frame_cursor_advance(&cursor) == FRAME_ESUCCESS) {
        if (with_registers) {
            uint32_t count = frame_cursor_register_count(&cursor);
            if (count > 64) count = 64;
            for (uint32_t r = 0; r < count; ++r) {
                uint64_t value = 0;
                if (frame_cursor_get_register(&cursor, r, &value) != FRAME_ESUCCESS) value = 0;
                walk->register_names[r] = frame_cursor_register_name(&cursor, r);
                walk->register_values[r] = value;
            }
            walk->register_count = count;
        }
        while (walk->frame_count < CRASH_LOG_MAX_FRAMES) {
            uint64_t pc;
            if (frame_cursor_get_register(&cursor, REG_IP, &pc) != FRAME_ESUCCESS) break;
            walk->pcs[walk->frame_count++] = pc;
            if (frame_cursor_advance(&cursor) != FRAME_ESUCCESS) break;
        }
    }
    frame_cursor_free(&cursor);
}

size_t write_thread(async_file* file, const crash_log_writer* w, image_list* images, uint32_t number, bool crashed,
                    const thread_walk* walk, uint32_t frame_limit, bool with_registers) {
    size_t n = pack_uint32(file, rf::thread::thread_number, number);
    n += pack_bool(file, rf::thread::crashed, crashed);
    if (with_registers) {
        for (uint32_t r = 0; r < walk->register_count; ++r) {
            n += pack_message(file, rf::thread::registers, [&](async_file* f) {
                size_t m = pack_string(f, rf::register_value::name, walk->register_names[r]);
                return m + pack_uint64(f, rf::register_value::value, walk->register_values[r]);
            });
        }
    }
    uint32_t count = walk->frame_count < frame_limit ? walk->frame_count : frame_limit;
    return n + write_frames(file, w, images, rf::thread::frames, walk->pcs, count);
}

// How much of a thread fits into room bytes: all of it (at most max_frames
// frames), else fewer frames, else no registers either; false when not even
// its number fits.
struct thread_fit {
    uint32_t frame_limit;
    bool with_registers;
    size_t size;
};

bool fit_thread(const crash_log_writer* w, image_list* images, uint32_t number, bool crashed, const thread_walk* walk,
                uint32_t max_frames, uint64_t room, thread_fit* fit) {
    auto size = [&](uint32_t limit, bool regs) {
        return pack_message(nullptr, rf::crash_report::threads, [&](async_file* f) {
            return write_thread(f, w, images, number, crashed, walk, limit, regs);
        });
    };
    for (bool regs : {crashed, false}) {
        for (uint32_t limit = walk->frame_count < max_frames ? walk->frame_count : max_frames;; limit /= 2) {
            size_t s = size(limit, regs);
            if (s <= room) {
                *fit = {limit, regs, s};
                return true;
            }
            if (limit == 0) break;
        }
        if (!crashed) break;
    }
    return false;
}

void write_thread_fitted(async_file* file, const crash_log_writer* w, image_list* images, uint32_t number, bool crashed,
                         const thread_walk* walk, const thread_fit& fit) {
    pack_message(file, rf::crash_report::threads, [&](async_file* f) {
        return write_thread(f, w, images, number, crashed, walk, fit.frame_limit, fit.with_registers);
    });
}

size_t write_image(async_file* file, macho_image* image) {
    size_t n = pack_uint64(file, rf::binary_image::size, image->text_size);
    n += pack_uint64(file, rf::binary_image::base_address, image->header_addr);
    n += pack_string(file, rf::binary_image::name, image->name);
    // LC_UUID: command, size, then the 16 bytes.
    const void* uuid_cmd = macho_image_find_command(image, platform::system::LC_UUID);
    if (uuid_cmd && macho_image_command_field32(image, uuid_cmd, 4) >= 24) {
        crash_field_bytes bytes{static_cast<const uint8_t*>(uuid_cmd) + 8, 16};
        n += pack(file, rf::binary_image::uuid, CRASH_FIELD_BYTES, &bytes);
    }
    n += pack_message(file, rf::binary_image::code_type, [&](async_file* f) {
        return write_processor(f, uint64_t(uint32_t(macho_image_cpu_type(image))),
                               uint64_t(uint32_t(macho_image_cpu_subtype(image))));
    });
    return n;
}

size_t write_exception(async_file* file, const crash_log_writer* w, image_list* images) {
    const auto& e = w->uncaught_exception;
    size_t n = pack_string(file, rf::exception::name, e.name);
    n += pack_string(file, rf::exception::reason, e.reason);
    uint32_t count = uint32_t(e.call_stack_count < CRASH_LOG_MAX_EXCEPTION_FRAMES ? e.call_stack_count
                                                                                  : CRASH_LOG_MAX_EXCEPTION_FRAMES);
    return n + write_frames(file, w, images, rf::exception::frames, e.call_stack, count);
}

size_t write_signal(async_file* file, const crash_signal_info* siginfo) {
    char name_buffer[SIGNAL_TEXT_SIZE], code_buffer[SIGNAL_TEXT_SIZE];
    size_t n = pack_string(file, rf::signal::name, async_signal_name_text(siginfo->bsd.signo, name_buffer));
    n +=
        pack_string(file, rf::signal::code, async_signal_code_text(siginfo->bsd.signo, siginfo->bsd.code, code_buffer));
    n += pack_uint64(file, rf::signal::address, siginfo->bsd.address);
    if (const auto* mach = siginfo->mach) {
        n += pack_message(file, rf::signal::mach_exception, [&](async_file* f) {
            size_t m = pack_uint64(f, rf::mach_exception::type, uint64_t(uint32_t(mach->type)));
            for (uint32_t i = 0; i < mach->code_count; ++i)
                m += pack_uint64(f, rf::mach_exception::codes, mach->code[i]);
            return m;
        });
    }
    return n;
}

// The task's threads, suspended for the length of one write; resumes them
// whenever the write ends.
class suspended_threads {
public:
    explicit suspended_threads(thread_t self) {
        using namespace platform::system;
        if (task_threads(mach_task_self(), &threads_, &count_) != KERN_SUCCESS) {
            threads_ = nullptr;
            count_ = 0;
        }
        for (uint32_t i = 0; i < count_; ++i)
            suspended_[i] = threads_[i] != self && thread_suspend(threads_[i]) == KERN_SUCCESS;
    }
    ~suspended_threads() {
        for (uint32_t i = 0; i < count_; ++i)
            if (suspended_[i]) platform::system::thread_resume(threads_[i]);
        if (threads_) platform::system::task_threads_release(threads_);
    }
    suspended_threads(const suspended_threads&) = delete;
    suspended_threads& operator=(const suspended_threads&) = delete;

    uint32_t count() const { return count_; }
    thread_t at(uint32_t i) const { return threads_[i]; }
    bool suspended(uint32_t i) const { return suspended_[i]; }

private:
    thread_t* threads_ = nullptr;
    uint32_t count_ = 0;
    bool suspended_[platform::system::kTaskThreadsMax] = {};
};

// The registers of a suspended thread, or false when it did not stop.
bool read_suspended_state(thread_t thread, thread_state* state) {
    mcontext_t context;
    if (platform::system::thread_get_state(thread, &context) != platform::system::KERN_SUCCESS) return false;
    thread_state_init_from_mcontext(state, &context);
    return true;
}

// The registers thread i of the list is walked from (null: no frames), or
// false when the thread stays out of the report: the writing thread belongs
// in it only with registers of its own.
bool other_thread_state(const suspended_threads& threads, uint32_t i, thread_t self, const thread_state* current_state,
                        thread_state* scratch, const thread_state** state) {
    *state = nullptr;
    if (threads.at(i) == self) {
        *state = current_state;
        return current_state != nullptr;
    }
    if (threads.suspended(i) && read_suspended_state(threads.at(i), scratch)) *state = scratch;
    return true;
}

// The most frames each thread but the crashed one may keep so that all of
// them fit into room: the deepest threads give up their outermost frames
// first. 0 when not even their bare numbers fit; the threads that come last
// are then left out. Walks every thread once, into walk.
uint32_t other_threads_frame_cap(const crash_log_writer* w, image_list* images, const suspended_threads& threads,
                                 thread_t self, thread_t crashed_thread, const thread_state* current_state,
                                 uint64_t room, thread_walk* walk) {
    const task_t task = platform::system::mach_task_self();
    // totals[n]: the bytes of all of them at most n frames deep.
    uint64_t totals[CRASH_LOG_MAX_FRAMES + 1] = {};
    uint32_t number = 0;
    for (uint32_t i = 0; i < threads.count(); ++i) {
        if (threads.at(i) == crashed_thread) {
            ++number;
            continue;
        }
        thread_state scratch;
        const thread_state* state;
        if (!other_thread_state(threads, i, self, current_state, &scratch, &state)) continue;
        walk_thread(task, state, images, false, walk);
        size_t body = write_thread(nullptr, w, images, number++, false, walk, 0, false);
        for (uint32_t limit = 0; limit <= CRASH_LOG_MAX_FRAMES; ++limit) {
            if (limit > 0 && limit <= walk->frame_count)
                body += pack_message(nullptr, rf::thread::frames,
                                     [&](async_file* f) { return write_frame(f, w, images, walk->pcs[limit - 1]); });
            auto length = static_cast<uint32_t>(body);
            totals[limit] += pack(nullptr, rf::crash_report::threads, CRASH_FIELD_MESSAGE, &length) + body;
        }
    }
    uint32_t cap = CRASH_LOG_MAX_FRAMES;
    while (cap > 0 && totals[cap] > room) --cap;
    return cap;
}

// Writes the listed images, in order, while each fits; without a file, the
// bytes all of them take. Images found at crash time that no walk reached
// come last: those that hold a walked address are never the ones left out.
uint64_t write_images(async_file* file, image_list* images) {
    if (!images) return 0;
    uint64_t size = 0;
    image_list_set_reading(images, true);
    bool full = false;
    for (int unreached = 0; unreached < 2 && !full; ++unreached) {
        for (macho_image* image = image_list_next(images, nullptr); image; image = image_list_next(images, image)) {
            if (image_list_image_unreached(images, image) != (unreached == 1)) continue;
            auto write = [&](async_file* f) { return write_image(f, image); };
            const size_t one = pack_message(nullptr, rf::crash_report::binary_images, write);
            if ((full = file && one > async_file_remaining(file))) break;
            if (file) pack_message(file, rf::crash_report::binary_images, write);
            size += one;
        }
    }
    image_list_set_reading(images, false);
    return size;
}

}  // namespace

async_error crash_log_writer_init(crash_log_writer* writer, const char* app_identifier, const char* app_version,
                                  const char* app_marketing_version, uint32_t symbolication_strategy,
                                  bool user_requested) {
    memset(writer, 0, sizeof *writer);
    writer->symbolication_strategy = symbolication_strategy;
    writer->user_requested = user_requested;
    make_uuid(writer->report_uuid);
    // Without it, frames go unnamed by class metadata rather than unwritten.
    writer->objc_cache = static_cast<objc_metadata_cache*>(calloc(1, sizeof(objc_metadata_cache)));

    writer->application_info.identifier = copy_string(app_identifier);
    writer->application_info.version = copy_string(app_version);
    writer->application_info.marketing_version = copy_string(app_marketing_version);

    auto self = PKROVCrashProcessInfo::currentProcessInfo();
    if (!self) return ASYNC_EINVAL;
    writer->process_info.process_id = self->processID();
    if (!self->processName().empty()) writer->process_info.process_name = copy_string(self->processName().c_str());
    writer->process_info.start_time = uint64_t(self->startTime().tv_sec);
    writer->process_info.parent_process_id = self->parentProcessID();
    writer->process_info.process_path = copy_executable_path();
    PKROVCrashProcessInfo parent(self->parentProcessID());
    if (parent.valid() && !parent.processName().empty())
        writer->process_info.parent_process_name = copy_string(parent.processName().c_str());

    writer->machine_info.model = sysctl_string_copy("hw.machine");
    sysctl_int_read("hw.cputype", &writer->machine_info.cpu_type);
    sysctl_int_read("hw.cpusubtype", &writer->machine_info.cpu_subtype);
    sysctl_int_read("hw.physicalcpu_max", &writer->machine_info.processor_count);
    sysctl_int_read("hw.logicalcpu_max", &writer->machine_info.logical_processor_count);

    int32_t native = 1;
    writer->process_info.native = !(sysctl_int_read("sysctl.proc_native", &native) && native == 0);

    writer->system_info.build = sysctl_string_copy("kern.osversion");
    writer->system_info.version = sysctl_string_copy("kern.osproductversion");

    __atomic_thread_fence(__ATOMIC_SEQ_CST);  // read later by a signal handler
    return ASYNC_ESUCCESS;
}

void PKRovcrash_log_writer_set_exception(crash_log_writer* writer, const char* name, const char* reason,
                                         const uint64_t* call_stack, size_t call_stack_count) {
    auto& e = writer->uncaught_exception;
    // Claimed before anything is written: a second exception, even one
    // arriving at the same moment, never writes into the first one's record.
    if (__atomic_exchange_n(&e.claimed, true, __ATOMIC_SEQ_CST)) {
        static constexpr char kAssertion[] =
            "PKRovcrash_log_writer_set_exception: Assertion failed: "
            "writer->uncaught_exception.has_exception == false\n";
        [[maybe_unused]] ssize_t said = write(STDERR_FILENO, kAssertion, sizeof kAssertion - 1);
        abort();
    }
    e.name = copy_bounded_utf8(name, CRASH_LOG_MAX_EXCEPTION_TEXT);
    e.reason = copy_bounded_utf8(reason, CRASH_LOG_MAX_EXCEPTION_TEXT);
    if (call_stack_count > CRASH_LOG_MAX_EXCEPTION_FRAMES) call_stack_count = CRASH_LOG_MAX_EXCEPTION_FRAMES;
    if (call_stack && call_stack_count > 0) {
        e.call_stack = static_cast<uint64_t*>(malloc(call_stack_count * sizeof(uint64_t)));
        if (e.call_stack) {
            memcpy(e.call_stack, call_stack, call_stack_count * sizeof(uint64_t));
            e.call_stack_count = call_stack_count;
        }
    }
    // Published last: a crash handler that sees the flag finds the rest.
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    e.has_exception = true;
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

namespace {

// The report's image list brought up to date for as long as the report is written.
class current_images {
public:
    current_images(image_list* images, bool crash)
        : images_(images), started_(images && image_list_crash_time_begin(images, crash)) {}
    ~current_images() {
        if (started_) image_list_crash_time_end(images_);
    }
    current_images(const current_images&) = delete;
    current_images& operator=(const current_images&) = delete;

private:
    image_list* images_;
    bool started_;
};

}  // namespace

async_error crash_log_writer_write(crash_log_writer* writer, thread_t crashed_thread, image_list* images,
                                   async_file* file, const crash_signal_info* siginfo,
                                   const thread_state* current_state) {
    const thread_t self = async_thread_self();
    const task_t task = platform::system::mach_task_self();
    suspended_threads threads(self);  // resumed on every way out
    // With every other thread stopped, no load or unload is under way but
    // one stopped half-way, which the dynamic linker's list tells.
    current_images current(images, !writer->user_requested);

    static constexpr char header[8] = {'o', 'v', 'c', 'r', 'a', 's', 'h', char(REPORT_FILE_VERSION)};
    async_file_write(file, header, sizeof header);

    // The room is handed out in order of need, each share held back before
    // the next is measured: the exception and the signal, the crashed
    // thread, every image (a report without them does not decode), and last
    // the other threads, which give up frames and then places to fit.
    const bool has_exception = writer->uncaught_exception.has_exception;
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    const uint64_t tail_size =
        (has_exception ? pack_message(nullptr, rf::crash_report::exception,
                                      [&](async_file* f) { return write_exception(f, writer, images); })
                       : 0) +
        pack_message(nullptr, rf::crash_report::signal, [&](async_file* f) { return write_signal(f, siginfo); });
    async_file_reserve(file, tail_size);

    pack_message(file, rf::crash_report::report_info, [&](async_file* f) { return write_report_info(f, writer); });
    timespec now{};
    int64_t timestamp = clock_gettime(CLOCK_REALTIME, &now) == 0 ? int64_t(now.tv_sec) : 0;
    pack_message(file, rf::crash_report::system_info,
                 [&](async_file* f) { return write_system_info(f, writer, timestamp); });
    pack_message(file, rf::crash_report::machine_info, [&](async_file* f) { return write_machine_info(f, writer); });
    pack_message(file, rf::crash_report::application_info,
                 [&](async_file* f) { return write_application_info(f, writer); });
    pack_message(file, rf::crash_report::process_info, [&](async_file* f) { return write_process_info(f, writer); });

    thread_state crashed_state;
    const thread_state* crashed_state_ptr = nullptr;
    if (crashed_thread == self)
        crashed_state_ptr = current_state;
    else if (read_suspended_state(crashed_thread, &crashed_state))
        crashed_state_ptr = &crashed_state;
    thread_walk crashed_walk;
    walk_thread(task, crashed_state_ptr, images, true, &crashed_walk);
    thread_fit crashed_fit{};
    // The crashed thread's number is not known yet; a varint of the largest
    // possible number is the most it can take.
    bool crashed_fits = fit_thread(writer, images, platform::system::kTaskThreadsMax, true, &crashed_walk,
                                   CRASH_LOG_MAX_FRAMES, async_file_remaining(file), &crashed_fit);
    const uint64_t crashed_room = crashed_fits ? crashed_fit.size : 0;
    async_file_reserve(file, tail_size + crashed_room);

    // Images that cannot all fit take what there is, and the other threads none.
    uint64_t images_room = write_images(nullptr, images);
    if (images_room > async_file_remaining(file)) images_room = async_file_remaining(file);
    async_file_reserve(file, tail_size + crashed_room + images_room);

    thread_walk walk;
    const uint32_t frame_cap = other_threads_frame_cap(writer, images, threads, self, crashed_thread, current_state,
                                                       async_file_remaining(file), &walk);

    uint32_t number = 0;
    bool crashed_written = false;
    auto write_crashed = [&] {
        async_file_reserve(file, tail_size + images_room);
        thread_fit fit{};
        if (fit_thread(writer, images, number, true, &crashed_walk, CRASH_LOG_MAX_FRAMES, async_file_remaining(file),
                       &fit)) {
            write_thread_fitted(file, writer, images, number++, true, &crashed_walk, fit);
        }
        crashed_written = true;
    };
    for (uint32_t i = 0; i < threads.count(); ++i) {
        if (threads.at(i) == crashed_thread) {
            write_crashed();
            continue;
        }
        thread_state state;
        const thread_state* state_ptr;
        if (!other_thread_state(threads, i, self, current_state, &state, &state_ptr)) continue;
        walk_thread(task, state_ptr, images, false, &walk);
        thread_fit fit{};
        if (fit_thread(writer, images, number, false, &walk, frame_cap, async_file_remaining(file), &fit))
            write_thread_fitted(file, writer, images, number++, false, &walk, fit);
    }
    // A thread list that failed, or that lost the crashed thread, still
    // leaves the crashed thread in the report.
    if (!crashed_written) write_crashed();

    async_file_reserve(file, tail_size);
    write_images(file, images);

    async_file_reserve(file, 0);
    if (has_exception)
        pack_message(file, rf::crash_report::exception,
                     [&](async_file* f) { return write_exception(f, writer, images); });
    pack_message(file, rf::crash_report::signal, [&](async_file* f) { return write_signal(f, siginfo); });
    return ASYNC_ESUCCESS;
}

async_error crash_log_writer_close(crash_log_writer*) { return ASYNC_ESUCCESS; }

void crash_log_writer_free(crash_log_writer* writer) {
    if (writer->objc_cache) {
        objc_metadata_cache_free(writer->objc_cache);
        free(writer->objc_cache);
    }
    free(writer->system_info.version);
    free(writer->system_info.build);
    free(writer->machine_info.model);
    free(writer->application_info.identifier);
    free(writer->application_info.version);
    free(writer->application_info.marketing_version);
    free(writer->process_info.process_name);
    free(writer->process_info.process_path);
    free(writer->process_info.parent_process_name);
    if (writer->uncaught_exception.has_exception) {
        free(writer->uncaught_exception.name);
        free(writer->uncaught_exception.reason);
        free(writer->uncaught_exception.call_stack);
    }
    memset(writer, 0, sizeof *writer);
}

namespace {

// A new file of the report's own: whatever stands at the path (a link
// planted there, a name sharing another file) goes first and is never
// written through; one planted again in between makes the create fail.
int create_report_file(int folder, const char* name) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        unlinkat(folder, name, 0);
        int fd = openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

async_error write_crash_report_file(crash_log_writer* writer, int folder, const char* name, thread_t crashed_thread,
                                    image_list* images, const thread_state* state, const crash_signal_info* siginfo) {
    int fd = create_report_file(folder, name);
    if (fd < 0) return ASYNC_EINTERNAL;
    async_file file;
    async_file_init(&file, fd, ASYNC_FILE_REPORT_LIMIT);
    async_error result = crash_log_writer_write(writer, crashed_thread, images, &file, siginfo, state);
    crash_log_writer_close(writer);
    if (!async_file_close(&file)) return ASYNC_EINTERNAL;
    return result;
}

}  // namespace ovcrash
