#include "crash/manager/PKRPelkorManager.h"

#include "crash/manager/PKRKeychainUtils.h"
#include "crash/manager/PKRLog.h"
#include "crash/manager/PKRPelkorAppClient.h"
#include "crash/manager/PKRPelkorHelpers.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Thread.h"
#include "platform/security/Keychain.h"

namespace pf = platform::foundation;

// The version record, a section of its own in the executable's text
// segment: a byte 1, then the version and the build in NUL-padded 16-byte
// fields. A ".text." name would merge it into .text.
__attribute__((used, section("__pkr_pelkor"))) static const char kPelkorVersionRecord[33] =
    "\x01"
    "3.8.6\0\0\0\0\0\0\0\0\0\0\0"
    "60\0\0\0\0\0\0\0\0\0\0\0\0\0";

namespace {

constexpr const char* kIntegrationTimestampKey = "PKRIntegrationFlowStartTimestamp";

// The shared manager once made; it lives until the process ends.
PKRPelkorManager* gShared = nullptr;

}  // namespace

PKRPelkorManager& PKRPelkorManager::sharedPelkorManager() {
    static PKRPelkorManager* shared = gShared = new PKRPelkorManager;
    return *shared;
}

PKRPelkorManagerDelegate::~PKRPelkorManagerDelegate() {
    // The manager holds its delegate weakly: one that goes is forgotten.
    if (gShared && gShared->delegate() == this) {
        gShared->delegate_ = nullptr;
        if (auto crashManager = gShared->crashManager()) {
            crashManager->setDelegate(nullptr);
            crashManager->setPelkorDelegate(nullptr);
        }
    }
}

PKRPelkorManager::PKRPelkorManager() {
    installString_ = app_anonymous_id(false);
    appEnvironment_ = current_app_environment();
    appStoreEnvironment_ = appEnvironment_ == kPKREnvironmentAppStore;
    pf::RunLoop::current().performAfter(
        0.0, [this] { validateStartManagerIsInvoked(); }, this);
}

std::string PKRPelkorManager::version() { return std::string(kPelkorVersionRecord + 1); }

std::string PKRPelkorManager::build() { return std::string(kPelkorVersionRecord + 17); }

bool PKRPelkorManager::isDebugLogEnabled() const { return PKRLog::isDebugLogEnabled(); }

void PKRPelkorManager::setDebugLogEnabled(bool v) { PKRLog::setDebugLogEnabled(v); }

bool PKRPelkorManager::checkValidityOfAppIdentifier(const OptionalString& identifier) {
    return identifier && identifier->size() == 32 &&
           identifier->find_first_not_of("0123456789abcdef") == std::string::npos;
}

void PKRPelkorManager::logInvalidIdentifier(const std::string& name) const {
    if (appEnvironment_ == kPKREnvironmentAppStore) return;
    if (name == "liveIdentifier")
        PKRLog::plain(
            "WARNING: The liveIdentifier is invalid! The SDK will be disabled when deployed to the App Store "
            "without setting a valid app identifier!");
    else
        PKRLog::plain("ERROR: The " + name +
                      " is invalid! Please use the PelkorApp app identifier you find on the apps website on "
                      "PelkorApp! The SDK is disabled!");
}

bool PKRPelkorManager::isSetUpOnMainThread() const {
    if (pf::Thread::isMainThread()) return true;
    if (appEnvironment_ != kPKREnvironmentAppStore) pf::log("ERROR: PelkorSDK has to be setup on the main thread!");
    return false;
}

bool PKRPelkorManager::shouldUseLiveIdentifier() {
    if (delegate_)
        if (std::optional<bool> answer = delegate_->shouldUseLiveIdentifierForPelkorManager()) return *answer;
    return appEnvironment_ == kPKREnvironmentAppStore;
}

void PKRPelkorManager::configureWithIdentifier(const OptionalString& appIdentifier) {
    appIdentifier_ = appIdentifier;
    initializeModules();
}

void PKRPelkorManager::configureWithIdentifier(const OptionalString& appIdentifier,
                                               PKRPelkorManagerDelegate* delegate) {
    delegate_ = delegate;
    appIdentifier_ = appIdentifier;
    initializeModules();
}

