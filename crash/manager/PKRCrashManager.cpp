// Crash-time code here: crash_callback_forward runs inside the crash
// reporter's signal handler, after the report is written; it allocates
// nothing, takes no lock and only calls the application's callback through
// the record copied before the crash. cxx_uncaught_exception_wrap runs in the
// terminate handler (not a signal handler), where the process is still sound.
#include "crash/manager/PKRCrashManager.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "crash/capture/report/PKROVCrashReport.h"
#include "crash/manager/PKRCrashReportTextFormatter.h"
#include "crash/manager/PKRCrashUncaughtCXXExceptionHandlerManager.h"
#include "crash/manager/PKRLog.h"
#include "crash/manager/PKRPelkorHelpers.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/system/Sysctl.h"
#include "platform/ui/Application.h"
#include "platform/ui/Device.h"
#include "platform/ui/NotificationNames.h"

namespace pf = platform::foundation;
namespace ui = platform::ui;
namespace net = platform::net;
using pf::FileManager;
using pf::Value;

namespace {

constexpr const char* kStatusKey = "PKRCrashManagerStatus";
constexpr const char* kAutoSendKey = "PKRCrashAutomaticallySendReports";
constexpr const char* kWentIntoBackgroundSafelyKey = "PKRAppWentIntoBackgroundSafely";
constexpr const char* kLowMemoryKey = "PKRAppDidReceiveLowMemoryNotification";
constexpr const char* kAppMarketingVersionKey = "PKRAppMarketingVersion";
constexpr const char* kAppVersionKey = "PKRAppVersion";
constexpr const char* kAppOSVersionKey = "PKRAppOSVersion";
constexpr const char* kAppOSBuildKey = "PKRAppOSBuild";
constexpr const char* kAppUUIDsKey = "PKRAppUUIDs";
constexpr uint64_t kMaxMarkerSize = 64;  // a count

// The application's post-crash callback, forwarded from the reporter's.
PKRCrashManagerCallbacks gForward = {nullptr, nullptr};

// Crash time: reads the forwarding record only.
void crash_callback_forward(siginfo_t*, ucontext_t*, void*) {
    if (gForward.handleSignal) gForward.handleSignal(gForward.context);
}

OVCrashReporterCallbacks gReporterCallbacks = {0, nullptr, crash_callback_forward};

// Runs when an uncaught C++ exception ends the process.
void cxx_uncaught_exception_wrap(const PKRCrashUncaughtCXXExceptionInfo* info) {
    if (pf::UncaughtExceptionHandler handler = pf::getUncaughtExceptionHandler()) {
        PKRCrashCXXExceptionWrapperException exception(info);
        handler(exception);
    }
    abort();
}

// Fills the one "%@" of a translated format with `argument` (no printf on a
// translation).
std::string fillFormat(const std::string& format, const std::string& argument) {
    size_t p = format.find("%@");
    return p == std::string::npos ? format : format.substr(0, p) + argument + format.substr(p + 2);
}

}  // namespace

PKRCrashManager::PKRCrashManager(OptionalString appIdentifier, int64_t appEnvironment)
    : PKRPelkorBaseManager(std::move(appIdentifier), appEnvironment), files_(settings_dir(), *this),
      uploader_(*this, files_) {
    auto& defaults = pf::UserDefaults::standard();
    if (!defaults.objectForKey(kStatusKey).isNull()) {
        status_ = uint64_t(defaults.integerForKey(kStatusKey));
    } else {
        status_ = kAlwaysAsk;
        if (defaults.boolForKey(kAutoSendKey)) {
            status_ = kAutoSend;
            defaults.removeObject(kAutoSendKey);
        }
        defaults.setInteger(kStatusKey, int64_t(status_));
    }
    // The analyser marker stays: one found at start says how many handlings
    // of the pending report ended the process (handleCrashReport counts them).
    analyzerInProgressFile_ = files_.path("PKRCrashManager.analyzer");
    if (!sdk_resource_bundle() && !is_running_in_app_extension())
        PKRLog::plain(
            pf::format("WARNING: %s is missing, will send reports automatically!", kPKRSDKResourceBundleName));
}

