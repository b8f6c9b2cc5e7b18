#include "crash/capture/PKROVCrashReporter.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

#include "crash/capture/async/AsyncFile.h"
#include "crash/capture/handler/PKROVCrashMachExceptionServer.h"
#include "crash/capture/image/ImageList.h"
#include "crash/capture/info/PKROVCrashProcessInfo.h"
#include "crash/capture/info/ReporterError.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Sandbox.h"
#include "platform/system/MachThread.h"

using platform::foundation::Error;
using platform::foundation::Exception;
using platform::foundation::FileManager;

namespace {

constexpr const char* kDataFolder = "com.ovellalabs.crashreporter.data";
constexpr const char* kReportFile = "live_report.ovcrash";
constexpr const char* kQueuedFolder = "queued_reports";

std::mutex gEnableLock;
bool gProcessEnabled = false;  // guarded by gEnableLock; set by the first enable attempt

// Live reports are written one at a time, whichever reporter asks: two
// writers at once would each stop the other's thread and wait for it. A
// crash never takes this turn; it stops a live writer like any thread.
// The word holds the writing thread's id (and is the futex word waiters
// sleep on): a thread asked again while it writes one (from a signal
// handler) finds itself there, and a forked child finds a thread it does
// not have. Neither waits.
std::atomic<int32_t> gLiveReportWriter{0};

int32_t* liveReportWord() { return reinterpret_cast<int32_t*>(&gLiveReportWriter); }

// Waits for the live report's turn; false when the calling thread has it.
bool takeLiveReportTurn() {
    const auto self = static_cast<int32_t>(platform::system::mach_thread_self());
    for (;;) {
        int32_t writer = 0;
        if (gLiveReportWriter.compare_exchange_strong(writer, self)) return true;
        if (writer == self) return false;
        if (!platform::system::thread_is_ours(static_cast<platform::system::thread_t>(writer))) {
            if (gLiveReportWriter.compare_exchange_strong(writer, self)) return true;
            continue;
        }
        // Looked at again now and then, whoever wakes it.
        timespec wait{0, 100'000'000};
        syscall(SYS_futex, liveReportWord(), FUTEX_WAIT_PRIVATE, writer, &wait, nullptr, 0);
    }
}

void giveLiveReportTurn() {
    gLiveReportWriter.store(0);
    syscall(SYS_futex, liveReportWord(), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void setError(Error* error, OVCrashReporterError code, const std::string& description) {
    ovcrash::reporter_error_populate(error, code, description, nullptr);
}

void warn(const std::string& message) { platform::foundation::log(OVCrashReporterWarningPrefix + message); }

std::string processName() {
    auto self = PKROVCrashProcessInfo::currentProcessInfo();
    return self ? self->processName() : "";
}

// Records the exception where the crash handler finds it, then ends the
// process through SIGABRT, whose report then carries the exception.
[[noreturn]] void uncaught_exception_handler(const Exception& exception) {
    const auto& stack = exception.callStackReturnAddresses();
    std::vector<uint64_t> frames(stack.begin(), stack.end());
    // Held until the process ends: the abort below never returns.
    ovcrash::crash_time_hold hold(ovcrash::crash_reporter_context(), false);
    if (ovcrash::crash_time_record* record = hold.record())
        ovcrash::PKRovcrash_log_writer_set_exception(&record->writer, exception.name().c_str(),
                                                     exception.reason().c_str(), frames.data(), frames.size());
    abort();
}

// The report's path is never followed: a link standing there (planted to
// have a crash write, or the next launch read, somewhere else) goes.
// Taken away before it is judged: a report that took the link's place by
// then stays where it is.
void removeLinkAt(const std::string& path) {
    if (const auto entry = FileManager::entryAttributes(path); !entry || !S_ISLNK(entry->type)) return;
    Error error;
    const auto taken = FileManager::takeAway(path, [](unsigned mode) { return S_ISLNK(mode); }, &error);
    if (taken && !taken->mode) return;
    if (taken && FileManager::remove(taken->aside, &error))
        warn("a link stood at " + path + "; it was removed, not followed");
    else
        warn("a link stands at " + path + " and could not be removed: " + error.localizedDescription());
}

}  // namespace

void PKROVCrashReporter::initialize() { ovcrash::shared_image_list_start(); }

std::shared_ptr<PKROVCrashReporter> PKROVCrashReporter::sharedReporter() {
    static std::mutex lock;
    static std::shared_ptr<PKROVCrashReporter> shared;
    std::lock_guard guard(lock);
    if (!shared) shared = std::make_shared<PKROVCrashReporter>();
    return shared;
}

PKROVCrashReporter::PKROVCrashReporter() : PKROVCrashReporter(PKROVCrashReporterConfig::defaultConfiguration()) {}

PKROVCrashReporter::PKROVCrashReporter(std::shared_ptr<PKROVCrashReporterConfig> configuration)
    : PKROVCrashReporter(platform::foundation::Bundle::main(), std::move(configuration)) {}

PKROVCrashReporter::PKROVCrashReporter(const platform::foundation::Bundle& bundle,
                                       std::shared_ptr<PKROVCrashReporterConfig> configuration) {
    std::string identifier = bundle.bundleIdentifier();
    if (identifier.empty()) {
        identifier = processName();
        if (identifier.empty())
            Exception::raise(OVCrashReporterException, "Can not determine process identifier or process name");
        warn("bundle identifier, using process name " + identifier);
    }
    std::string version;
    auto v = bundle.objectForInfoDictionaryKey("CFBundleVersion");
    if (v.isString()) {
        version = v.string();
    } else {
        warn("bundle version unavailable");
    }
    std::optional<std::string> marketing;
    auto m = bundle.objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (m.isString()) marketing = m.string();
    *this = PKROVCrashReporter(identifier, version, marketing, std::move(configuration));
}

PKROVCrashReporter::PKROVCrashReporter(std::string applicationIdentifier, std::string applicationVersion,
                                       std::optional<std::string> applicationMarketingVersion,
                                       std::shared_ptr<PKROVCrashReporterConfig> configuration)
    : config_(configuration ? std::move(configuration) : PKROVCrashReporterConfig::defaultConfiguration()),
      applicationIdentifier_(std::move(applicationIdentifier)), applicationVersion_(std::move(applicationVersion)),
      applicationMarketingVersion_(std::move(applicationMarketingVersion)) {
    initialize();
    std::string folder = applicationIdentifier_;
    for (char& c : folder)
        if (c == '/') c = '_';
    crashReportDirectory_ =
        FileManager::joinPath(FileManager::joinPath(platform::foundation::Sandbox::caches(), kDataFolder), folder);
}

std::string PKROVCrashReporter::queuedCrashReportDirectory() const {
    return FileManager::joinPath(crashReportDirectory_, kQueuedFolder);
}

std::string PKROVCrashReporter::crashReportPath() const {
    return FileManager::joinPath(crashReportDirectory_, kReportFile);
}

bool PKROVCrashReporter::hasPendingCrashReport() const {
    // A linked folder is set aside before anything is looked for through it.
    if (!populateCrashReportDirectory(nullptr)) return false;
    removeLinkAt(crashReportPath());
    return FileManager::exists(crashReportPath());
}

std::optional<std::vector<uint8_t>> PKROVCrashReporter::loadPendingCrashReportData(Error* error) const {
    static_assert(kMaxReportFileSize >= ovcrash::ASYNC_FILE_REPORT_LIMIT);
    if (!FileManager::giveOwnCopy(crashReportPath(), error, kMaxReportFileSize)) return std::nullopt;
    auto bytes = FileManager::readFile(crashReportPath(), error, kMaxReportFileSize);
    if (!bytes) return std::nullopt;
    return std::vector<uint8_t>(bytes->begin(), bytes->end());
}

bool PKROVCrashReporter::purgePendingCrashReport(Error* error) const {
    return FileManager::remove(crashReportPath(), error);
}

// The reporter's folders are real folders of the sandbox: a link (or a file)
// where one belongs is set aside with a line and a folder made, so that no
// report is read, moved or written outside.
bool PKROVCrashReporter::populateCrashReportDirectory(Error* error) const {
    const std::string data = FileManager::deletingLastPathComponent(crashReportDirectory_);
    for (const std::string& folder : {data, crashReportDirectory_, queuedCrashReportDirectory()})
        if (!FileManager::makeRealDirectory(folder, 0755, error)) return false;
    return true;
}

void PKROVCrashReporter::setCrashCallbacks(const OVCrashReporterCallbacks* callbacks) {
    if (enabled_) Exception::raise(OVCrashReporterException, "The crash reporter has alread been enabled");
    if (callbacks && callbacks->version != 0)
        Exception::raise(OVCrashReporterException,
                         "Unsupported crash callbacks version " + std::to_string(callbacks->version));
    ovcrash::crash_reporter_set_callbacks(callbacks);
}

bool PKROVCrashReporter::enableCrashReporter(Error* error) {
    // The first attempt takes the process-wide flag, whatever its outcome:
    // handlers a failed attempt installed stay, and no second one joins them.
    {
        std::lock_guard lock(gEnableLock);
        if (gProcessEnabled) {
            setError(error, OVCrashReporterErrorResourceBusy, "A OVCrashReporter instance has already been enabled");
            return false;
        }
        gProcessEnabled = true;
    }
    if (enabled_) Exception::raise(OVCrashReporterException, "The crash reporter has alread been enabled");
    if (!populateCrashReportDirectory(error)) return false;
    removeLinkAt(crashReportPath());
    // Held from now on: the crash makes the report from it, whatever the folder's path leads to by then.
    const int folder = FileManager::openFile(crashReportDirectory_, O_PATH | O_DIRECTORY);
    if (folder < 0) {
        ovcrash::reporter_error_populate_posix(error, errno, "Could not open the crash report folder");
        return false;
    }
    ovcrash::crash_reporter_prepare(
        folder, kReportFile, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
        applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
        mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), ovcrash::shared_image_list());
    switch (config_->signalHandlerType()) {
    case PKROVCrashReporterConfig::kSignalHandlerTypeBSD: {
        ovcrash::signal_handler_failure failure;
        if (!ovcrash::crash_reporter_install_signal_handlers(&failure)) {
            ovcrash::reporter_error_populate_posix(error, failure.posix_error,
                                                   failure.description ? failure.description : "");
            return false;
        }
        break;
    }
    case PKROVCrashReporterConfig::kSignalHandlerTypeMach:
        if (!enableMachMode(error)) return false;
        break;
    default: break;
    }
    platform::foundation::setUncaughtExceptionHandler(uncaught_exception_handler);
    enabled_ = true;
    return true;
}

// SIGABRT goes through the signal handler, every fault through the Mach
// server, which writes the report from its own thread. The other fatal
// signals get the signal handler too: a crash of the server thread itself,
// which no server can answer, is reported through it.
bool PKROVCrashReporter::enableMachMode(Error* error) {
    ovcrash::signal_handler_failure failure;
    if (!ovcrash::crash_reporter_install_signal_handlers(&failure)) {
        ovcrash::reporter_error_populate_posix(error, failure.posix_error,
                                               failure.description ? failure.description : "");
        return false;
    }
    std::shared_ptr<PKROVCrashMachExceptionPortSet> previous;
    auto server = PKROVCrashEnableMachExceptionServer(&previous, ovcrash::mach_exception_crash_callback,
                                                      ovcrash::crash_reporter_context(), error);
    if (!server) {
        ovcrash::crash_reporter_context()->armed.store(false);
        return false;
    }
    if (previous) {
        ovcrash::mach_exception_port_set ports = previous->asyncSafeRepresentation();
        ovcrash::mach_exception_set_previous_ports(&ports);
    }
    // Kept for the life of the process, as the crash-time context refers to them.
    static std::shared_ptr<PKROVCrashMachExceptionServer> keptServer;
    static std::shared_ptr<PKROVCrashMachExceptionPortSet> keptPrevious;
    keptServer = server;
    keptPrevious = previous;
    machServer_ = std::move(server);
    previousMachPorts_ = std::move(previous);
    return true;
}

std::optional<std::vector<uint8_t>> PKROVCrashReporter::generateLiveReport(Error* error) {
    return liveReport(platform::system::mach_thread_self(), uint64_t(__builtin_return_address(0)), error);
}

std::optional<std::vector<uint8_t>> PKROVCrashReporter::generateLiveReportWithThread(platform::system::thread_t thread,
                                                                                     Error* error) {
    return liveReport(thread, uint64_t(__builtin_return_address(0)), error);
}

std::optional<std::vector<uint8_t>> PKROVCrashReporter::liveReport(platform::system::thread_t thread, uint64_t address,
                                                                   Error* error) {
    // Asked for again on the thread that writes one (a signal handler's
    // call): waiting would be waiting on itself.
    if (!takeLiveReportTurn()) {
        setError(error, OVCrashReporterErrorResourceBusy,
                 "A live crash report is already being written on this thread");
        return std::nullopt;
    }
    std::string path = FileManager::joinPath(platform::foundation::Sandbox::tmp(), "live_crash_report.XXXXXX");
    int fd = FileManager::makeUniqueFile(path);
    if (fd < 0) {
        const int failure = errno;
        giveLiveReportTurn();
        ovcrash::reporter_error_populate_posix(error, failure, "Failed to create temporary path");
        return std::nullopt;
    }
    const ovcrash::async_error result = ovcrash::crash_reporter_write_live_report(
        fd, thread, address, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
        applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
        mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), ovcrash::shared_image_list());
    giveLiveReportTurn();
    std::optional<std::vector<uint8_t>> data;
    if (result != ovcrash::ASYNC_ESUCCESS) {
        warn(std::string("Write failed with error ") + ovcrash::async_error_string(result));
        setError(error, OVCrashReporterErrorUnknown, "Failed to write the crash report to disk");
    } else if (auto bytes = FileManager::readFile(path)) {
        data.emplace(bytes->begin(), bytes->end());
    } else {
        setError(error, OVCrashReporterErrorUnknown, "Unable to open live crash report for reading");
    }
    if (Error removeError; !FileManager::remove(path, &removeError))
        warn("Failure occured deleting live crash report: " + removeError.localizedDescription());
    return data;
}