void PKRPelkorManager::configureWithBetaIdentifier(const OptionalString& betaIdentifier,
                                                   const OptionalString& liveIdentifier,
                                                   PKRPelkorManagerDelegate* delegate) {
    delegate_ = delegate;
    if (!checkValidityOfAppIdentifier(liveIdentifier)) {
        logInvalidIdentifier("liveIdentifier");
        liveIdentifier_ = liveIdentifier;
    }
    appIdentifier_ = shouldUseLiveIdentifier() ? liveIdentifier : betaIdentifier;
    initializeModules();
}

void PKRPelkorManager::initializeModules() {
    constexpr const char* kMethod = "-[PKRPelkorManager initializeModules]";
    if (managersInitialized_) {
        PKRLog::plain("Warning: The SDK should only be initialized once! This call is ignored.");
        return;
    }
    validAppIdentifier_ = checkValidityOfAppIdentifier(appIdentifier_);
    if (!isSetUpOnMainThread()) return;
    startManagerIsInvoked_ = false;
    if (!validAppIdentifier_) {
        logInvalidIdentifier("app identifier");
        return;
    }
    PKR_LOG_INFO(kMethod, "Setup CrashManager");
    crashManager_ = std::make_shared<PKRCrashManager>(appIdentifier_, appEnvironment_);
    crashManager_->setPelkorAppClient(pelkorAppClient());
    crashManager_->setDelegate(delegate_);
    crashManager_->setPelkorDelegate(delegate_);
    if (appEnvironment_ != kPKREnvironmentAppStore) {
        OptionalString time = integrationFlowTimeString();
        if (time && integrationFlowStartedWithTimeString(time))
            pingServerForIntegrationStartWorkflowWithTimeString(*time, appIdentifier_);
    }
    managersInitialized_ = true;
}

void PKRPelkorManager::startManager() {
    constexpr const char* kMethod = "-[PKRPelkorManager startManager]";
    if (!validAppIdentifier_) return;
    if (startManagerIsInvoked_) {
        PKRLog::plain("Warning: startManager should only be invoked once! This call is ignored.");
        return;
    }
    if (!isSetUpOnMainThread()) return;
    if (appEnvironment_ == kPKREnvironmentAppStore && disableInstallTracking_) installString_ = app_anonymous_id(true);
    PKR_LOG_INFO(kMethod, "Starting PelkorManager");
    startManagerIsInvoked_ = true;
    if (!disableCrashManager_ && crashManager_) {
        PKR_LOG_INFO(kMethod, "Start CrashManager");
        if (serverURL_) crashManager_->setServerURL(*serverURL_);
        crashManager_->startManager();
    }
}

void PKRPelkorManager::validateStartManagerIsInvoked() const {
    if (validAppIdentifier_ && appEnvironment_ != kPKREnvironmentAppStore && !startManagerIsInvoked_)
        PKRLog::plain(
            "ERROR: You did not call [[PKRPelkorManager sharedPelkorManager] startManager] to startup the "
            "PelkorSDK! Please do so after setting up all properties. The SDK is NOT running.");
}

void PKRPelkorManager::setDelegate(PKRPelkorManagerDelegate* delegate) {
    if (appEnvironment_ != kPKREnvironmentAppStore && startManagerIsInvoked_)
        PKRLog::plain(
            "ERROR: The `delegate` property has to be set before calling [[PKRPelkorManager "
            "sharedPelkorManager] startManager] !");
    if (delegate == delegate_) return;
    delegate_ = delegate;
    if (crashManager_) {
        crashManager_->setDelegate(delegate);
        crashManager_->setPelkorDelegate(delegate);
    }
}

std::string PKRPelkorManager::clientBaseURL() const { return serverURL_.value_or(kPKRDefaultServerURL); }

std::shared_ptr<PKRPelkorAppClient> PKRPelkorManager::pelkorAppClient() {
    if (!client_) client_ = std::make_shared<PKRPelkorAppClient>(clientBaseURL());
    return client_;
}

void PKRPelkorManager::setServerURL(const OptionalString& url) {
    // Nothing means the crash-collection endpoint, not an empty URL.
    OptionalString value = url;
    if (value && !value->empty() && value->back() != '/') *value += '/';
    if (value && value->empty()) value.reset();
    if (value == serverURL_) return;
    serverURL_ = value;
    if (client_) client_->setBaseURL(clientBaseURL());
}

