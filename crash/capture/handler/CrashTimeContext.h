#pragma once
// What the crash reporter's crash-time callbacks read, and the callbacks
// themselves: the process-wide writer record and report path prepared when
// the reporter is enabled, the post-crash callback, the signal callback that
// turns a fatal signal into a report file, and the writer of live reports.
// Kept apart from PKROVCrashReporter (which needs the platform's objects) so
// that the crash path builds on its own for every architecture.
//
// signal_crash_callback and what it calls are crash-time code: no
// allocation, no lock, only async-signal-safe calls. The preparation
// functions run outside crash time.
#include <atomic>
#include <csignal>
#include <cstdint>

#include "crash/capture/async/AsyncError.h"
#include "crash/capture/handler/CrashLogWriter.h"
#include "crash/capture/handler/PKROVCrashSignalHandler.h"
#include "platform/system/Mach.h"

// Handed to setCrashCallbacks: called after a crash report was written.
struct OVCrashReporterCallbacks {
    uint16_t version;  // must be 0
    void* context;
    void (*handleSignal)(siginfo_t* info, ucontext_t* uap, void* context);
};

namespace ovcrash {

// The signals the reporter catches in signal mode, in registration order.
inline constexpr int CRASH_FATAL_SIGNALS[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

// What the crash handlers read: filled before it is published and never
// changed afterwards; freed only once replaced while no handler holds one.
struct crash_time_record {
    crash_log_writer writer;
    int report_folder;  // the report's folder, opened when prepared (or AT_FDCWD)
    char* report_name;  // the report's name in it
    image_list* images;           // the shared image list
    crash_time_record* replaced;  // replaced while a handler held it: kept
};

struct crash_time_context {
    std::atomic<crash_time_record*> record{nullptr};
    std::atomic<bool> armed{false};
    std::atomic<int32_t> holders{0};
};

// The one context of the process.
crash_time_context* crash_reporter_context();

// A handler's hold on the context's record for as long as it runs: no record
// is freed while one is held. record() is null when there is none, or when
// armed_only and the context is not armed.
class crash_time_hold {
public:
    crash_time_hold(crash_time_context* context, bool armed_only);
    ~crash_time_hold();
    crash_time_hold(const crash_time_hold&) = delete;
    crash_time_hold& operator=(const crash_time_hold&) = delete;
    crash_time_record* record() const { return record_; }

private:
    crash_time_context* context_;
    crash_time_record* record_ = nullptr;
};

// Prepares a writer record, report file and image list and publishes them in
// place of the last ones, which stay while a handler holds them; the
// context's arming is left as it is. The report is `report_name` in the
// folder `report_folder`, a descriptor the record now owns (or AT_FDCWD): at
// the crash it is made from that descriptor, whatever the folder's path
// leads to by then. Returns the writer's preparation result.
async_error crash_reporter_prepare(int report_folder, const char* report_name, const char* app_identifier,
                                   const char* app_version,
                                   const char* app_marketing_version, uint32_t symbolication_strategy,
                                   image_list* images);

// Registers signal_crash_callback for the six fatal signals and arms the
// context; false with the reason when a registration fails (the context then
// stays disarmed, so the signals already registered write nothing).
bool crash_reporter_install_signal_handlers(signal_handler_failure* failure);

// Copies the post-crash callback; null clears it.
void crash_reporter_set_callbacks(const OVCrashReporterCallbacks* callbacks);
// The post-crash callback, or null when none is set.
const OVCrashReporterCallbacks* crash_reporter_callbacks();

// Claims the report for the Mach exception server's thread; false when
// another thread writes one already. Should the server thread crash while it
// writes, its own signal then writes the report (no server answers it).
bool crash_reporter_claim_mach_write();
// Gives the fatal signals their default action, so that the next one ends
// the process.
void crash_reporter_reset_fatal_signals();

// Turns a fatal signal into a report file. The first crashing thread writes;
// any other thread that crashes meanwhile waits (bounded) for the process to
// end. Afterwards the fatal signals get their default action and the signal
// is reported not handled, so that it ends the process.
bool signal_crash_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context, const signal_handler_next* next);

// Writes a live report of `thread` (SIGTRAP / TRAP_TRACE at `address`) into
// fd with the report limit, with a writer record of its own, and closes fd.
// For the calling thread its registers are captured at the call.
// ASYNC_EOUTPUT when the file could not take the whole report.
async_error crash_reporter_write_live_report(int fd, platform::system::thread_t thread, uint64_t address,
                                             const char* app_identifier, const char* app_version,
                                             const char* app_marketing_version, uint32_t symbolication_strategy,
                                             image_list* images);

}  // namespace ovcrash
