// Crash-time code here: crash_callback_forward runs inside the crash
// reporter's signal handler, after the report is written; it allocates
// nothing, takes no lock and only calls the application's callback through
// the record copied before the crash. cxx_uncaught_exception_wrap runs in the
// terminate handler (not a signal handler), where the process is still sound.
#include "crash/manager/PKRCrashManager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <regex>

#include "crash/capture/report/PKROVCrashReport.h"
#include "crash/manager/PKRCrashReportTextFormatter.h"
#include "crash/manager/PKRCrashUncaughtCXXExceptionHandlerManager.h"
#include "crash/manager/PKRLog.h"
#include "crash/manager/PKRPelkorAppClient.h"
#include "crash/manager/PKRPelkorHelpers.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
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
constexpr const char* kApprovedReportsKey = "PelkorSDKCrashApprovedReports";
constexpr const char* kMetaApplicationLogKey = "PKRCrashMetaApplicationLog";
constexpr const char* kMetaAttachmentKey = "PKRCrashMetaAttachment";
constexpr const char* kMetaUserNameKey = "PKRCrashMetaUserName";
constexpr const char* kMetaUserEmailKey = "PKRCrashMetaUserEmail";
constexpr const char* kMetaUserIDKey = "PKRCrashMetaUserID";
constexpr const char* kFakeExtension = "fake";
// The most the folder's other files are read to: an app-kill report is a page
// of text and a few short values; meta data, a description and an attachment
// are the delegate's log, the user's typing and one attachment; the approved
// list names the pending reports. Anything larger was made by none of these.
constexpr uint64_t kMaxFakeReportSize = 256 << 10;
constexpr uint64_t kMaxCompanionSize = 8 << 20;
constexpr uint64_t kMaxSettingsSize = 1 << 20;
constexpr uint64_t kMaxMarkerSize = 64;

constexpr const char* kXMLTemplate[] = {"<crashes><crash><applicationname><![CDATA[",
                                        "]]></applicationname><uuids>",
                                        "</uuids><bundleidentifier>",
                                        "</bundleidentifier><systemversion>",
                                        "</systemversion><platform>",
                                        "</platform><senderversion>",
                                        "</senderversion><versionstring>",
                                        "</versionstring><version>",
                                        "</version><uuid>",
                                        "</uuid><log><![CDATA[",
                                        "]]></log><userid>",
                                        "</userid><username>",
                                        "</username><contact>",
                                        "</contact><installstring>",
                                        "</installstring><description><![CDATA[",
                                        "]]></description></crash></crashes>"};

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

std::string sinceReferenceDateName(double offset = 0) {
    return pf::format("%.0f", pf::Clock::current().sinceReferenceDate() + offset);
}

// Fills the one "%@" of a translated format with `argument` (no printf on a
// translation).
std::string fillFormat(const std::string& format, const std::string& argument) {
    size_t p = format.find("%@");
    return p == std::string::npos ? format : format.substr(0, p) + argument + format.substr(p + 2);
}

// Text inside a CDATA section: a "]]>" would end it early.
std::string cdata(const std::string& text) { return pf::replacingOccurrences(text, "]]>", "]]]]><![CDATA[>"); }

std::string stringOr(const Value& v, const std::string& fallback = "") { return v.isString() ? v.string() : fallback; }

std::string infoString(const char* key) { return stringOr(pf::Bundle::main().objectForInfoDictionaryKey(key)); }

// The "<uuid type=.. arch=..>..</uuid>" elements of an app-kill report's
// stored list, made again with every value escaped; anything else is dropped.
std::string reescapedUUIDElements(const std::string& stored) {
    static const std::regex element(R"re(<uuid type="([^"<>]*)" arch="([^"<>]*)">([^<>]*)</uuid>)re");
    std::string out;
    for (auto it = std::sregex_iterator(stored.begin(), stored.end(), element); it != std::sregex_iterator(); ++it)
        out += "<uuid type=\"" + pf::escapeMarkup((*it)[1]) + "\" arch=\"" + pf::escapeMarkup((*it)[2]) + "\">" +
               pf::escapeMarkup((*it)[3]) + "</uuid>";
    return out;
}