PKRCrashManager::~PKRCrashManager() {
    unregisterObservers();
    pf::RunLoop::main().cancelPerforms(this);
    // The alert outlives its delegate while it is open: its answer goes nowhere.
    if (alert_) alert_->setDelegate(nullptr);
}

void PKRCrashManager::setCrashManagerStatus(uint64_t status) {
    status_ = status;
    pf::UserDefaults::standard().setInteger(kStatusKey, int64_t(status));
}

void PKRCrashManager::setCrashCallbacks(const PKRCrashManagerCallbacks* callbacks) {
    if (!callbacks) return;
    gForward = *callbacks;
    gReporterCallbacks.context = callbacks->context;
    crashCallBacks_ = &gReporterCallbacks;
}

void PKRCrashManager::startManager() {
    if (status_ == kDisabled) return;
    registerObservers();
    files_.loadSettings();
    if (!isSetup_) {
        static std::once_flag once;
        std::call_once(once, [this] { setUpReporter(); });
        isSetup_ = true;
    }
    auto& defaults = pf::UserDefaults::standard();
    if (Value v = defaults.objectForKey(kLowMemoryKey); !v.isNull())
        didReceiveMemoryWarningInLastSession_ = v.boolValue();
    if (!didCrashInLastSession_ && enableAppNotTerminatingCleanlyDetection_) {
        Value safely = defaults.objectForKey(kWentIntoBackgroundSafelyKey);
        if (!safely.isNull() && !safely.boolValue()) {
            std::optional<bool> consider =
                delegate_ ? delegate_->considerAppNotTerminatedCleanlyReportForCrashManager(*this) : std::nullopt;
            if (!consider || *consider) {
                createCrashReportForAppKill();
                didCrashInLastSession_ = true;
            }
        }
    }
    if (ui::Application::shared().applicationState() == ui::ApplicationState::Active) appEnteredForeground();
    defaults.setBool(kLowMemoryKey, false);
    defaults.synchronize();
    triggerDelayedProcessing();
}

void PKRCrashManager::setUpReporter() {
    constexpr const char* kMethod = "__31-[PKRCrashManager startManager]_block_invoke";
    auto config = std::make_shared<PKROVCrashReporterConfig>(
        enableMachExceptionHandler_ ? PKROVCrashReporterConfig::kSignalHandlerTypeMach
                                    : PKROVCrashReporterConfig::kSignalHandlerTypeBSD,
        enableOnDeviceSymbolication_ ? 3 : PKROVCrashReporterConfig::kSymbolicationStrategyNone);
    reporter_ = std::make_shared<PKROVCrashReporter>(config);
    if (reporter_->hasPendingCrashReport()) {
        didCrashInLastSession_ = true;
        handleCrashReport();
    } else if (FileManager::exists(analyzerInProgressFile_)) {
        // Left by a handling whose report is gone: it guards nothing.
        FileManager::remove(analyzerInProgressFile_);
    }
    if (appEnvironment() != kPKREnvironmentAppStore && isDebuggerAttached()) {
        PKRLog::plain("WARNING: Detecting crashes is NOT enabled due to running the app with a debugger attached.");
        return;
    }
    const pf::UncaughtExceptionHandler before = pf::getUncaughtExceptionHandler();
    if (crashCallBacks_) reporter_->setCrashCallbacks(crashCallBacks_);
    pf::Error error;
    const bool enabled = reporter_->enableCrashReporter(&error);
    if (!enabled) PKRLog::plain("WARNING: Could not enable crash reporter: " + error.localizedDescription());
    const pf::UncaughtExceptionHandler after = pf::getUncaughtExceptionHandler();
    if (after && after != before) {
        exceptionHandler_ = after;
        PKR_LOG_INFO(kMethod, "Exception handler successfully initialized.");
    } else if (enabled) {
        // A reporter that could not be enabled set no handler, and its line says why already.
        PKRLog::plain(
            "ERROR: Exception handler could not be set. Make sure there is no other exception handler set up!");
    }
    PKRCrashUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(cxx_uncaught_exception_wrap);
}

