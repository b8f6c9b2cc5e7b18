#pragma once
// Base of the crash report manager's component managers (the crash manager):
// the app identifier, environment and server URL, keychain access in the
// SDK's service, device facts, the RFC 3339 date parser and the window
// look-up for screens it presents.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/graphics/Color.h"
#include "platform/ui/NavigationController.h"

namespace platform::ui {
class ViewController;
class Window;
}  // namespace platform::ui

// Where reports go when the application sets no server URL: a name that never
// resolves, so nothing leaves the machine unless a service is named.
inline constexpr const char* kPKRDefaultServerURL = "https://sdk.pelkorapp.example/";
// The platform's form-sheet presentation style.
inline constexpr int64_t kPKRModalPresentationFormSheet = 2;

class PKRPelkorBaseManager {
public:
    using OptionalString = std::optional<std::string>;

    PKRPelkorBaseManager();
    PKRPelkorBaseManager(OptionalString appIdentifier, int64_t appEnvironment);
    virtual ~PKRPelkorBaseManager() = default;

    virtual void startManager() {}
    // Debug line "ERROR: <description>".
    void reportError(const platform::foundation::Error& error) const;
    std::string encodedAppIdentifier() const;
    bool isPreiOS7Environment() const;
    // The hardware model ("hw.machine").
    std::string getDevicePlatform() const;
    // The executable's LC_UUID as 32 lower-case hex digits; "" when unknown.
    std::string executableUUID() const;

    // Values in the SDK's keychain service under `key`; false or nil on any
    // failure. A lookup that failed (rather than found nothing) says why in `error`.
    bool addStringValueToKeychain(const OptionalString& value, const OptionalString& key) const;
    bool addStringValueToKeychainForThisDeviceOnly(const OptionalString& value, const OptionalString& key) const;
    OptionalString stringValueFromKeychainForKey(const OptionalString& key,
                                                 platform::foundation::Error* error = nullptr) const;
    bool removeKeyFromKeychain(const OptionalString& key) const;

    // "yyyy-MM-ddTHH:mm:ssZ" in UTC, as seconds since 1970.
    std::optional<double> parseRFC3339Date(const std::string& text) const;

    // The key window (null when there is none).
    platform::ui::Window* findVisibleWindow() const;
    // The topmost controller presented over the visible window's root.
    std::shared_ptr<platform::ui::ViewController> visibleWindowRootViewController();
    std::shared_ptr<platform::ui::NavigationController> customNavigationControllerWithRootViewController(
        std::shared_ptr<platform::ui::ViewController> root, int64_t presentationStyle) const;
    virtual void showView(std::shared_ptr<platform::ui::ViewController> /*controller*/) {}

    const std::string& serverURL() const { return serverURL_; }
    void setServerURL(std::string url) { serverURL_ = std::move(url); }
    platform::ui::BarStyle barStyle() const { return barStyle_; }
    void setBarStyle(platform::ui::BarStyle style) { barStyle_ = style; }
    const std::optional<platform::graphics::Color>& navigationBarTintColor() const { return navigationBarTintColor_; }
    void setNavigationBarTintColor(std::optional<platform::graphics::Color> color) { navigationBarTintColor_ = color; }
    int64_t modalPresentationStyle() const { return modalPresentationStyle_; }
    void setModalPresentationStyle(int64_t style) { modalPresentationStyle_ = style; }
    const OptionalString& appIdentifier() const { return appIdentifier_; }
    void setAppIdentifier(OptionalString identifier) { appIdentifier_ = std::move(identifier); }
    int64_t appEnvironment() const { return appEnvironment_; }

protected:
    // The controller the application wants screens presented from (the pelkor
    // manager's delegate answers it); null lets the visible window decide.
    virtual std::shared_ptr<platform::ui::ViewController> delegateViewController() { return nullptr; }

private:
    bool storeInKeychain(const OptionalString& value, const OptionalString& key, const char* accessibility) const;

    std::string serverURL_ = kPKRDefaultServerURL;
    platform::ui::BarStyle barStyle_;
    std::optional<platform::graphics::Color> navigationBarTintColor_;
    int64_t modalPresentationStyle_ = kPKRModalPresentationFormSheet;
    OptionalString appIdentifier_;
    int64_t appEnvironment_ = 0;
};
