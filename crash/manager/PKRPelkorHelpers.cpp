#include "crash/manager/PKRPelkorHelpers.h"

#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>
#include <mutex>
#include <random>

#include "crash/manager/PKRKeychainUtils.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Sandbox.h"
#include "platform/security/Keychain.h"
#include "platform/ui/Device.h"

using platform::foundation::Bundle;
using platform::foundation::FileManager;

namespace {

std::string executablePath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

// The anonymous identifier of the keychain it was read from or written to;
// read again when the sandbox (and with it the keychain) changes.
struct AnonymousID {
    std::mutex mutex;
    std::string keychainPath;
    std::optional<std::string> value;
};

AnonymousID& anonymousID() {
    static AnonymousID& id = *new AnonymousID;  // background writes may outlive exit
    return id;
}

void storeAnonymousIDInBackground(const std::string& value) {
    std::string service = keychain_service_name();
    platform::foundation::dispatch::globalQueue(platform::foundation::dispatch::Priority::Background)
        .async([value, service] {
            PKRKeychainUtils::storeUsername(std::string(kPKRAnonymousIDKey), value, service, true,
                                            platform::security::kAccessibleAlwaysThisDeviceOnly);
        });
}

}  // namespace

bool is_running_in_app_extension() {
    static const bool inExtension = executablePath().find(".appex/") != std::string::npos;
    return inExtension;
}

std::string settings_dir() {
    std::string dir = FileManager::joinPath(platform::foundation::Sandbox::caches(), "net.pelkorapp.sdk.ios");
    // The folder's own mode is open to read; the private Caches folder above
    // it keeps it from others. Never a link out of the sandbox. A creation
    // failure shows later, where files are written into it.
    FileManager::makeRealDirectory(dir, 0755);
    return dir;
}

std::string main_bundle_identifier() { return Bundle::main().bundleIdentifier(); }

std::string keychain_service_name() { return main_bundle_identifier() + ".PelkorSDK"; }

std::string url_encoded_string(const std::string& text) {
    static constexpr std::string_view kEscaped = "!*'();:@&=+$,/?%#[] {}";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (kEscaped.find(char(c)) == std::string_view::npos) {
            out += char(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string encoded_app_identifier(const std::optional<std::string>& identifier) {
    return url_encoded_string(identifier ? *identifier : main_bundle_identifier());
}

std::string app_display_name(const std::string& placeholder) {
    const Bundle& bundle = Bundle::main();
    for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
        // The localised Info.plist value, then the plain one.
        std::string localized = bundle.localizedString(key, "", "InfoPlist");
        if (localized != key) return localized;
        if (auto v = bundle.objectForInfoDictionaryKey(key); v.isString()) return v.string();
    }
    return placeholder;
}

std::string new_uuid_string() {
    std::array<uint8_t, 16> b;
    {
        static std::mutex m;
        static std::random_device device;
        std::lock_guard lock(m);
        for (size_t i = 0; i < b.size(); i += 4) {
            uint32_t r = device();
            std::memcpy(&b[i], &r, 4);
        }
    }
    b[6] = uint8_t((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = uint8_t((b[8] & 0x3F) | 0x80);  // the standard variant
    return platform::foundation::format("%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                                        b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                                        b[13], b[14], b[15]);
}

std::optional<std::string> app_anonymous_id(bool forceNew, platform::foundation::Error* error) {
    if (error) *error = platform::foundation::Error();
    AnonymousID& id = anonymousID();
    std::lock_guard lock(id.mutex);
    std::string keychain = platform::security::Keychain::path();
    if (forceNew) {
        id.value = new_uuid_string();
        id.keychainPath = keychain;
        storeAnonymousIDInBackground(*id.value);
    } else if (id.keychainPath != keychain) {
        platform::foundation::Error readError;
        std::optional<std::string> stored = PKRKeychainUtils::getPasswordForUsername(
            std::string(kPKRAnonymousIDKey), keychain_service_name(), &readError);
        if (readError.code == platform::security::kInteractionNotAllowed) {
            if (error) *error = readError;
            return std::nullopt;
        }
        id.keychainPath = keychain;
        id.value = std::move(stored);
        if (!id.value) {
            id.value = new_uuid_string();
            storeAnonymousIDInBackground(*id.value);
        }
    }
    return id.value;
}

bool is_ios7_or_later() {
    const std::string version = platform::ui::Device::current().systemVersion();
    return std::atoi(version.c_str()) >= 7;
}

bool has_sandbox_receipt() { return Bundle::main().pathForResource("sandboxReceipt", "", "StoreKit").has_value(); }

bool has_embedded_provision() { return Bundle::main().pathForResource("embedded", "mobileprovision").has_value(); }

int64_t current_app_environment() {
    if (has_embedded_provision()) return kPKREnvironmentOther;
    if (!is_ios7_or_later()) return kPKREnvironmentAppStore;
    if (has_sandbox_receipt()) return kPKREnvironmentSandboxReceipt;
    return kPKREnvironmentAppStore;
}

std::shared_ptr<Bundle> sdk_resource_bundle() {
    // Kept while the main bundle stays where it is, so its tables are read once.
    static std::mutex m;
    static std::string mainPath;
    static std::shared_ptr<Bundle> bundle;
    std::lock_guard lock(m);
    const std::string& path = Bundle::main().bundlePath();
    if (path != mainPath || !bundle) {
        mainPath = path;
        bundle = Bundle::bundleWithPath(FileManager::joinPath(path, kPKRSDKResourceBundleName));
    }
    return bundle;
}

std::string localized_sdk_string(const std::optional<std::string>& key) {
    if (!key) return "";
    // An empty default makes the lookup answer the key itself when the table lacks it.
    std::string main = Bundle::main().localizedString(*key, "", "Localizable");
    if (main != *key) return main;
    if (auto bundle = sdk_resource_bundle()) return bundle->localizedString(*key, "", "PelkorSDK");
    return *key;
}

bool PKRPelkorHelper::isURLSessionSupported() {
    constexpr bool kPlatformHasUploadSessions = false;
    return kPlatformHasUploadSessions && !is_running_in_app_extension();
}