// The analyser marker counts the launches that began handling the pending
// report: one that finds a count of two knows two handlings of this report
// ended the process before their end, and sets it aside. A single count is
// taken for a kill and the report is handled again.
int PKRCrashManager::interruptedHandlings() const {
    pf::Error error;
    std::optional<std::string> text = FileManager::readFile(analyzerInProgressFile_, &error, kMaxMarkerSize);
    if (!text) return FileManager::readFailure(error) == pf::ReadFailure::kMissing ? 0 : 1;
    const int count = std::atoi(text->c_str());
    return count > 0 ? count : 1;  // an empty marker is an older release's, from one handling
}

void PKRCrashManager::handleCrashReport() {
    constexpr const char* kMethod = "-[PKRCrashManager handleCrashReport]";
    if (!reporter_) return;
    const int interrupted = interruptedHandlings();
    if (interrupted >= 2) {
        // Handling this report ended the process twice: never read it again.
        const std::string aside = FileManager::moveAside(reporter_->crashReportPath());
        PKRLog::plain("WARNING: The last crash report could not be processed; it was set aside" +
                      (aside.empty() ? std::string(".") : " as " + aside));
        FileManager::remove(analyzerInProgressFile_);
        return;
    }
    FileManager::writeFileAtomically(analyzerInProgressFile_, std::to_string(interrupted + 1), nullptr,
                                     pf::Sandbox::kPrivateFileMode);
    files_.saveSettings();

    pf::Error error;
    std::optional<std::vector<uint8_t>> bytes = reporter_->loadPendingCrashReportData(&error);
    OptionalString& name = files_.lastCrashFilename();
    name = files_.newCrashFilename();
    bool purge = true;  // the reporter's file goes, unless it could not be read for now
    if (bytes) {
        pf::Error decodeError;
        if (auto report = PKROVCrashReport::initWithData(*bytes, &decodeError)) {
            const PKRCrashReportFields f = PKRCrashReportFields::fromReport(*report, "", std::nullopt);
            if (f.startTime && f.crashTime) timeIntervalCrashInLastSessionOccurred_ = *f.crashTime - *f.startTime;
            auto details = std::make_shared<PKRCrashDetails>(
                report->uuidRef() ? f.uuid : "???", app_anonymous_id().value_or(""), f.signal, f.exceptionName,
                f.exceptionReason, f.startTime, f.crashTime, f.osVersion, f.osBuild, f.marketingVersion,
                report->applicationInfo() ? OptionalString(f.version) : std::nullopt, f.processID);
            pf::Error writeError;
            if (OptionalString copied = files_.completeCopyOf(*bytes)) {
                name = copied;
                lastSessionCrashDetails_ = details;
                // The meta data is written last: a copy without it was cut short before.
                if (!FileManager::exists(files_.path(*name + ".meta"))) storeMetaDataForCrashReportFilename(*name);
            } else if (FileManager::writeFileAtomically(files_.path(*name), bytes->data(), bytes->size(),
                                                        &writeError)) {
                lastSessionCrashDetails_ = details;
                storeMetaDataForCrashReportFilename(*name);
            } else {
                // The reporter's file stays and is moved on a later launch.
                PKR_LOG_ERROR(kMethod, "Could not copy crash report: %s", writeError.localizedDescription().c_str());
                name.reset();
                purge = false;
            }
        } else {
            PKR_LOG_WARNING(kMethod, "Could not parse crash report");
            name.reset();
        }
    } else {
        PKR_LOG_ERROR(kMethod, "Could not load crash report: %s", error.description().c_str());
        name.reset();
        purge = !PKRCrashFiles::isPassingFailure(error);
    }
    FileManager::remove(analyzerInProgressFile_);
    files_.saveSettings();
    if (purge) reporter_->purgePendingCrashReport();
}

