#pragma once
// The crash reporter's public face. The crash manager makes one with a
// configuration, asks whether the previous run left a report, loads and
// purges it, installs a post-crash callback and enables the reporter: that
// prepares the crash-time writer record, installs the fatal-signal handlers
// (and, in Mach mode, the Mach exception server) and hooks uncaught platform
// exceptions. Live reports of a running thread
// come from here too. Report files live in the Caches folder under
// "com.ovellalabs.crashreporter.data/<application identifier>".
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/capture/PKROVCrashReporterConfig.h"
#include "crash/capture/handler/CrashTimeContext.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Error.h"
#include "platform/system/Mach.h"

// The name of the exception raised for programming errors.
inline constexpr const char* OVCrashReporterException = "OVCrashReporterException";

class PKROVCrashMachExceptionServer;
class PKROVCrashMachExceptionPortSet;

class PKROVCrashReporter {
public:
    // Starts the shared image list and its loader callbacks, once per process.
    static void initialize();
    static std::shared_ptr<PKROVCrashReporter> sharedReporter();

    PKROVCrashReporter();
    explicit PKROVCrashReporter(std::shared_ptr<PKROVCrashReporterConfig> configuration);
    // Identifier from the bundle (else the process name, with a warning),
    // version from "CFBundleVersion" (else "", with a warning), marketing
    // version from "CFBundleShortVersionString".
    PKROVCrashReporter(const platform::foundation::Bundle& bundle,
                       std::shared_ptr<PKROVCrashReporterConfig> configuration);
    PKROVCrashReporter(std::string applicationIdentifier, std::string applicationVersion,
                       std::optional<std::string> applicationMarketingVersion,
                       std::shared_ptr<PKROVCrashReporterConfig> configuration);

    // The largest report file read back. The writer stops at 256 KiB (at
    // most 512 frames a thread, then fewer frames and threads until the
    // report fits); four times that leaves room for a writer of another
    // release given more, while a file of megabytes made by none is refused.
    static constexpr uint64_t kMaxReportFileSize = 1 << 20;

    bool hasPendingCrashReport() const;
    // Reads only a regular file of at most kMaxReportFileSize bytes.
    std::optional<std::vector<uint8_t>> loadPendingCrashReportData(platform::foundation::Error* error = nullptr) const;
    bool purgePendingCrashReport(platform::foundation::Error* error = nullptr) const;

    // Once per process: the first attempt, failed or not, is the only one;
    // every later one, of any reporter, fails with code 3. A failed enable
    // leaves this reporter not enabled.
    bool enableCrashReporter(platform::foundation::Error* error = nullptr);
    // Only before enabling; version must be 0.
    void setCrashCallbacks(const OVCrashReporterCallbacks* callbacks);

    // The bytes of a report of the calling thread, or of `thread`, written
    // with user requested = true; nullopt with an error on failure. One
    // report at a time in the process: a call waits for one under way on
    // another thread, and fails at once with code 3 on the thread writing
    // one (a signal handler's call).
    std::optional<std::vector<uint8_t>> generateLiveReport(platform::foundation::Error* error = nullptr);
    std::optional<std::vector<uint8_t>> generateLiveReportWithThread(platform::system::thread_t thread,
                                                                     platform::foundation::Error* error = nullptr);

    const PKROVCrashReporterConfig& configuration() const { return *config_; }
    bool isEnabled() const { return enabled_; }
    const std::string& crashReportDirectory() const { return crashReportDirectory_; }
    std::string queuedCrashReportDirectory() const;
    std::string crashReportPath() const;

    static uint32_t mapToAsyncSymbolicationStrategy(uint64_t strategy) { return uint32_t(strategy & 3); }

private:
    bool populateCrashReportDirectory(platform::foundation::Error* error) const;
    bool enableMachMode(platform::foundation::Error* error);
    std::optional<std::vector<uint8_t>> liveReport(platform::system::thread_t thread, uint64_t address,
                                                   platform::foundation::Error* error);

    std::shared_ptr<PKROVCrashReporterConfig> config_;
    bool enabled_ = false;
    std::shared_ptr<PKROVCrashMachExceptionServer> machServer_;
    std::shared_ptr<PKROVCrashMachExceptionPortSet> previousMachPorts_;
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
    std::string crashReportDirectory_;
};
