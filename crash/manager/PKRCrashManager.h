#pragma once
// The crash manager: connects the crash reporter to the crash-report
// service. At start it configures and enables the reporter, moves a report
// the previous run left into the SDK's folder (with its meta data), notes the
// clean-exit and low-memory markers and, when asked, writes an app-kill report
// for a session that ended neither cleanly nor in a crash. Half a second
// after start and after each activation it asks the user (status 1) or
// approves at once (status 2) and uploads the pending reports one after
// another, deleting each once the service has taken it.
//
// This class does the start and the crash detection, and the asking; the
// folder and its files are PKRCrashFiles', the upload PKRCrashUploader's.
// Everything runs on the main thread. The pelkor manager creates it.
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/capture/PKROVCrashReporter.h"
#include "crash/capture/handler/CrashTimeContext.h"
#include "crash/manager/PKRCrashDetails.h"
#include "crash/manager/PKRCrashFiles.h"
#include "crash/manager/PKRCrashMetaData.h"
#include "crash/manager/PKRCrashUploader.h"
#include "crash/manager/PKRPelkorAttachment.h"
#include "crash/manager/PKRPelkorBaseManager.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"
#include "platform/ui/Alert.h"

class PKRCrashManager;
class PKRPelkorAppClient;
class PKROVCrashReport;

inline constexpr const char* kPKRCrashReporterErrorDomain = "PKRCrashReporterErrorDomain";
enum PKRCrashErrorReason : int64_t {
    PKRCrashAPIAppVersionRejected = 1,
    PKRCrashAPIReceivedEmptyResponse = 2,
    PKRCrashAPIErrorWithStatusCode = 3,
    // The report could not be read for a passing reason and stays for a later run.
    PKRCrashReportUnreadable = 4,
};
inline constexpr const char* kPKRNetworkDidBecomeReachableNotification = "PKRPelkorNetworkDidBecomeReachable";

// The application's post-crash callback.
struct PKRCrashManagerCallbacks {
    void* context;
    void (*handleSignal)(void* context);
};

// Every operation is optional. Operations that answer a value return false
// (or nullopt) when they do not take part, so that the manager can tell "no
// answer" from "an empty answer".
class PKRCrashManagerDelegate {
public:
    virtual ~PKRCrashManagerDelegate() = default;
    virtual std::optional<std::string> applicationLogForCrashManager(PKRCrashManager&) { return std::nullopt; }
    virtual std::shared_ptr<PKRPelkorAttachment> attachmentForCrashManager(PKRCrashManager&) { return nullptr; }
    virtual bool userNameForCrashManager(PKRCrashManager&, std::optional<std::string>& /*answer*/) { return false; }
    virtual bool userEmailForCrashManager(PKRCrashManager&, std::optional<std::string>& /*answer*/) { return false; }
    virtual void crashManagerWillShowSubmitCrashReportAlert(PKRCrashManager&) {}
    virtual void crashManagerWillCancelSendingCrashReport(PKRCrashManager&) {}
    virtual void crashManagerWillSendCrashReportsAlways(PKRCrashManager&) {}
    virtual void crashManagerWillSendCrashReport(PKRCrashManager&) {}
    virtual void crashManagerDidFailWithError(PKRCrashManager&, const platform::foundation::Error&) {}
    virtual void crashManagerDidFinishSendingCrashReport(PKRCrashManager&) {}
    virtual std::optional<bool> considerAppNotTerminatedCleanlyReportForCrashManager(PKRCrashManager&) {
        return std::nullopt;
    }
};

// The pelkor manager's delegate: the crash manager's, and the identity values.
class PKRPelkorManagerDelegate : public PKRCrashManagerDelegate {
public:
    // Forgets itself in the shared pelkor manager, which holds it weakly.
    ~PKRPelkorManagerDelegate() override;
    virtual std::optional<bool> shouldUseLiveIdentifierForPelkorManager() { return std::nullopt; }
    virtual std::shared_ptr<platform::ui::ViewController> viewControllerForPelkorManager(PKRPelkorBaseManager&) {
        return nullptr;
    }
    virtual bool userIDForPelkorManager(PKRPelkorBaseManager&, std::optional<std::string>& /*answer*/) { return false; }
    virtual bool userNameForPelkorManager(PKRPelkorBaseManager&, std::optional<std::string>& /*answer*/) {
        return false;
    }
    virtual bool userEmailForPelkorManager(PKRPelkorBaseManager&, std::optional<std::string>& /*answer*/) {
        return false;
    }
};