// A crash file's name as this manager makes it: digits, or digits and ".fake".
bool isCrashFileName(const std::string& name) {
    const std::string digits = name.size() > 5 && name.ends_with(".fake") ? name.substr(0, name.size() - 5) : name;
    return !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
}

bool isRegularFile(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A write that a killed process left half done: "<name>.tmp-XXXXXX".
bool isTemporaryName(const std::string& name) {
    const size_t p = name.rfind(".tmp-");
    return p != std::string::npos && p + 11 == name.size();
}

// errno values that say "not now" rather than "never".
bool isPassingFailure(const pf::Error& error) {
    if (error.domain != pf::kPOSIXErrorDomain) return false;
    switch (error.code) {
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case EAGAIN:
    case EINTR:
    case ENOBUFS: return true;
    default: return false;
    }
}

// The report's UUID in the platform's form (upper case, hyphenated); "" without one.
std::string reportUUIDString(const PKROVCrashReport& report) {
    if (!report.uuidRef()) return "";
    const auto& u = *report.uuidRef();
    return pf::format("%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0], u[1], u[2], u[3],
                      u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
}

pf::Error crashError(int64_t code, const std::string& description) {
    return pf::Error::withDescription(kPKRCrashReporterErrorDomain, code, description);
}

}  // namespace

PKRCrashManager::PKRCrashManager(OptionalString appIdentifier, int64_t appEnvironment)
    : PKRPelkorBaseManager(std::move(appIdentifier), appEnvironment) {
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
    crashesDir_ = settings_dir();
    settingsFile_ = FileManager::joinPath(crashesDir_, "PKRCrashManager.plist");
    // The analyser marker stays: one found at start says how many handlings
    // of the pending report ended the process (handleCrashReport counts them).
    analyzerInProgressFile_ = FileManager::joinPath(crashesDir_, "PKRCrashManager.analyzer");
    removeLeftoverTemporaries();
    if (!sdk_resource_bundle() && !is_running_in_app_extension())
        PKRLog::plain(
            pf::format("WARNING: %s is missing, will send reports automatically!", kPKRSDKResourceBundleName));
}

PKRCrashManager::~PKRCrashManager() {
    unregisterObservers();
    pf::RunLoop::main().cancelPerforms(this);
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
    loadSettings();
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
    if (!reporter_->enableCrashReporter(&error))
        PKRLog::plain("WARNING: Could not enable crash reporter: " + error.localizedDescription());
    const pf::UncaughtExceptionHandler after = pf::getUncaughtExceptionHandler();
    if (after && after != before) {
        exceptionHandler_ = after;
        PKR_LOG_INFO(kMethod, "Exception handler successfully initialized.");
    } else {
        PKRLog::plain(
            "ERROR: Exception handler could not be set. Make sure there is no other exception handler set up!");
    }
    PKRCrashUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(cxx_uncaught_exception_wrap);
}

std::string PKRCrashManager::newCrashFilename() const {
    for (double offset = 0;; offset += 1) {
        std::string name = sinceReferenceDateName(offset);
        const std::string base = FileManager::joinPath(crashesDir_, name);
        bool taken = false;
        for (const char* suffix : {"", ".fake", ".meta", ".data", ".desc"})
            if (FileManager::exists(base + suffix)) taken = true;
        if (!taken) return name;
    }
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

// A copy of the pending report whose bytes are all in the folder already: a
// handling stopped after its copy and before the purge.
PKRCrashManager::OptionalString PKRCrashManager::completeCopyOf(const std::vector<uint8_t>& bytes) const {
    for (const std::string& name : FileManager::contentsOfDirectory(crashesDir_)) {
        if (!isCrashFileName(name) || name.ends_with(".fake")) continue;
        const std::string path = FileManager::joinPath(crashesDir_, name);
        auto attributes = FileManager::attributes(path);
        if (!attributes || attributes->size != bytes.size()) continue;
        auto copy = FileManager::readFile(path, nullptr, PKROVCrashReporter::kMaxReportFileSize);
        if (copy && copy->size() == bytes.size() && std::memcmp(copy->data(), bytes.data(), bytes.size()) == 0)
            return name;
    }
    return std::nullopt;
}

void PKRCrashManager::setReportAside(const std::string& why) {
    const std::string aside = FileManager::moveAside(reporter_->crashReportPath());
    PKRLog::plain("WARNING: The last crash report " + why + "; it was set aside" +
                  (aside.empty() ? std::string(".") : " as " + aside));
}

void PKRCrashManager::handleCrashReport() {
    constexpr const char* kMethod = "-[PKRCrashManager handleCrashReport]";
    if (!reporter_) return;
    const int interrupted = interruptedHandlings();
    if (interrupted >= 2) {
        // Handling this report ended the process twice: never read it again.
        setReportAside("could not be processed");
        FileManager::remove(analyzerInProgressFile_);
        return;
    }
    FileManager::writeFileAtomically(analyzerInProgressFile_, std::to_string(interrupted + 1), nullptr,
                                     pf::Sandbox::kPrivateFileMode);
    saveSettings();

    pf::Error error;
    std::optional<std::vector<uint8_t>> bytes = reporter_->loadPendingCrashReportData(&error);
    lastCrashFilename_ = newCrashFilename();
    bool handled = false;  // the reporter's file may go
    if (bytes) {
        pf::Error decodeError;
        if (auto report = PKROVCrashReport::initWithData(*bytes, &decodeError)) {
            std::optional<double> start, crash;
            if (report->hasProcessInfo()) start = report->processInfo()->processStartTime();
            if (report->systemInfo()) crash = report->systemInfo()->timestamp();
            if (!start || !crash) start.reset(), crash.reset();
            if (start && crash) timeIntervalCrashInLastSessionOccurred_ = *crash - *start;
            const std::string incident = report->uuidRef() ? reportUUIDString(*report) : "???";
            std::optional<std::string> signal, exceptionName, exceptionReason;
            if (report->signalInfo()) signal = report->signalInfo()->name();
            if (report->hasExceptionInfo()) {
                exceptionName = report->exceptionInfo()->exceptionName();
                exceptionReason = report->exceptionInfo()->exceptionReason();
            }
            const auto& sys = report->systemInfo();
            const auto& app = report->applicationInfo();
            auto details = std::make_shared<PKRCrashDetails>(
                incident, app_anonymous_id().value_or(""), signal, exceptionName, exceptionReason, start, crash,
                sys ? OptionalString(sys->operatingSystemVersion()) : std::nullopt,
                sys ? sys->operatingSystemBuild() : std::nullopt,
                app ? app->applicationMarketingVersion() : std::nullopt,
                app ? OptionalString(app->applicationVersion()) : std::nullopt,
                report->hasProcessInfo() ? report->processInfo()->processID() : 0);
            if (OptionalString copied = completeCopyOf(*bytes)) {
                handled = true;
                lastCrashFilename_ = copied;
                lastSessionCrashDetails_ = details;
            } else {
                const std::string path = FileManager::joinPath(crashesDir_, *lastCrashFilename_);
                pf::Error writeError;
                if (FileManager::writeFileAtomically(path, bytes->data(), bytes->size(), &writeError)) {
                    handled = true;
                    lastSessionCrashDetails_ = details;
                    storeMetaDataForCrashReportFilename(*lastCrashFilename_);
                } else {
                    // The reporter's file stays and is moved on a later launch.
                    PKR_LOG_ERROR(kMethod, "Could not copy crash report: %s",
                                  writeError.localizedDescription().c_str());
                    lastCrashFilename_.reset();
                }
            }
        } else {
            PKR_LOG_WARNING(kMethod, "Could not parse crash report");
            setReportAside("could not be decoded");
            lastCrashFilename_.reset();
        }
    } else {
        PKR_LOG_ERROR(kMethod, "Could not load crash report: %s", error.description().c_str());
        lastCrashFilename_.reset();
        if (!isPassingFailure(error)) setReportAside("could not be read (" + error.localizedDescription() + ")");
    }
    if (handled) reporter_->purgePendingCrashReport();
    FileManager::remove(analyzerInProgressFile_);
    saveSettings();
}

void PKRCrashManager::removeLeftoverTemporaries() {
    for (const std::string& name : FileManager::contentsOfDirectory(crashesDir_)) {
        const std::string path = FileManager::joinPath(crashesDir_, name);
        if (isTemporaryName(name) && isRegularFile(path)) FileManager::remove(path);
    }
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
        defaults.setString(kAppUUIDsKey, pf::format("<uuid type=\"app\" arch=\"%s\">%s</uuid>",
                                                    deviceArchitecture().c_str(), executableUUID().c_str()));
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
        stringOr(defaults.objectForKey(kAppOSVersionKey), ui::Device::current().systemVersion());
    OptionalString build;
    if (Value b = defaults.objectForKey(kAppOSBuildKey); b.isString())
        build = b.string();
    else
        build = osBuild();
    const std::string model = getDevicePlatform().empty() ? "Unknown" : getDevicePlatform();
    const std::string uuids = stringOr(defaults.objectForKey(kAppUUIDsKey));

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
    const std::string name = newCrashFilename();
    pf::Error error;
    if (Value(fake).writeBinaryPropertyListFile(FileManager::joinPath(crashesDir_, name + "." + kFakeExtension),
                                                &error, pf::Sandbox::kPrivateFileMode))
        storeMetaDataForCrashReportFilename(name);
    else
        PKR_LOG_ERROR(kMethod, "Writing fake crash report. %s", error.description().c_str());
}

// ---- crash files, meta data and approval ----

std::string PKRCrashManager::companionBase(const std::string& path) {
    return FileManager::pathExtension(path) == kFakeExtension ? FileManager::deletingPathExtension(path) : path;
}

std::string PKRCrashManager::keyFor(const std::string& path, const char* suffix) const {
    return FileManager::lastPathComponent(companionBase(path)) + "." + suffix;
}

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
    constexpr const char* kMethod = "-[PKRCrashManager storeMetaDataForCrashReportFilename:]";
    addStringValueToKeychain(userNameForCrashReport(), keyFor(filename, kMetaUserNameKey));
    addStringValueToKeychain(userEmailForCrashReport(), keyFor(filename, kMetaUserEmailKey));
    addStringValueToKeychain(userIDForCrashReport(), keyFor(filename, kMetaUserIDKey));
    Value::Dictionary meta;
    std::optional<std::string> log = delegate_ ? delegate_->applicationLogForCrashManager(*this) : std::nullopt;
    meta[kMetaApplicationLogKey] = log.value_or("");
    if (delegate_) {
        auto attachment = delegate_->attachmentForCrashManager(*this);
        if (attachment && attachment->pelkorAttachmentData())
            persistAttachment(*attachment, FileManager::joinPath(crashesDir_, filename));
    }
    pf::Error error;
    if (!Value(meta).writeBinaryPropertyListFile(FileManager::joinPath(crashesDir_, filename + ".meta"), &error,
                                                 pf::Sandbox::kPrivateFileMode))
        PKR_LOG_ERROR(kMethod, "Writing crash meta data failed. %s", error.description().c_str());
}

void PKRCrashManager::persistAttachment(const PKRPelkorAttachment& attachment, const std::string& filename) {
    Value coder = Value::emptyDictionary();
    attachment.encodeWithCoder(coder);
    Value::Dictionary root;
    root[kMetaAttachmentKey] = coder;
    Value(root).writeBinaryPropertyListFile(filename + ".data", nullptr, pf::Sandbox::kPrivateFileMode);
}

std::shared_ptr<PKRPelkorAttachment> PKRCrashManager::attachmentForCrashReport(const std::string& filename) const {
    const std::string path = companionBase(filename) + ".data";
    if (!FileManager::exists(path)) return nullptr;
    std::optional<Value> root = Value::readPropertyListFile(path, nullptr, kMaxCompanionSize);
    if (!root || !root->isDictionary()) return nullptr;
    const Value& coder = (*root)[kMetaAttachmentKey];
    if (!coder.isDictionary()) return nullptr;
    return std::make_shared<PKRPelkorAttachment>(coder);
}

void PKRCrashManager::persistUserProvidedMetaData(const PKRCrashMetaData* metaData) {
    if (!metaData || !lastCrashFilename_) return;
    const std::string path = FileManager::joinPath(crashesDir_, *lastCrashFilename_);
    if (metaData->userDescription() && !metaData->userDescription()->empty())
        FileManager::writeFileAtomically(companionBase(path) + ".desc", *metaData->userDescription(), nullptr,
                                         pf::Sandbox::kPrivateFileMode);
    if (metaData->userName() && !metaData->userName()->empty())
        addStringValueToKeychain(metaData->userName(), keyFor(path, kMetaUserNameKey));
    if (metaData->userEmail() && !metaData->userEmail()->empty())
        addStringValueToKeychain(metaData->userEmail(), keyFor(path, kMetaUserEmailKey));
    if (metaData->userID() && !metaData->userID()->empty())
        addStringValueToKeychain(metaData->userID(), keyFor(path, kMetaUserIDKey));
}

bool PKRCrashManager::hasPendingCrashReport() {
    constexpr const char* kMethod = "-[PKRCrashManager hasPendingCrashReport]";
    if (status_ == kDisabled) return false;
    // Only files this manager could have written are listed, and so only
    // they are ever deleted.
    for (const std::string& name : FileManager::contentsOfDirectory(crashesDir_)) {
        const std::string path = FileManager::joinPath(crashesDir_, name);
        struct stat st;
        if (!isCrashFileName(name) || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 1)
            continue;
        crashFiles_.push_back(path);
    }
    if (!crashFiles_.empty()) {
        PKR_LOG_INFO(kMethod, "%lu pending crash reports found.", (unsigned long)crashFiles_.size());
        return true;
    }
    if (didCrashInLastSession_) {
        if (delegate_) delegate_->crashManagerWillCancelSendingCrashReport(*this);
        didCrashInLastSession_ = false;
    }
    return false;
}

PKRCrashManager::OptionalString PKRCrashManager::firstNotApprovedCrashReport() const {
    for (const auto& path : crashFiles_)
        if (!approved_.count(path)) return path;
    return std::nullopt;
}

void PKRCrashManager::approveLatestCrashReport() {
    // Without a current report there is nothing to approve.
    if (!lastCrashFilename_) return;
    approved_[FileManager::joinPath(crashesDir_, *lastCrashFilename_)] = true;
    saveSettings();
}

void PKRCrashManager::saveSettings() {
    constexpr const char* kMethod = "-[PKRCrashManager saveSettings]";
    Value::Dictionary settings;
    if (!approved_.empty()) settings[kApprovedReportsKey] = approved_;
    pf::Error error;
    if (!Value(settings).writeBinaryPropertyListFile(settingsFile_, &error, pf::Sandbox::kPrivateFileMode))
        PKR_LOG_ERROR(kMethod, "Writing settings. %s", error.description().c_str());
}

void PKRCrashManager::loadSettings() {
    constexpr const char* kMethod = "-[PKRCrashManager loadSettings]";
    pf::Error error;
    std::optional<Value> settings = Value::readPropertyListFile(settingsFile_, &error, kMaxSettingsSize);
    if (!settings) {
        const pf::ReadFailure failure = FileManager::readFailure(error);
        if (failure == pf::ReadFailure::kMissing) return;
        PKR_LOG_ERROR(kMethod, "Reading crash manager settings.");
        if (failure == pf::ReadFailure::kIOError && isPassingFailure(error)) return;
        const std::string aside = FileManager::moveAside(settingsFile_);
        PKRLog::plain("WARNING: The crash manager settings could not be read (" + error.localizedDescription() +
                      "); they were set aside" + (aside.empty() ? std::string(".") : " as " + aside));
        return;
    }
    if (!settings->isDictionary() || !(*settings)[kApprovedReportsKey].isDictionary()) return;
    approved_ = (*settings)[kApprovedReportsKey].dictionary();
    // An approval outlives its report only when a deletion was cut short.
    std::erase_if(approved_, [](const auto& entry) { return !isRegularFile(entry.first); });
}

void PKRCrashManager::deleteFiles(const std::string& path) {
    const std::string base = companionBase(path);
    FileManager::remove(path);
    for (const char* suffix : {".data", ".meta", ".desc"}) {
        FileManager::remove(base + suffix);
        if (base != path)
            FileManager::remove(path + suffix);  // names an older release gave an app-kill report's companions
    }
    removeKeyFromKeychain(keyFor(path, kMetaUserNameKey));
    removeKeyFromKeychain(keyFor(path, kMetaUserEmailKey));
    removeKeyFromKeychain(keyFor(path, kMetaUserIDKey));
}

void PKRCrashManager::cleanCrashReportWithFilename(const OptionalString& path) {
    if (!path) return;
    const std::string p = *path;
    deleteFiles(p);
    std::erase(crashFiles_, p);
    approved_.erase(p);
    // A name that outlived its report would take the next answer and description.
    if (lastCrashFilename_ && FileManager::joinPath(crashesDir_, *lastCrashFilename_) == p) lastCrashFilename_.reset();
    saveSettings();
}

void PKRCrashManager::cleanCrashReports() {
    while (!crashFiles_.empty()) cleanCrashReportWithFilename(crashFiles_.front());
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
    if (notApproved && !lastCrashFilename_) lastCrashFilename_ = FileManager::lastPathComponent(*notApproved);
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
        if (lastCrashFilename_) cleanCrashReportWithFilename(FileManager::joinPath(crashesDir_, *lastCrashFilename_));
        // Nothing is sent in this run; the others wait for the next one.
        sendingInProgress_ = false;
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

// ---- the upload ----

std::string PKRCrashManager::extractAppUUIDs(const PKROVCrashReport& report) const {
    std::string out;
    Value list = PKRCrashReportTextFormatter::arrayOfAppUUIDsForCrashReport(report);
    if (!list.isArray()) return out;
    for (const Value& entry : list.array()) {
        if (!entry.isDictionary()) continue;
        const Value &type = entry["type"], &arch = entry["arch"], &uuid = entry["uuid"];
        if (!type.isString() || !arch.isString() || !uuid.isString()) continue;
        out += "<uuid type=\"" + pf::escapeMarkup(type.string()) + "\" arch=\"" + pf::escapeMarkup(arch.string()) +
               "\">" + pf::escapeMarkup(uuid.string()) + "</uuid>";
    }
    return out;
}

net::URLRequest PKRCrashManager::requestWithBoundary(const std::string& boundary) const {
    net::URLRequest request(client_ ? client_->URLForPath("api/2/apps/" + encodedAppIdentifier() + "/crashes") : "");
    request.setHTTPMethod("POST");
    request.setCachePolicy(net::CachePolicy::ReloadIgnoringLocalCacheData);
    // A redirect is the service's answer, not a place to post the report again.
    request.setFollowsRedirects(false);
    request.setValue("PelkorSDK/iOS", "User-Agent");
    request.setValue("gzip", "Accept-Encoding");
    request.setValue("multipart/form-data; boundary=" + boundary, "Content-type");
    return request;
}

net::Data PKRCrashManager::postBodyWithXML(const std::string& xml, const PKRPelkorAttachment* attachment,
                                           const std::string& boundary) const {
    net::Data body;
    auto add = [&](const net::Data& part) { body.insert(body.end(), part.begin(), part.end()); };
    add(PKRPelkorAppClient::dataWithPostValue("PelkorSDK", "sdk", boundary));
    add(PKRPelkorAppClient::dataWithPostValue("3.8.6", "sdk_version", boundary));
    add(PKRPelkorAppClient::dataWithPostValue("no", "feedbackEnabled", boundary));
    add(PKRPelkorAppClient::dataWithPostValue(net::Data(xml.begin(), xml.end()), "xml", "text/xml", boundary,
                                              std::string("crash.xml")));
    if (attachment && attachment->pelkorAttachmentData())
        add(PKRPelkorAppClient::dataWithPostValue(*attachment->pelkorAttachmentData(), "attachment0",
                                                  attachment->contentType().value_or(kPKRAttachmentDefaultContentType),
                                                  boundary, attachment->filename().value_or("Attachment_0")));
    const std::string closing = "--" + boundary + "--\r\n";
    body.insert(body.end(), closing.begin(), closing.end());
    return body;
}

void PKRCrashManager::endSendingRun() { sendingInProgress_ = false; }

void PKRCrashManager::sendNextCrashReport() {
    constexpr const char* kMethod = "-[PKRCrashManager sendNextCrashReport]";
    // Reports that cannot be sent are deleted and the next one is tried, so
    // that one bad file never holds up the others.
    while (!crashFiles_.empty()) {
        const std::string path = crashFiles_.front();
        pf::Error readError;
        const bool fake = FileManager::pathExtension(path) == kFakeExtension;
        std::optional<std::string> bytes = FileManager::readFile(
            path, &readError, fake ? kMaxFakeReportSize : PKROVCrashReporter::kMaxReportFileSize);
        if (!bytes && isPassingFailure(readError)) {
            PKR_LOG_ERROR(kMethod, "Could not read crash report %s: %s", path.c_str(),
                          readError.localizedDescription().c_str());
            endSendingRun();
            if (delegate_)
                delegate_->crashManagerDidFailWithError(
                    *this, crashError(PKRCrashReportUnreadable, readError.localizedDescription()));
            return;
        }
        if (!bytes || bytes->empty()) {
            if (!bytes)
                PKRLog::plain("WARNING: The crash report " + path + " could not be read (" +
                              readError.localizedDescription() + "); it was deleted.");
            cleanCrashReportWithFilename(path);
            continue;
        }
        const std::string base = companionBase(path);
        std::string uuids, bundleId, osVersion, platformName, marketing, version, uuid, log;
        bool parsed = false;
        const std::string install = app_anonymous_id().value_or("");
        if (fake) {
            std::optional<Value> plist = Value::fromPropertyList(bytes->data(), bytes->size());
            if (plist && plist->isDictionary() && (*plist)["PKRFakeCrashAppString"].isString()) {
                const Value& p = *plist;
                parsed = true;
                uuids = reescapedUUIDElements(stringOr(p["PKRFakeCrashAppBinaryUUID"]));
                bundleId = stringOr(p["PKRFakeCrashAppBundleIdentifier"]);
                osVersion = stringOr(p["PKRFakeCrashOSVersion"]);
                platformName = stringOr(p["PKRFakeCrashDeviceModel"]);
                marketing = stringOr(p["PKRFakeCrashAppMarketingVersion"]);
                version = stringOr(p["PKRFakeCrashAppVersion"]);
                uuid = stringOr(p["PKRFakeCrashUUID"]);
                log = p["PKRFakeCrashAppString"].string();
            }
        } else {
            std::vector<uint8_t> data(bytes->begin(), bytes->end());
            if (auto report = PKROVCrashReport::initWithData(data, nullptr)) {
                parsed = true;
                uuid = reportUUIDString(*report);
                log = PKRCrashReportTextFormatter::stringValueForCrashReport(*report, install);
                if (const auto& app = report->applicationInfo()) {
                    bundleId = app->applicationIdentifier();
                    marketing = app->applicationMarketingVersion().value_or("");
                    version = app->applicationVersion();
                }
                if (report->systemInfo()) osVersion = report->systemInfo()->operatingSystemVersion();
                platformName = getDevicePlatform();
                uuids = extractAppUUIDs(*report);
            }
        }
        if (!parsed) {
            PKR_LOG_WARNING(kMethod, "Could not parse crash report");
            cleanCrashReportWithFilename(path);
            continue;
        }
        std::string userName, userEmail, userID, applicationLog, description;
        std::shared_ptr<PKRPelkorAttachment> attachment;
        pf::Error metaError;
        if (std::optional<Value> meta = Value::readPropertyListFile(base + ".meta", &metaError, kMaxCompanionSize)) {
            userName = stringValueFromKeychainForKey(keyFor(path, kMetaUserNameKey)).value_or("");
            userEmail = stringValueFromKeychainForKey(keyFor(path, kMetaUserEmailKey)).value_or("");
            userID = stringValueFromKeychainForKey(keyFor(path, kMetaUserIDKey)).value_or("");
            if (meta->isDictionary()) applicationLog = stringOr((*meta)[kMetaApplicationLogKey]);
            description = FileManager::readFile(base + ".desc", nullptr, kMaxCompanionSize).value_or("");
            attachment = attachmentForCrashReport(path);
        } else {
            PKR_LOG_ERROR(kMethod, "Reading crash meta data. %s", metaError.description().c_str());
        }
        if (!applicationLog.empty())
            description = description.empty() ? "Log:\n" + applicationLog : description + "\n\nLog:\n" + applicationLog;

        const std::string* values[] = {nullptr, &uuids,     &bundleId,  &osVersion, &platformName,
                                       nullptr, &marketing, &version,   &uuid,      &log,
                                       &userID, &userName,  &userEmail, &install,   &description};
        const std::string appName = infoString("CFBundleExecutable"), senderVersion = infoString("CFBundleVersion");
        std::string xml;
        for (size_t i = 0; i < std::size(values); ++i) {
            xml += kXMLTemplate[i];
            const std::string& v = i == 0 ? appName : i == 5 ? senderVersion : *values[i];
            // The application name, the log and the description are CDATA sections; the
            // UUID list is elements whose values are escaped already.
            xml += (i == 0 || i == 9 || i == 14) ? cdata(v) : (i == 1 ? v : pf::escapeMarkup(v));
        }
        xml += kXMLTemplate[std::size(values)];
        PKR_LOG_INFO(kMethod, "Sending crash reports:\n%s", xml.c_str());
        sendCrashReportWithFilename(path, xml, attachment);
        return;
    }
    // Every listed report was dropped: this run sent nothing.
    endSendingRun();
    if (delegate_) delegate_->crashManagerWillCancelSendingCrashReport(*this);
}

void PKRCrashManager::sendCrashReportWithFilename(const std::string& path, const std::string& xml,
                                                  std::shared_ptr<PKRPelkorAttachment> attachment) {
    constexpr const char* kMethod = "-[PKRCrashManager sendCrashReportWithFilename:xml:attachment:]";
    const net::Data xmlData(xml.begin(), xml.end());
    const net::Data* attachmentData =
        attachment && attachment->pelkorAttachmentData() ? &*attachment->pelkorAttachmentData() : nullptr;
    const std::string boundary = PKRPelkorAppClient::boundaryAvoiding({&xmlData, attachmentData});
    net::URLRequest request = requestWithBoundary(boundary);
    request.setHTTPBody(postBodyWithXML(xml, attachment.get(), boundary));
    if (!client_) {
        endSendingRun();
        return;
    }
    std::weak_ptr<PKRCrashManager> weak = weak_from_this();
    auto operation = client_->operationWithURLRequest(
        request, [weak, path](PKRHTTPOperation& op, const net::Data* data, const pf::Error* error) {
            if (auto self = weak.lock()) self->processUploadResultWithFilename(path, data, op.statusCode(), error);
        });
    client_->enqeueHTTPOperation(operation);
    if (delegate_) delegate_->crashManagerWillSendCrashReport(*this);
    PKR_LOG_INFO(kMethod, "Sending crash reports started.");
}

void PKRCrashManager::processUploadResultWithFilename(const std::string& path, const net::Data* responseData,
                                                      int64_t statusCode, const pf::Error* error) {
    constexpr const char* kMethod = "-[PKRCrashManager processUploadResultWithFilename:responseData:statusCode:error:]";
    sendingInProgress_ = false;
    std::optional<pf::Error> failure;
    if (error) {
        failure = *error;
    } else {
        const bool hasBody = responseData && !responseData->empty();
        // An answer without a body may come from a service that did not keep the report.
        if (hasBody && statusCode >= 200 && statusCode <= 399) {
            cleanCrashReportWithFilename(path);
            std::optional<Value> answer = Value::fromPropertyList(*responseData);
            if (answer)
                PKR_LOG_INFO(kMethod, "Received API response: %s", answer->description().c_str());
            else
                PKR_LOG_WARNING(kMethod,
                                "The service took the report with an answer that is no property list (%zu bytes).",
                                responseData->size());
            if (delegate_) delegate_->crashManagerDidFinishSendingCrashReport(*this);
            // The run goes on with the next report.
            if (!crashFiles_.empty()) {
                sendingInProgress_ = true;
                sendNextCrashReport();
            }
            return;
        }
        if (hasBody && statusCode == 400) {
            cleanCrashReportWithFilename(path);
            failure = crashError(PKRCrashAPIAppVersionRejected,
                                 "The server rejected receiving crash reports for this app version!");
        } else if (hasBody) {
            failure = crashError(PKRCrashAPIErrorWithStatusCode,
                                 pf::format("Sending failed with status code: %li", long(statusCode)));
        } else {
            failure = crashError(PKRCrashAPIReceivedEmptyResponse, "Sending failed with an empty response!");
        }
    }
    if (delegate_) delegate_->crashManagerDidFailWithError(*this, *failure);
    PKR_LOG_ERROR(kMethod, "%s", failure->localizedDescription().c_str());
}
