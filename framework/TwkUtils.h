#pragma once
// The framework's utilities: device class and screen tests, system-version
// tests, language and locale, the framework's resource bundle, Info.plist
// values, alerts, the main thread, sounds, MD5, URL encoding, rough memory sizes
// and a synchronous text download. Stateless apart from the shared instance.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Calendar.h"
#include "platform/foundation/Value.h"
#include "platform/graphics/AttributedString.h"

namespace platform::foundation {
class Bundle;
}
namespace platform::graphics {
class Image;
}
namespace platform::ui {
class ScrollView;
class ViewController;
class WebView;
}  // namespace platform::ui

// Adopted by the application delegate to give the application's displayed name.
class TWKApplicationDetails {
public:
    virtual ~TWKApplicationDetails() = default;
    virtual std::string getTarnowickAppName() = 0;
};

class TwkUtils {
public:
    static std::shared_ptr<TwkUtils> sharedInstance();

    // Device and screen.
    static bool onIPad();
    static bool onLargeiPhone();
    static double screenHeight();  // the longer side of the main screen, in points
    static bool has4InchesScreen();
    static bool isIpadMini();
    static std::string getHardwareModel();  // the hardware identifier ("iPhone7,1", "x86_64")
    static std::string getMachineName();
    // "iPhone5", "iPhone6", "iPhone6+", "iPod" or "iPad"; nullopt for a phone of another height.
    static std::optional<std::string> getDetectedDeviceName();
    static float getScale();
    static bool isMultitaskingSupported();
    static bool canPrint();

    // System version.
    static bool isRunningAtLeastOS4();
    static bool isRunningAtLeastOS5();
    static bool isRunningAtLeastOS6();
    static bool isRunningAtLeastiOS7();
    static bool isRunningAtLeastiOS8();
    static bool isRunningOS7orLower();
    static bool isRunningInBackground();
    // The first "."-separated component of a version string, as an integer.
    static int majorVersion(const std::string& systemVersion);

    // Language and locale.
    static std::string getLang();  // first of "AppleLanguages", else "en"
    static std::string getLangNoDash();
    static std::string getLocale();
    static bool isArabic();
    static bool isChineseOrJapanese();
    static bool isSmallCharsLanguage();
    static bool isSmallCharsLanguageForLocale(const std::string& languageOrLocale);
    // One of the user's keyboard input sources is Simplified or Traditional Chinese.
    static bool hasKeyboardChineseLanguage();
    // A new Gregorian calendar at GMT.
    static platform::foundation::Calendar zeroCalendar();

    // Resources and Info.plist.
    static std::shared_ptr<platform::foundation::Bundle> getResourceBundle();  // null when missing
    static std::optional<std::string> getResourcePath(const std::string& name, const std::string& type);
    static std::shared_ptr<platform::graphics::Image> getBundleImage(const std::string& fileName);
    static std::shared_ptr<platform::graphics::Image> getBundleImageFree(const std::string& fileName);
    static std::shared_ptr<platform::graphics::Image> imageNamedNoCache(const std::string& fileNameWithExtension);
    static std::string getAppFolder();
    // A "file://" URL of a path, with every character a URL cannot carry as
    // itself ('#', '?', '%', blanks, ...) percent-escaped.
    static std::string fileURL(const std::string& path);
    static platform::foundation::Value getPlistKey(const std::string& key);  // null when absent
    static std::string getAppVersionString();
    // The delegate's translated name, else the display name; nullopt when
    // neither exists.
    static std::optional<std::string> getAppNameTranslated();
    static bool isUlmarokBrand();

    // Threads and alerts.
    static void runOnMainSafely(std::function<void()> block);
    // Always later, on the main queue: an alert with one button "OK".
    static void showAlertWithTitle(const std::string& title, const std::string& body);
    // Presents `controller` from the top of the application delegate's window:
    // its root controller, or what that root presents.
    void showModalControllerFromAnyWhere(std::shared_ptr<platform::ui::ViewController> controller,
                                         std::function<void()> completion);
    // Web views: clear and non-opaque, without the edge shadows of their first
    // subview; and the page's text enlarged to 140% (for the iPad mini).
    static void makeTransparentWebView(platform::ui::WebView& webView);
    // The scroll view that carries the page.
    static std::shared_ptr<platform::ui::ScrollView> getScrollViewFromWebView(const platform::ui::WebView& webView);
    static void increaseFontSizeOnIpadMiniForWebView(platform::ui::WebView& webView);
    // The main screen's picture: every window of the application on it, in
    // the application's window order, at the screen's scale.
    static std::shared_ptr<platform::graphics::Image> takeScreenshot();

    static float componentValue(uint32_t index, const platform::graphics::Color& color);
    // The text with the font and colour over all of it.
    static platform::graphics::AttributedString getBoldStringFromString(const std::string& text,
                                                                        const platform::graphics::Font& font,
                                                                        const platform::graphics::Color& color);

    // Sounds: a main-bundle resource (name with extension), played once.
    static void playSimpleSoundWithName(const std::string& name);
    // Replaces the application's local notifications by one with this sound
    // (a main-bundle resource) and text: after `delay` seconds, or at once.
    static void presentLocalNotificationWithSound(const std::string& soundName, const std::string& text, float delay);
    static void presentLocalNotificationWithSound(const std::string& soundName, const std::string& text);

    // Hashing, encoding, sizes, download.
    static std::string md5(const std::string& text);  // 32 upper-case hex digits over every byte
    static std::string urlEncode(const std::string& text);
    static bool isValidUTF8(const std::string& text);
    static int64_t memSizeOfObject(const platform::foundation::Value& object);
    static int64_t memSizeOfDict(const platform::foundation::Value& dict);
    static int64_t memSizeOfArray(const platform::foundation::Value& array);
    // The size of each leaf (neither dictionary nor array) comes from `leafSize`.
    using LeafSize = std::function<int64_t(const platform::foundation::Value&)>;
    static int64_t memSizeOfDict(const platform::foundation::Value& dict, const LeafSize& leafSize);
    static int64_t memSizeOfArray(const platform::foundation::Value& array, const LeafSize& leafSize);
    // GET with "User-Agent" and "Accept-Encoding" both "gzip", on the calling
    // thread. The body as text for a 2xx answer in valid UTF-8; else nullopt,
    // also when the decoded body grows past `maxBytes` or the answer is not
    // complete `deadlineSeconds` (of the process clock) after the start.
    static std::optional<std::string> loadFromBackendAsGzipWithURL(
        const std::string& url, size_t maxBytes = std::numeric_limits<size_t>::max(),
        double deadlineSeconds = std::numeric_limits<double>::infinity());
    // The body of a 2xx answer to a plain GET, on the calling thread, within
    // the same bounds; nullopt otherwise.
    static std::optional<std::vector<uint8_t>> loadBoundedData(const std::string& url, size_t maxBytes,
                                                               double deadlineSeconds);

    static constexpr const char* kResourceBundleName = "TWKResourcesMain.bundle";
    static constexpr const char* kFreeBundleName = "TWKResourcesFree.bundle";
};