PKRPelkorManager::OptionalString PKRPelkorManager::integrationFlowTimeString() const {
    pf::Value v = pf::Bundle::main().objectForInfoDictionaryKey(kIntegrationTimestampKey);
    if (v.isNull()) return std::nullopt;
    return v.stringValue();
}

bool PKRPelkorManager::integrationFlowStartedWithTimeString(const OptionalString& timeString) const {
    if (!timeString || appEnvironment_ == kPKREnvironmentAppStore) return false;
    std::optional<double> when = pf::parseDate(*timeString, "yyyy-MM-dd'T'HH:mm:ssZ", true);
    return when && *when > pf::Clock::current().now() - 600.0;
}

void PKRPelkorManager::testIdentifier() {
    if (!appIdentifier_ || appEnvironment_ == kPKREnvironmentAppStore) return;
    const std::string time = pf::format("%.0f", pf::Clock::current().now());
    pingServerForIntegrationStartWorkflowWithTimeString(time, appIdentifier_);
    if (liveIdentifier_) pingServerForIntegrationStartWorkflowWithTimeString(time, liveIdentifier_);
}

void PKRPelkorManager::pingServerForIntegrationStartWorkflowWithTimeString(const std::string& timeString,
                                                                           const OptionalString& appIdentifier) {
    constexpr const char* kMethod =
        "-[PKRPelkorManager pingServerForIntegrationStartWorkflowWithTimeString:appIdentifier:]";
    if (!appIdentifier || appEnvironment_ == kPKREnvironmentAppStore) return;
    const std::string path = "api/3/apps/" + encoded_app_identifier(appIdentifier) + "/integration";
    PKR_LOG_INFO(kMethod, "Sending integration workflow ping to %s", path.c_str());
    PKRPelkorAppClient::Parameters parameters = {
        {"timestamp", timeString},
        {"sdk", "PelkorSDK"},
        {"sdk_version", version()},
        {"bundle_version", pf::Bundle::main().objectForInfoDictionaryKey("CFBundleVersion").stringValue()}};
    pelkorAppClient()->postPath(path, parameters,
                                [](PKRHTTPOperation& op, const PKRHTTPOperation::Data*, const pf::Error*) {
                                    logPingMessageForStatusCode(op.statusCode());
                                });
}

void PKRPelkorManager::logPingMessageForStatusCode(int64_t statusCode) {
    constexpr const char* kMethod = "-[PKRPelkorManager logPingMessageForStatusCode:]";
    switch (statusCode) {
    case 201: PKR_LOG_INFO(kMethod, "Ping accepted."); break;
    case 200: PKR_LOG_INFO(kMethod, "Ping accepted. Server already knows."); break;
    case 400: PKR_LOG_ERROR(kMethod, "App ID not found"); break;
    default: PKR_LOG_ERROR(kMethod, "Unknown error");
    }
}

void PKRPelkorManager::setUserID(const OptionalString& v) {
    userID_ = v;
    modifyKeychainUserValue(v, "PKRPelkorMetaUserID");
}

void PKRPelkorManager::setUserName(const OptionalString& v) {
    userName_ = v;
    modifyKeychainUserValue(v, "PKRPelkorMetaUserName");
}

void PKRPelkorManager::setUserEmail(const OptionalString& v) {
    userEmail_ = v;
    modifyKeychainUserValue(v, "PKRPelkorMetaUserEmail");
}

void PKRPelkorManager::modifyKeychainUserValue(const OptionalString& value, const std::string& key) const {
    constexpr const char* kMethod = "-[PKRPelkorManager modifyKeychainUserValue:forKey:]";
    pf::Error error;
    const std::string service = keychain_service_name();
    bool ok = true;
    const char* verb = "update";
    if (value) {
        ok = PKRKeychainUtils::storeUsername(key, value, service, true,
                                             platform::security::kAccessibleAlwaysThisDeviceOnly, &error);
    } else if (PKRKeychainUtils::getPasswordForUsername(key, service)) {
        verb = "delete";
        ok = PKRKeychainUtils::deleteItemForUsername(key, service, &error);
    }
    if (!ok)
        PKR_LOG_ERROR(kMethod, "Couldn't %s key %s in the keychain. %s", verb, key.c_str(),
                      error.description().c_str());
}