void PKRCrashManager::registerObservers() {
    auto& center = pf::NotificationCenter::defaultCenter();
    std::weak_ptr<PKRCrashManager> weak = weak_from_this();
    auto weakly = [weak](void (PKRCrashManager::*fn)()) {
        return [weak, fn](const pf::Notification&) {
            if (auto self = weak.lock()) ((*self).*fn)();
        };
    };
    if (!becomeActiveObserver_)
        becomeActiveObserver_ = center.addObserver(ui::kApplicationDidBecomeActiveNotification, nullptr,
                                                   weakly(&PKRCrashManager::triggerDelayedProcessing));
    if (!reachableObserver_)
        reachableObserver_ = center.addObserver(kPKRNetworkDidBecomeReachableNotification, nullptr,
                                                weakly(&PKRCrashManager::triggerDelayedProcessing));
    if (!terminateObserver_)
        terminateObserver_ = center.addObserver(ui::kApplicationWillTerminateNotification, nullptr,
                                                weakly(&PKRCrashManager::leavingAppSafely));
    if (!backgroundObserver_)
        backgroundObserver_ = center.addObserver(ui::kApplicationDidEnterBackgroundNotification, nullptr,
                                                 weakly(&PKRCrashManager::leavingAppSafely));
    if (!foregroundObserver_)
        foregroundObserver_ = center.addObserver(ui::kApplicationWillEnterForegroundNotification, nullptr,
                                                 weakly(&PKRCrashManager::appEnteredForeground));
    if (!memoryObserver_) {
        // Held strongly, as the platform's block observer would; the token goes with this manager.
        memoryObserver_ = center.addObserver(ui::kApplicationDidReceiveMemoryWarningNotification, nullptr,
                                             [this](const pf::Notification&) {
                                                 if (didLogLowMemoryWarning_) return;
                                                 didLogLowMemoryWarning_ = true;
                                                 auto& defaults = pf::UserDefaults::standard();
                                                 defaults.setBool(kLowMemoryKey, true);
                                                 defaults.synchronize();
                                             });
    }
}

void PKRCrashManager::unregisterObservers() {
    becomeActiveObserver_.reset();
    reachableObserver_.reset();
    terminateObserver_.reset();
    backgroundObserver_.reset();
    foregroundObserver_.reset();
    memoryObserver_.reset();
}

void PKRCrashManager::leavingAppSafely() {
    if (enableAppNotTerminatingCleanlyDetection_) {
        pf::UserDefaults::standard().setBool(kWentIntoBackgroundSafelyKey, true);
        pf::UserDefaults::standard().synchronize();
    }
}