class PKRCrashManager : public PKRPelkorBaseManager,
                        public std::enable_shared_from_this<PKRCrashManager>,
                        private platform::ui::AlertDelegate {
public:
    enum Status : uint64_t { kDisabled = 0, kAlwaysAsk = 1, kAutoSend = 2 };
    static constexpr double kDelayedProcessingDelay = 0.5;

    PKRCrashManager(OptionalString appIdentifier, int64_t appEnvironment);
    ~PKRCrashManager() override;

    void setCrashManagerStatus(uint64_t status);
    uint64_t crashManagerStatus() const { return status_; }
    void startManager() override;

    bool didCrashInLastSession() const { return didCrashInLastSession_; }
    std::shared_ptr<PKRCrashDetails> lastSessionCrashDetails() const { return lastSessionCrashDetails_; }
    bool didReceiveMemoryWarningInLastSession() const { return didReceiveMemoryWarningInLastSession_; }
    // Crash time minus process start of the previous session; -1.0 when unknown.
    double timeIntervalCrashInLastSessionOccurred() const { return timeIntervalCrashInLastSessionOccurred_; }
    double timeintervalCrashInLastSessionOccured() const { return timeIntervalCrashInLastSessionOccurred_; }

    bool isMachExceptionHandlerEnabled() const { return enableMachExceptionHandler_; }
    void setEnableMachExceptionHandler(bool v) { enableMachExceptionHandler_ = v; }
    bool isOnDeviceSymbolicationEnabled() const { return enableOnDeviceSymbolication_; }
    void setEnableOnDeviceSymbolication(bool v) { enableOnDeviceSymbolication_ = v; }
    bool isAppNotTerminatingCleanlyDetectionEnabled() const { return enableAppNotTerminatingCleanlyDetection_; }
    void setEnableAppNotTerminatingCleanlyDetection(bool v) { enableAppNotTerminatingCleanlyDetection_ = v; }
    bool shouldShowAlwaysButton() const { return showAlwaysButton_; }
    void setShowAlwaysButton(bool v) { showAlwaysButton_ = v; }

    PKRCrashManagerDelegate* delegate() const { return delegate_; }
    void setDelegate(PKRCrashManagerDelegate* delegate) { delegate_ = delegate; }
    // The pelkor manager's delegate, asked for the identity values and for the
    // controller screens are presented from.
    void setPelkorDelegate(PKRPelkorManagerDelegate* delegate) { pelkorDelegate_ = delegate; }
    std::shared_ptr<platform::ui::ViewController> delegateViewController() override {
        return pelkorDelegate_ ? pelkorDelegate_->viewControllerForPelkorManager(*this) : nullptr;
    }
    void setAlertViewHandler(std::function<void()> handler) { alertViewHandler_ = std::move(handler); }
    void setCrashCallbacks(const PKRCrashManagerCallbacks* callbacks);
    std::shared_ptr<PKRPelkorAppClient> pelkorAppClient() const { return client_; }
    void setPelkorAppClient(std::shared_ptr<PKRPelkorAppClient> client) { client_ = std::move(client); }

    bool isDebuggerAttached() const;
    void generateTestCrash();
    std::string deviceArchitecture() const;
    OptionalString osBuild() const;

    // Crash files, meta data and approval.
    void storeMetaDataForCrashReportFilename(const std::string& filename);
    void persistUserProvidedMetaData(const PKRCrashMetaData* metaData) { files_.persistUserProvidedMetaData(metaData); }
    void persistAttachment(const PKRPelkorAttachment& attachment, const std::string& filename) {
        files_.persistAttachment(attachment, filename);
    }
    std::shared_ptr<PKRPelkorAttachment> attachmentForCrashReport(const std::string& filename) const {
        return files_.attachmentForCrashReport(filename);
    }
    std::string userIDForCrashReport();
    std::string userNameForCrashReport();
    std::string userEmailForCrashReport();
    bool hasPendingCrashReport();
    OptionalString firstNotApprovedCrashReport() const { return files_.firstNotApproved(); }
    void approveLatestCrashReport() { files_.approveLatest(); }
    void saveSettings() { files_.saveSettings(); }
    void loadSettings() { files_.loadSettings(); }
    void cleanCrashReportWithFilename(const OptionalString& path) { files_.clean(path); }
    void cleanCrashReports() { files_.cleanAll(); }
    void triggerDelayedProcessing();
    void invokeDelayedProcessing();
    bool handleUserInput(uint64_t answer, const PKRCrashMetaData* metaData);

    // The upload.
    void sendNextCrashReport() { uploader_.sendNextCrashReport(); }
    std::string extractAppUUIDs(const PKROVCrashReport& report) const;
    platform::net::URLRequest requestWithBoundary(const std::string& boundary) const;
    platform::net::Data postBodyWithXML(const std::string& xml, const PKRPelkorAttachment* attachment,
                                        const std::string& boundary) const;
    void sendCrashReportWithFilename(const std::string& path, const std::string& xml,
                                     std::shared_ptr<PKRPelkorAttachment> attachment);
    void processUploadResultWithFilename(const std::string& path, const platform::net::Data* responseData,
                                         int64_t statusCode, const platform::foundation::Error* error);

    const std::vector<std::string>& crashFiles() const { return files_.crashFiles(); }
    const platform::foundation::Value::Dictionary& approvedCrashReports() const { return files_.approved(); }
    const OptionalString& lastCrashFilename() const { return files_.lastCrashFilename(); }
    void setLastCrashFilename(OptionalString name) { files_.lastCrashFilename() = std::move(name); }
    bool sendingInProgress() const { return sendingInProgress_; }
    const std::string& crashesDir() const { return files_.folder(); }
    const std::shared_ptr<PKROVCrashReporter>& ovCrashReporter() const { return reporter_; }
    platform::foundation::UncaughtExceptionHandler exceptionHandler() const { return exceptionHandler_; }

    // Where the companions (".meta", ".data", ".desc") and keychain keys of a
    // crash file are named from: the path, without ".fake" for an app-kill report.
    static std::string companionBase(const std::string& path) { return PKRCrashFiles::companionBase(path); }
    // A name of digits for a new crash file: the time in whole seconds since
    // 2001, or the first later number that names no file in the folder yet.
    std::string newCrashFilename() const { return files_.newCrashFilename(); }

    // Internal, reachable for tests.
    void registerObservers();
    void unregisterObservers();
    void leavingAppSafely();
    void appEnteredForeground();
    void handleCrashReport();
    void createCrashReportForAppKill();

private:
    friend class PKRCrashUploader;  // ends and continues the sending run

    void didDismissWithButtonIndex(platform::ui::Alert&, int64_t buttonIndex) override;
    void setUpReporter();
    int interruptedHandlings() const;
    using CrashAsk = bool (PKRCrashManagerDelegate::*)(PKRCrashManager&, std::optional<std::string>&);
    using PelkorAsk = bool (PKRPelkorManagerDelegate::*)(PKRPelkorBaseManager&, std::optional<std::string>&);
    std::string identityForCrashReport(const char* keychainKey, CrashAsk crashAsk, PelkorAsk pelkorAsk);

    PKRCrashFiles files_;
    PKRCrashUploader uploader_;
    std::string analyzerInProgressFile_;
    const OVCrashReporterCallbacks* crashCallBacks_ = nullptr;
    bool sendingInProgress_ = false;
    bool isSetup_ = false;
    bool didLogLowMemoryWarning_ = false;
    platform::foundation::Observer becomeActiveObserver_, reachableObserver_, terminateObserver_, backgroundObserver_,
        foregroundObserver_, memoryObserver_;
    bool enableMachExceptionHandler_ = false;
    bool enableOnDeviceSymbolication_ = false;
    bool enableAppNotTerminatingCleanlyDetection_ = false;
    bool showAlwaysButton_ = true;
    bool didCrashInLastSession_ = false;
    bool didReceiveMemoryWarningInLastSession_ = false;
    uint64_t status_ = kAlwaysAsk;
    std::shared_ptr<PKRCrashDetails> lastSessionCrashDetails_;
    double timeIntervalCrashInLastSessionOccurred_ = -1.0;
    PKRCrashManagerDelegate* delegate_ = nullptr;
    PKRPelkorManagerDelegate* pelkorDelegate_ = nullptr;
    std::shared_ptr<PKRPelkorAppClient> client_;
    platform::foundation::UncaughtExceptionHandler exceptionHandler_ = nullptr;
    std::shared_ptr<PKROVCrashReporter> reporter_;
    std::function<void()> alertViewHandler_;
    std::shared_ptr<platform::ui::Alert> alert_;
};
