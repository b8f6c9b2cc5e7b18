// signal_crash_callback and the live-report writer are crash-time code: no
// allocation, no lock, only async-signal-safe calls (futex waits, sigaction,
// the writer). Preparation runs outside crash time.
#include "crash/capture/handler/CrashTimeContext.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "crash/capture/async/AsyncMemory.h"
#include "crash/capture/handler/CrashSignalTables.h"
#include "crash/capture/image/ImageList.h"
#include "platform/foundation/ThreadStacks.h"
#include "platform/system/MachThread.h"

namespace ovcrash {

namespace {

crash_time_context gContext;

struct callbacks_slot {
    std::atomic<bool> set{false};
    OVCrashReporterCallbacks callbacks{};
};
callbacks_slot gCallbacks;

// The thread writing a crash report, 0 while none is. Also the futex word
// that other crashing threads wait on.
std::atomic<int32_t> gWritingThread{0};
// Set while the writing thread writes for the Mach exception server.
std::atomic<bool> gMachWrite{false};

// How long a thread that crashed while another one writes waits for the
// process to end before it lets its own signal end it.
constexpr int64_t kLoserWaitSeconds = 10;

void reset_fatal_signals() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int signo : CRASH_FATAL_SIGNALS) sigaction(signo, &dfl, nullptr);
}

void wait_for_process_end() {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t left = kLoserWaitSeconds - (now.tv_sec - start.tv_sec);
        int32_t writer = gWritingThread.load();
        if (left <= 0 || writer == 0) return;
        timespec wait{time_t(left), 0};
        syscall(SYS_futex, reinterpret_cast<int32_t*>(&gWritingThread), FUTEX_WAIT_PRIVATE, writer, &wait, nullptr, 0);
    }
}

struct live_report {
    crash_log_writer* writer;
    image_list* images;
    async_file* file;
    const crash_signal_info* siginfo;
};

async_error write_live_current(thread_state* state, void* context) {
    auto* live = static_cast<live_report*>(context);
    return crash_log_writer_write(live->writer, async_thread_self(), live->images, live->file, live->siginfo, state);
}

}  // namespace

crash_time_context* crash_reporter_context() { return &gContext; }

crash_time_hold::crash_time_hold(crash_time_context* context, bool armed_only) : context_(context) {
    if (!context_) return;
    // Counted before the record is looked at: a preparation that then finds
    // no holder knows no handler can reach the record it replaced.
    context_->holders.fetch_add(1);
    if (!armed_only || context_->armed.load()) record_ = context_->record.load();
}

crash_time_hold::~crash_time_hold() {
    if (context_) context_->holders.fetch_sub(1);
}

async_error crash_reporter_prepare(int report_folder, const char* report_name, const char* app_identifier,
                                   const char* app_version, const char* app_marketing_version,
                                   uint32_t symbolication_strategy, image_list* images) {
    // Room for the images the loader has not heard of when the crash comes.
    if (images) image_list_prepare_crash_time(images, kImageListCrashTimeImages);
    auto* record = new crash_time_record{};
    record->report_folder = report_folder;
    record->report_name = strdup(report_name);
    record->images = images;
    async_error result = crash_log_writer_init(&record->writer, app_identifier, app_version, app_marketing_version,
                                               symbolication_strategy, false);
    crash_time_record* replaced = gContext.record.exchange(record);
    if (gContext.holders.load() != 0) {
        record->replaced = replaced;
        return result;
    }
    while (replaced) {
        crash_time_record* older = replaced->replaced;
        crash_log_writer_free(&replaced->writer);
        free(replaced->report_name);
        if (replaced->report_folder >= 0) close(replaced->report_folder);
        delete replaced;
        replaced = older;
    }
    return result;
}

bool crash_reporter_install_signal_handlers(signal_handler_failure* failure) {
    PKROVCrashSignalHandler* handler = PKROVCrashSignalHandler::sharedHandler();
    if (!handler) {
        if (failure) *failure = {"Could not initialize alternative signal stack", ENOMEM};
        return false;
    }
    // Threads are stopped by a signal of their own at crash time: its
    // handler must be in place before.
    platform::system::thread_control_prepare();
    for (int signo : CRASH_FATAL_SIGNALS)
        if (!handler->registerHandlerForSignal(signo, signal_crash_callback, &gContext, failure)) return false;
    // Crash-time walks read inside a noted stack without the kernel's checks;
    // noting the calling thread notes the main stack too when it is the main thread.
    if (gettid() != getpid()) platform::foundation::thread_stack_note_main();
    platform::foundation::thread_stack_note_current();
    gContext.armed.store(true);
    return true;
}

