#pragma once
// The crash log writer: produces the crash report file in two phases.
// crash_log_writer_init gathers, long before any crash, every fact that
// needs allocation or calls unsafe in a signal handler into a writer record;
// crash_log_writer_write then runs at crash time (on the crashed thread, or
// for a live report on the caller's thread): it stops the other threads,
// writes the header and every section, and lets the threads run again.
//
// crash_log_writer_write, write_crash_report_file and everything they call
// are crash-time code: no allocation, no lock, only async-signal-safe calls.
// init, set_exception and free allocate and must run outside crash time.
#include <cstddef>
#include <cstdint>

#include "crash/capture/async/AsyncError.h"
#include "crash/capture/async/AsyncFile.h"
#include "crash/capture/unwind/ThreadState.h"
#include "platform/system/Mach.h"

namespace ovcrash {

struct image_list;
struct objc_metadata_cache;

inline constexpr uint32_t CRASH_LOG_MAX_FRAMES = 512;
inline constexpr uint32_t CRASH_LOG_MAX_EXCEPTION_FRAMES = 512;
// Longest exception name and reason kept, so that the exception section
// always fits into a report file.
inline constexpr size_t CRASH_LOG_MAX_EXCEPTION_TEXT = 16 * 1024;

struct crash_log_writer {
    uint32_t symbolication_strategy;  // bit 0 symbol table, bit 1 class metadata
    bool user_requested;
    uint8_t report_uuid[16];

    struct {
        char* version;
        char* build;  // may be null
    } system_info;

    struct {
        char* model;  // may be null
        int32_t cpu_type, cpu_subtype;
        int32_t processor_count, logical_processor_count;
    } machine_info;

    struct {
        char* identifier;
        char* version;
        char* marketing_version;  // may be null
    } application_info;

    struct {
        char* process_name;  // may be null
        int32_t process_id;
        char* process_path;  // may be null
        uint64_t start_time;
        char* parent_process_name;  // may be null
        int32_t parent_process_id;
        bool native;
    } process_info;

    // Written once, by the uncaught-exception handler: claimed first, so
    // that of two exceptions at once only one writes; has_exception is
    // published last, after the rest is in place.
    struct {
        bool claimed;
        volatile bool has_exception;
        char* name;
        char* reason;
        uint64_t* call_stack;
        uint64_t call_stack_count;
    } uncaught_exception;

    // The class-metadata lookups' sections and lookaside table, kept from
    // frame to frame; allocated by init.
    objc_metadata_cache* objc_cache;
};

// The signal that ended the process, in the platform's numbering, with the
// Mach exception it came from when there was one.
struct crash_signal_info {
    struct {
        int32_t signo;
        int32_t code;
        uint64_t address;
    } bsd;
    struct mach_info {
        int32_t type;
        const uint64_t* code;
        uint32_t code_count;
    };
    const mach_info* mach;  // null on the signal path
};

// ASYNC_EINVAL when the current process's information cannot be had.
async_error crash_log_writer_init(crash_log_writer* writer, const char* app_identifier, const char* app_version,
                                  const char* app_marketing_version, uint32_t symbolication_strategy,
                                  bool user_requested);

// Records an uncaught exception (once; a second record is a programming
// error that ends the process with its assertion). Name and reason longer than CRASH_LOG_MAX_EXCEPTION_TEXT are cut at
// a character boundary; at most CRASH_LOG_MAX_EXCEPTION_FRAMES return
// addresses are kept.
void PKRovcrash_log_writer_set_exception(crash_log_writer* writer, const char* name, const char* reason,
                                         const uint64_t* call_stack, size_t call_stack_count);

// Writes the whole report into file. crashed_thread is marked crashed;
// current_state is the calling thread's registers when the calling thread
// belongs in the report (it is left out otherwise). Every thread suspended
// here is resumed before it returns, whatever the result.
async_error crash_log_writer_write(crash_log_writer* writer, platform::system::thread_t crashed_thread,
                                   image_list* images, async_file* file, const crash_signal_info* siginfo,
                                   const thread_state* current_state);

async_error crash_log_writer_close(crash_log_writer* writer);
void crash_log_writer_free(crash_log_writer* writer);

// The crash path: replaces whatever stands at `name` in the folder `folder`
// (a descriptor, or AT_FDCWD), never following a link, with a new file
// (0644), writes the report with the 256 KiB limit, flushes and closes.
// ASYNC_EINTERNAL when the file cannot be made, flushed or closed.
async_error write_crash_report_file(crash_log_writer* writer, int folder, const char* name,
                                    platform::system::thread_t crashed_thread, image_list* images,
                                    const thread_state* state, const crash_signal_info* siginfo);

}  // namespace ovcrash
