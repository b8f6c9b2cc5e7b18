#pragma once
// The crash report manager's one entry point. The application configures it
// with its identifier (and optionally a delegate), may point it at another
// service, and starts it; it checks the identifier, makes the crash manager
// and the shared request client, works out the installation's environment,
// pings the service when an integration has just begun outside the App
// Store, keeps the user's identity values in the keychain and owns the
// debug-logging switch. Set-up and start happen once, on the main thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "crash/manager/PKRCrashManager.h"

class PKRPelkorAppClient;

class PKRPelkorManager {
public:
    using OptionalString = std::optional<std::string>;

    static PKRPelkorManager& sharedPelkorManager();
    // A manager of its own (tests); the application uses the shared one.
    PKRPelkorManager();

    void configureWithIdentifier(const OptionalString& appIdentifier);
    void configureWithIdentifier(const OptionalString& appIdentifier, PKRPelkorManagerDelegate* delegate);
    void configureWithBetaIdentifier(const OptionalString& betaIdentifier, const OptionalString& liveIdentifier,
                                     PKRPelkorManagerDelegate* delegate);
    void startManager();

    // Null before a successful configuration.
    std::shared_ptr<PKRCrashManager> crashManager() const { return crashManager_; }
    std::shared_ptr<PKRPelkorAppClient> pelkorAppClient();

    // The service's base URL; null means the crash-collection endpoint.
    const OptionalString& serverURL() const { return serverURL_; }
    void setServerURL(const OptionalString& url);
    PKRPelkorManagerDelegate* delegate() const { return delegate_; }
    void setDelegate(PKRPelkorManagerDelegate* delegate);

    const OptionalString& userID() const { return userID_; }
    void setUserID(const OptionalString& v);
    const OptionalString& userName() const { return userName_; }
    void setUserName(const OptionalString& v);
    const OptionalString& userEmail() const { return userEmail_; }
    void setUserEmail(const OptionalString& v);

    bool isCrashManagerDisabled() const { return disableCrashManager_; }
    void setDisableCrashManager(bool v) { disableCrashManager_ = v; }
    bool isInstallTrackingDisabled() const { return disableInstallTracking_; }
    void setDisableInstallTracking(bool v) { disableInstallTracking_ = v; }
    bool isDebugLogEnabled() const;
    void setDebugLogEnabled(bool v);

    int64_t appEnvironment() const { return appEnvironment_; }
    bool isAppStoreEnvironment() const { return appStoreEnvironment_; }
    const OptionalString& installString() const { return installString_; }
    const OptionalString& appIdentifier() const { return appIdentifier_; }
    const OptionalString& liveIdentifier() const { return liveIdentifier_; }
    bool validAppIdentifier() const { return validAppIdentifier_; }
    bool isStartManagerInvoked() const { return startManagerIsInvoked_; }
    bool isManagersInitialized() const { return managersInitialized_; }

    static std::string version();
    static std::string build();

    void testIdentifier();

    // Internal, reachable for tests.
    static bool checkValidityOfAppIdentifier(const OptionalString& identifier);
    void logInvalidIdentifier(const std::string& name) const;
    void initializeModules();
    bool isSetUpOnMainThread() const;
    bool shouldUseLiveIdentifier();
    void validateStartManagerIsInvoked() const;
    OptionalString integrationFlowTimeString() const;
    bool integrationFlowStartedWithTimeString(const OptionalString& timeString) const;
    void pingServerForIntegrationStartWorkflowWithTimeString(const std::string& timeString,
                                                             const OptionalString& appIdentifier);
    static void logPingMessageForStatusCode(int64_t statusCode);
    void modifyKeychainUserValue(const OptionalString& value, const std::string& key) const;

private:
    friend class PKRPelkorManagerDelegate;
    std::string clientBaseURL() const;

    OptionalString appIdentifier_, liveIdentifier_;
    bool validAppIdentifier_ = false;
    bool startManagerIsInvoked_ = false;
    bool managersInitialized_ = false;
    std::shared_ptr<PKRPelkorAppClient> client_;
    bool disableCrashManager_ = false;
    bool appStoreEnvironment_ = false;
    bool disableInstallTracking_ = false;
    PKRPelkorManagerDelegate* delegate_ = nullptr;
    OptionalString serverURL_;
    std::shared_ptr<PKRCrashManager> crashManager_;
    int64_t appEnvironment_ = 0;
    OptionalString installString_;
    OptionalString userID_, userName_, userEmail_;
};