void crash_reporter_set_callbacks(const OVCrashReporterCallbacks* callbacks) {
    gCallbacks.set.store(false);
    if (!callbacks) return;
    gCallbacks.callbacks = *callbacks;
    gCallbacks.set.store(true);
}

const OVCrashReporterCallbacks* crash_reporter_callbacks() {
    return gCallbacks.set.load() ? &gCallbacks.callbacks : nullptr;
}

bool crash_reporter_claim_mach_write() {
    int32_t expected = 0;
    if (!gWritingThread.compare_exchange_strong(expected, static_cast<int32_t>(async_thread_self()))) return false;
    gMachWrite.store(true);
    return true;
}

void crash_reporter_reset_fatal_signals() { reset_fatal_signals(); }

bool signal_crash_callback(int, siginfo_t* info, ucontext_t* uap, void* context, const signal_handler_next*) {
    // Registered by an enable that then failed: this process reports nothing.
    crash_time_hold hold(static_cast<crash_time_context*>(context), true);
    crash_time_record* record = hold.record();
    if (!record) return false;

    auto self = static_cast<int32_t>(async_thread_self());
    int32_t expected = 0;
    // The Mach server's thread crashed inside its write: the server can never
    // answer that, so this signal writes the report instead.
    bool mach_writer_crashed = gWritingThread.load() == self && gMachWrite.exchange(false);
    if (!mach_writer_crashed && !gWritingThread.compare_exchange_strong(expected, self)) {
        // Another thread writes (wait for the end it brings), or this thread
        // faulted inside its own write (let the signal end the process).
        if (expected != self) {
            // The report shows this thread where it faulted, not waiting here.
            bool noted = platform::system::thread_note_fault_context(&uap->uc_mcontext);
            wait_for_process_end();
            if (noted) platform::system::thread_clear_fault_context();
        }
        return false;
    }

    thread_state state;
    thread_state_init_from_mcontext(&state, &uap->uc_mcontext);
    crash_signal_info siginfo{};
    signal_info_from_linux(info, &siginfo.bsd.signo, &siginfo.bsd.code, &siginfo.bsd.address);
    siginfo.mach = nullptr;
    async_error result = write_crash_report_file(&record->writer, record->report_folder, record->report_name,
                                                 async_thread_self(),
                                                 record->images, &state, &siginfo);

    // Only now: a thread crashing while the report was written had to reach
    // this handler and wait, not end the process half-way through the file.
    reset_fatal_signals();
    if (result == ASYNC_ESUCCESS && gCallbacks.set.load() && gCallbacks.callbacks.handleSignal)
        gCallbacks.callbacks.handleSignal(info, uap, gCallbacks.callbacks.context);
    return false;
}

async_error crash_reporter_write_live_report(int fd, platform::system::thread_t thread, uint64_t address,
                                             const char* app_identifier, const char* app_version,
                                             const char* app_marketing_version, uint32_t symbolication_strategy,
                                             image_list* images) {
    crash_log_writer writer;
    crash_log_writer_init(&writer, app_identifier, app_version, app_marketing_version, symbolication_strategy, true);
    async_file file;
    async_file_init(&file, fd, ASYNC_FILE_REPORT_LIMIT);
    crash_signal_info siginfo{};
    siginfo.bsd = {PLATFORM_SIGTRAP, PLATFORM_TRAP_TRACE, address};
    siginfo.mach = nullptr;
    async_error result;
    if (thread == async_thread_self()) {
        live_report live{&writer, images, &file, &siginfo};
        result = thread_state_current_capture(write_live_current, &live);
    } else {
        result = crash_log_writer_write(&writer, thread, images, &file, &siginfo, nullptr);
    }
    crash_log_writer_close(&writer);
    if (!async_file_close(&file) && result == ASYNC_ESUCCESS) result = ASYNC_EOUTPUT;
    crash_log_writer_free(&writer);
    return result;
}

}  // namespace ovcrash