void PKRCrashManager::appEnteredForeground() {
    auto& defaults = pf::UserDefaults::standard();
    if (isDebuggerAttached()) {
        defaults.setBool(kWentIntoBackgroundSafelyKey, true);
        return;
    }
    if (!enableAppNotTerminatingCleanlyDetection_) return;
    defaults.setBool(kWentIntoBackgroundSafelyKey, false);
    static std::once_flag once;
    std::call_once(once, [&] {
        if (Value v = pf::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString"); v.isString())
            defaults.setString(kAppMarketingVersionKey, v.string());
        if (Value v = pf::Bundle::main().objectForInfoDictionaryKey("CFBundleVersion"); v.isString())
            defaults.setString(kAppVersionKey, v.string());
        defaults.setString(kAppOSVersionKey, ui::Device::current().systemVersion());
        if (auto build = osBuild()) defaults.setString(kAppOSBuildKey, *build);
        defaults.setString(kAppUUIDsKey,
                           PKRCrashReportFields::uuidElement("app", deviceArchitecture(), executableUUID()));
    });
}

std::string PKRCrashManager::deviceArchitecture() const {
    int32_t type = 0, subtype = 0;
    size_t size = sizeof type;
    if (platform::system::sysctlbyname("hw.cputype", &type, &size, nullptr, 0) != 0) return "???";
    size = sizeof subtype;
    if (platform::system::sysctlbyname("hw.cpusubtype", &subtype, &size, nullptr, 0) != 0) return "???";
    std::string name =
        PKRCrashReportTextFormatter::pkr_archNameFromCPUType(uint64_t(uint32_t(type)), uint64_t(uint32_t(subtype)));
    return name.empty() ? "???" : name;
}

PKRCrashManager::OptionalString PKRCrashManager::osBuild() const {
    char buf[256] = {};
    size_t size = sizeof buf - 1;
    if (platform::system::sysctlbyname("kern.osversion", buf, &size, nullptr, 0) != 0) return std::nullopt;
    return std::string(buf, strnlen(buf, size));
}

bool PKRCrashManager::isDebuggerAttached() const {
    static const bool attached = [] {
        platform::system::kinfo_proc info{};
        size_t size = sizeof info;
        int mib[] = {platform::system::CTL_KERN, platform::system::KERN_PROC, platform::system::KERN_PROC_PID,
                     int(getpid())};
        if (platform::system::sysctl(mib, 4, &info, &size, nullptr, 0) != 0) {
            PKRLog::plain("ERROR: Checking for a running debugger via sysctl() failed.");
            return false;
        }
        return (info.kp_proc.p_flag & platform::system::P_TRACED) != 0;
    }();
    return attached;
}

void PKRCrashManager::generateTestCrash() {
    if (appEnvironment() == kPKREnvironmentAppStore) return;
    if (isDebuggerAttached())
        PKRLog::plain("WARNING: The debugger is attached. The following crash cannot be detected by the SDK!");
    __builtin_trap();
}

void PKRCrashManager::createCrashReportForAppKill() {
    constexpr const char* kMethod = "-[PKRCrashManager createCrashReportForAppKill]";
    auto& defaults = pf::UserDefaults::standard();
    if (defaults.objectForKey(kAppVersionKey).isNull()) return;
    const std::string incident = new_uuid_string();
    const std::string reporterKey = app_anonymous_id().value_or("???");
    const Value marketing = defaults.objectForKey(kAppMarketingVersionKey);
    const std::string appVersion = defaults.stringForKey(kAppVersionKey);
    const std::string osVersion =
        PKRCrashReportFields::stringOr(defaults.objectForKey(kAppOSVersionKey), ui::Device::current().systemVersion());
    OptionalString build;
    if (Value b = defaults.objectForKey(kAppOSBuildKey); b.isString())
        build = b.string();
    else
        build = osBuild();
    const std::string model = getDevicePlatform().empty() ? "Unknown" : getDevicePlatform();
    const std::string uuids = PKRCrashReportFields::stringOr(defaults.objectForKey(kAppUUIDsKey));

    std::string text;
    text += "Incident Identifier: " + incident + "\n";
    text += "CrashReporter Key:   " + reporterKey + "\n";
    text += "Hardware Model:      " + model + "\n";
    text += "Identifier:      " + main_bundle_identifier() + "\n";
    text +=
        "Version:         " + (marketing.isString() ? marketing.string() + " (" + appVersion + ")" : appVersion) + "\n";
    text += "Code Type:       ARM\n\n";
    text += "Date/Time:       " + pf::formatDate(pf::Clock::current().now(), "yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'", true) +
            "\n";
    text += "OS Version:      " + (build ? osVersion + " (" + *build + ")" : osVersion) + "\n";
    text += "Report Version:  104\n\n";
    text += "Exception Type:  SIGKILL\n";
    text += "Exception Codes: 00000020 at 0x8badf00d\n\n";
    text += "Application Specific Information:\n";
    text += "The application did not terminate cleanly but no crash occured.";
    if (didReceiveMemoryWarningInLastSession_) text += " The app received at least one Low Memory Warning.";
    text += "\n\n";

    lastSessionCrashDetails_ = std::make_shared<PKRCrashDetails>(
        incident, reporterKey, std::string("SIGKILL"), std::nullopt, std::nullopt, std::nullopt, std::nullopt,
        osVersion, build, marketing.isString() ? OptionalString(marketing.string()) : std::nullopt, appVersion,
        uint64_t(getpid()));

    Value::Dictionary fake;
    fake["PKRFakeCrashUUID"] = incident;
    if (marketing.isString()) fake["PKRFakeCrashAppMarketingVersion"] = marketing.string();
    fake["PKRFakeCrashAppVersion"] = appVersion;
    fake["PKRFakeCrashAppBundleIdentifier"] = main_bundle_identifier();
    fake["PKRFakeCrashOSVersion"] = osVersion;
    fake["PKRFakeCrashDeviceModel"] = model;
    fake["PKRFakeCrashAppBinaryUUID"] = uuids;
    fake["PKRFakeCrashAppString"] = text;
    const std::string name = files_.newCrashFilename();
    pf::Error error;
    if (Value(fake).writeBinaryPropertyListFile(files_.path(name + "." + PKRCrashFiles::kFakeExtension), &error,
                                                pf::Sandbox::kPrivateFileMode))
        storeMetaDataForCrashReportFilename(name);
    else
        PKR_LOG_ERROR(kMethod, "Writing fake crash report. %s", error.description().c_str());
}

// ---- the identity stored with a report, and the asking ----

std::string PKRCrashManager::identityForCrashReport(const char* keychainKey, CrashAsk crashAsk, PelkorAsk pelkorAsk) {
    // The keychain's value, then each delegate that answers; the last one wins.
    std::string value = stringValueFromKeychainForKey(std::string(keychainKey)).value_or("");
    OptionalString answer;
    if (crashAsk && delegate_ && (delegate_->*crashAsk)(*this, answer)) value = answer.value_or("");
    answer.reset();
    if (pelkorDelegate_ && (pelkorDelegate_->*pelkorAsk)(*this, answer)) value = answer.value_or("");
    return value;
}

std::string PKRCrashManager::userIDForCrashReport() {
    return identityForCrashReport("PKRPelkorMetaUserID", nullptr, &PKRPelkorManagerDelegate::userIDForPelkorManager);
}

std::string PKRCrashManager::userNameForCrashReport() {
    return identityForCrashReport("PKRPelkorMetaUserName", &PKRCrashManagerDelegate::userNameForCrashManager,
                                  &PKRPelkorManagerDelegate::userNameForPelkorManager);
}

std::string PKRCrashManager::userEmailForCrashReport() {
    return identityForCrashReport("PKRPelkorMetaUserEmail", &PKRCrashManagerDelegate::userEmailForCrashManager,
                                  &PKRPelkorManagerDelegate::userEmailForPelkorManager);
}

void PKRCrashManager::storeMetaDataForCrashReportFilename(const std::string& filename) {
    const PKRCrashIdentity identity{userNameForCrashReport(), userEmailForCrashReport(), userIDForCrashReport()};
    const std::string log = delegate_ ? delegate_->applicationLogForCrashManager(*this).value_or("") : "";
    const auto attachment = delegate_ ? delegate_->attachmentForCrashManager(*this) : nullptr;
    files_.storeMetaData(filename, identity, log, attachment.get());
}

bool PKRCrashManager::hasPendingCrashReport() {
    if (status_ == kDisabled) return false;
    if (files_.scan()) return true;
    if (didCrashInLastSession_) {
        if (delegate_) delegate_->crashManagerWillCancelSendingCrashReport(*this);
        didCrashInLastSession_ = false;
    }
    return false;
}

void PKRCrashManager::triggerDelayedProcessing() {
    auto& loop = pf::RunLoop::main();
    loop.cancelPerforms(this);
    std::weak_ptr<PKRCrashManager> weak = weak_from_this();
    loop.performAfter(
        kDelayedProcessingDelay,
        [weak] {
            if (auto self = weak.lock()) self->invokeDelayedProcessing();
        },
        this);
}

void PKRCrashManager::invokeDelayedProcessing() {
    constexpr const char* kMethod = "-[PKRCrashManager invokeDelayedProcessing]";
    if (!is_running_in_app_extension() && ui::Application::shared().applicationState() != ui::ApplicationState::Active)
        return;
    PKR_LOG_INFO(kMethod, "Start delayed CrashManager processing");
    if (exceptionHandler_ && pf::getUncaughtExceptionHandler() != exceptionHandler_)
        PKR_LOG_WARNING(kMethod,
                        "[PelkorSDK] WARNING: Another exception handler was added. If this invokes any kind "
                        "exit() after processing the exception, which causes any subsequent error handler not "
                        "to be invoked, these crashes will NOT be reported to PelkorApp!");
    if (sendingInProgress_ || !hasPendingCrashReport()) return;
    sendingInProgress_ = true;
    OptionalString notApproved = firstNotApprovedCrashReport();
    if (notApproved && !files_.lastCrashFilename())
        files_.lastCrashFilename() = FileManager::lastPathComponent(*notApproved);
    if (sdk_resource_bundle() && !is_running_in_app_extension() && notApproved && status_ != kAutoSend) {
        if (delegate_) delegate_->crashManagerWillShowSubmitCrashReportAlert(*this);
        const std::string appName = app_display_name(localized_sdk_string(std::string("PelkorAppNamePlaceholder")));
        std::string message =
            fillFormat(localized_sdk_string(std::string("CrashDataFoundAnonymousDescription")), appName);
        if (!userIDForCrashReport().empty() || !userNameForCrashReport().empty() || !userEmailForCrashReport().empty())
            message = fillFormat(localized_sdk_string(std::string("CrashDataFoundDescription")), appName);
        if (alertViewHandler_) {
            alertViewHandler_();
            return;
        }
        std::vector<std::string> buttons = {localized_sdk_string(std::string("CrashSendReport"))};
        if (showAlwaysButton_) buttons.push_back(localized_sdk_string(std::string("CrashSendReportAlways")));
        alert_ = ui::Alert::make(fillFormat(localized_sdk_string(std::string("CrashDataFoundTitle")), appName), message,
                                 this, localized_sdk_string(std::string("CrashDontSendReport")), buttons);
        alert_->show();
        return;
    }
    approveLatestCrashReport();
    sendNextCrashReport();
}

void PKRCrashManager::didDismissWithButtonIndex(ui::Alert& alert, int64_t buttonIndex) {
    if (alert_.get() == &alert) alert_.reset();
    if (buttonIndex >= 0 && buttonIndex <= 2) handleUserInput(uint64_t(buttonIndex), nullptr);
}

bool PKRCrashManager::handleUserInput(uint64_t answer, const PKRCrashMetaData* metaData) {
    switch (answer) {
    case 0:
        if (delegate_) delegate_->crashManagerWillCancelSendingCrashReport(*this);
        // The others wait for the next launch: sendingInProgress stays set.
        if (files_.lastCrashFilename()) files_.clean(files_.path(*files_.lastCrashFilename()));
        return true;
    case 2:
        setCrashManagerStatus(kAutoSend);
        if (delegate_) delegate_->crashManagerWillSendCrashReportsAlways(*this);
        [[fallthrough]];
    case 1:
        persistUserProvidedMetaData(metaData);
        approveLatestCrashReport();
        sendNextCrashReport();
        return true;
    default: return false;
    }
}

// ---- the upload, through PKRCrashUploader ----

std::string PKRCrashManager::extractAppUUIDs(const PKROVCrashReport& report) const {
    return PKRCrashReportFields::appUUIDElements(report);
}

net::URLRequest PKRCrashManager::requestWithBoundary(const std::string& boundary) const {
    return uploader_.requestWithBoundary(boundary);
}

net::Data PKRCrashManager::postBodyWithXML(const std::string& xml, const PKRPelkorAttachment* attachment,
                                           const std::string& boundary) const {
    return PKRCrashUploader::postBodyWithXML(xml, attachment, boundary);
}

void PKRCrashManager::sendCrashReportWithFilename(const std::string& path, const std::string& xml,
                                                  std::shared_ptr<PKRPelkorAttachment> attachment) {
    uploader_.sendCrashReportWithFilename(path, xml, std::move(attachment));
}

void PKRCrashManager::processUploadResultWithFilename(const std::string& path, const net::Data* responseData,
                                                      int64_t statusCode, const pf::Error* error) {
    uploader_.processUploadResultWithFilename(path, responseData, statusCode, error);
}
