#pragma once
// The crash report manager's process-wide helpers: its folder, the keychain
// service and anonymous installation identifier, the installation's
// environment, URL encoding, UUID strings and the SDK resource bundle with its
// strings.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

namespace platform::foundation {
class Bundle;
}

// current_app_environment
inline constexpr int64_t kPKREnvironmentAppStore = 0;
inline constexpr int64_t kPKREnvironmentSandboxReceipt = 1;
inline constexpr int64_t kPKREnvironmentOther = 99;

inline constexpr const char* kPKRSDKResourceBundleName = "PelkorSDKResources.bundle";
inline constexpr const char* kPKRAnonymousIDKey = "appAnonID";

// The main executable lies inside an app extension (".appex/").
bool is_running_in_app_extension();
// "net.pelkorapp.sdk.ios" in the sandbox's Caches, created (0755) when missing.
std::string settings_dir();
// "<main bundle identifier>.PelkorSDK".
std::string keychain_service_name();
std::string main_bundle_identifier();
// The identifier (the main bundle's when absent), URL-encoded.
std::string encoded_app_identifier(const std::optional<std::string>& identifier);
// Percent-encodes the characters !*'();:@&=+$,/?%#[] {} and space; every
// other character stays as it is.
std::string url_encoded_string(const std::string& text);
// The localised or plain display name, else the bundle name, else `placeholder`.
std::string app_display_name(const std::string& placeholder);
// A new random UUID, upper case and hyphenated.
std::string new_uuid_string();
// The installation's anonymous identifier, kept in the keychain; made once per
// keychain, or anew when `forceNew`. The keychain write runs in the background.
// While the keychain cannot be used now, nil with its status in `error`: the
// stored identifier is read again at the next call, never replaced.
std::optional<std::string> app_anonymous_id(bool forceNew = false, platform::foundation::Error* error = nullptr);
bool is_ios7_or_later();
// The receipt a sandbox (test-store) installation carries: StoreKit/sandboxReceipt
// in the main bundle.
bool has_sandbox_receipt();
// A provisioning profile "embedded.mobileprovision" in the main bundle.
bool has_embedded_provision();
// 0 App Store, 1 sandbox receipt, 99 other (a provisioned build).
int64_t current_app_environment();
// PelkorSDKResources.bundle beside the main bundle's resources; null when absent.
std::shared_ptr<platform::foundation::Bundle> sdk_resource_bundle();
// The main bundle's translation when it has one other than the key, else the
// resource bundle's "PelkorSDK" table, else the key ("" for a missing key).
std::string localized_sdk_string(const std::optional<std::string>& key);

class PKRPelkorHelper {
public:
    // Uploads go through URL sessions only where the platform has them; ours
    // offers URL connections, so the operation queue carries them.
    static bool isURLSessionSupported();
};
