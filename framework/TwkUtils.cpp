#include "framework/TwkUtils.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "analytics/TLYHitUtil.h"
#include "platform/audio/SystemSound.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/Unicode.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/graphics/Color.h"
#include "platform/graphics/Context.h"
#include "platform/graphics/Image.h"
#include "platform/net/URLConnection.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Animation.h"
#include "platform/ui/Application.h"
#include "platform/ui/Compositor.h"
#include "platform/ui/Device.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/LocalNotification.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/Screen.h"
#include "platform/ui/TextInputMode.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/WebView.h"
#include "platform/ui/Window.h"

namespace pf = platform::foundation;
namespace ui = platform::ui;

namespace {

// The language part of a language identifier ("zh-Hant" -> "zh").
std::string languagePart(const std::string& text) { return text.substr(0, text.find('-')); }

int64_t sizeOfValue(const pf::Value& v, const TwkUtils::LeafSize& leafSize);

int64_t sizeOfDict(const pf::Value& dict, const TwkUtils::LeafSize& leafSize) {
    if (!dict.isDictionary()) return 0;
    int64_t total = 0;
    for (const auto& [key, value] : dict.dictionary()) total += leafSize(pf::Value(key)) + sizeOfValue(value, leafSize);
    return total;
}

int64_t sizeOfArray(const pf::Value& array, const TwkUtils::LeafSize& leafSize) {
    if (!array.isArray()) return 0;
    int64_t total = 0;
    for (const auto& element : array.array()) total += sizeOfValue(element, leafSize);
    return total;
}

int64_t sizeOfValue(const pf::Value& v, const TwkUtils::LeafSize& leafSize) {
    if (v.isDictionary()) return sizeOfDict(v, leafSize);
    if (v.isArray()) return sizeOfArray(v, leafSize);
    return leafSize(v);
}

}  // namespace

std::shared_ptr<TwkUtils> TwkUtils::sharedInstance() {
    static std::mutex mutex;
    static std::shared_ptr<TwkUtils> instance;
    std::lock_guard<std::mutex> lock(mutex);
    if (!instance) instance = std::make_shared<TwkUtils>();
    return instance;
}

// Device and screen.

bool TwkUtils::onIPad() { return ui::Device::current().userInterfaceIdiom() == ui::UserInterfaceIdiom::Pad; }

bool TwkUtils::onLargeiPhone() { return !onIPad() && screenHeight() > 568.0; }

double TwkUtils::screenHeight() {
    const auto bounds = ui::Screen::main().bounds();
    return std::max(bounds.size.width, bounds.size.height);
}

bool TwkUtils::has4InchesScreen() {
    auto& screen = ui::Screen::main();
    return screen.scale() == 2.0 && screen.bounds().size.height * screen.scale() == 1136.0 &&
           ui::Device::current().userInterfaceIdiom() == ui::UserInterfaceIdiom::Phone;
}

bool TwkUtils::isIpadMini() {
    const std::string hw = getHardwareModel();
    return hw == "iPad2,5" || hw == "iPad2,6" || hw == "iPad2,7";
}

std::string TwkUtils::getHardwareModel() { return ui::Device::current().hardwareIdentifier(); }

std::string TwkUtils::getMachineName() { return getHardwareModel(); }

std::optional<std::string> TwkUtils::getDetectedDeviceName() {
    const std::string& model = ui::Device::current().model();
    if (model == "iPhone" || getMachineName() == "x86_64") {
        const double height = ui::Screen::main().bounds().size.height;
        if (height == 568.0) return "iPhone5";
        if (height == 667.0) return "iPhone6";
        if (height == 736.0) return "iPhone6+";
        return std::nullopt;
    }
    return model == "iPod touch" ? "iPod" : "iPad";
}

float TwkUtils::getScale() { return isRunningAtLeastOS4() ? static_cast<float>(ui::Screen::main().scale()) : 1.0f; }

bool TwkUtils::isMultitaskingSupported() {
    return isRunningAtLeastOS4() && ui::Device::current().isMultitaskingSupported();
}

// No printing service exists on this platform.
bool TwkUtils::canPrint() { return false; }

// System version. The feature tests ask what the platform offers: application
// state, screen brightness and compose sheets are always there.

bool TwkUtils::isRunningAtLeastOS4() { return true; }
bool TwkUtils::isRunningAtLeastOS5() { return true; }
bool TwkUtils::isRunningAtLeastOS6() { return true; }

int TwkUtils::majorVersion(const std::string& systemVersion) {
    return std::atoi(systemVersion.substr(0, systemVersion.find('.')).c_str());
}

bool TwkUtils::isRunningAtLeastiOS7() { return majorVersion(ui::Device::current().systemVersion()) > 6; }
bool TwkUtils::isRunningAtLeastiOS8() { return majorVersion(ui::Device::current().systemVersion()) > 7; }
bool TwkUtils::isRunningOS7orLower() { return majorVersion(ui::Device::current().systemVersion()) < 8; }

bool TwkUtils::isRunningInBackground() {
    return isRunningAtLeastOS4() && ui::Application::shared().applicationState() == ui::ApplicationState::Background;
}

// Language and locale.

std::string TwkUtils::getLang() {
    const pf::Value languages = pf::UserDefaults::standard().objectForKey("AppleLanguages");
    if (languages.isArray() && languages.size() > 0 && languages.at(0).isString()) return languages.at(0).string();
    return "en";
}

std::string TwkUtils::getLangNoDash() {
    std::string lang = getLang();
    std::replace(lang.begin(), lang.end(), '-', '_');
    return lang;
}

std::string TwkUtils::getLocale() {
    const std::string stored = pf::UserDefaults::standard().stringForKey("AppleLocale");
    if (!stored.empty()) return stored;
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (!v || !*v) continue;
        std::string locale(v);
        locale = locale.substr(0, locale.find_first_of(".@"));
        if (locale == "C" || locale == "POSIX" || locale.empty()) break;
        return locale;
    }
    return "en_US";
}

bool TwkUtils::isArabic() { return languagePart(getLang()) == "ar"; }

bool TwkUtils::isChineseOrJapanese() {
    const std::string lang = languagePart(getLang());
    return lang == "zh" || lang == "ja";
}

bool TwkUtils::isSmallCharsLanguage() { return isSmallCharsLanguageForLocale(getLang()); }

bool TwkUtils::isSmallCharsLanguageForLocale(const std::string& languageOrLocale) {
    static const char* const kSmall[] = {"zh", "ja", "ko", "ar", "hi", "cn", "hk"};
    // Locales ("zh_CN") are accepted here as well as language identifiers.
    std::string text = languageOrLocale;
    std::replace(text.begin(), text.end(), '_', '-');
    const std::string lang = languagePart(text);
    return std::any_of(std::begin(kSmall), std::end(kSmall), [&](const char* s) { return lang == s; });
}

bool TwkUtils::hasKeyboardChineseLanguage() {
    const auto modes = ui::TextInputMode::activeInputModes();
    return std::any_of(modes.begin(), modes.end(),
                       [](const std::string& m) { return m == "zh-Hans" || m == "zh-Hant"; });
}

pf::Calendar TwkUtils::zeroCalendar() {
    pf::Calendar calendar;
    calendar.setTimeZoneSecondsFromGMT(0);
    return calendar;
}

// Resources and Info.plist.

std::shared_ptr<pf::Bundle> TwkUtils::getResourceBundle() {
    auto path = pf::Bundle::main().pathForResource("TWKResourcesMain", "bundle");
    return path ? pf::Bundle::bundleWithPath(*path) : nullptr;
}

std::optional<std::string> TwkUtils::getResourcePath(const std::string& name, const std::string& type) {
    auto bundle = getResourceBundle();
    return bundle ? bundle->pathForResource(name, type) : std::nullopt;
}

std::shared_ptr<platform::graphics::Image> TwkUtils::getBundleImage(const std::string& fileName) {
    return platform::graphics::Image::named(std::string(kResourceBundleName) + "/" + fileName);
}

std::shared_ptr<platform::graphics::Image> TwkUtils::getBundleImageFree(const std::string& fileName) {
    return platform::graphics::Image::named(std::string(kFreeBundleName) + "/" + fileName);
}

std::shared_ptr<platform::graphics::Image> TwkUtils::imageNamedNoCache(const std::string& fileNameWithExtension) {
    auto path = getResourcePath(pf::FileManager::deletingPathExtension(fileNameWithExtension),
                                pf::FileManager::pathExtension(fileNameWithExtension));
    return path ? platform::graphics::Image::fromFile(*path) : nullptr;
}

std::string TwkUtils::fileURL(const std::string& path) { return "file://" + pf::percentEncoded(path, "/-_.~"); }

std::string TwkUtils::getAppFolder() { return pf::Bundle::main().bundlePath(); }

pf::Value TwkUtils::getPlistKey(const std::string& key) { return pf::Bundle::main().objectForInfoDictionaryKey(key); }

std::string TwkUtils::getAppVersionString() { return getPlistKey("CFBundleVersion").stringValue(); }

std::optional<std::string> TwkUtils::getAppNameTranslated() {
    std::optional<std::string> name;
    if (const pf::Value display = getPlistKey("CFBundleDisplayName"); display.isString()) name = display.string();
    if (auto* details = dynamic_cast<TWKApplicationDetails*>(ui::Application::shared().delegate())) {
        const std::string translated = details->getTarnowickAppName();
        // The untranslated key means the string table had no entry.
        if (!translated.empty() && translated != "app_name_free") name = translated;
    }
    return name;
}

bool TwkUtils::isUlmarokBrand() { return getPlistKey("ulvarek-brand").boolValue(); }

// Threads.

void TwkUtils::runOnMainSafely(std::function<void()> block) {
    if (pf::Thread::isMainThread())
        block();
    else
        pf::dispatch::mainQueue().async(std::move(block));
}

void TwkUtils::showAlertWithTitle(const std::string& title, const std::string& body) {
    pf::dispatch::mainQueue().async([title, body] { ui::Alert::make(title, body, nullptr, "OK")->show(); });
}

void TwkUtils::showModalControllerFromAnyWhere(std::shared_ptr<ui::ViewController> controller,
                                               std::function<void()> completion) {
    auto* delegate = ui::Application::shared().delegate();
    auto window = delegate ? delegate->window() : nullptr;
    auto from = window ? ui::rootViewController(*window) : nullptr;
    if (!from) return;
    pf::log("Root class is:" + from->nibClassName());
    if (auto nav = std::dynamic_pointer_cast<ui::NavigationController>(from)) {
        if (auto top = nav->topViewController()) from = top;
    }
    if (auto presented = from->presentedViewController()) from = presented;
    pf::log("Root class really is is:" + from->nibClassName());
    from->presentViewController(std::move(controller), true, std::move(completion));
}

void TwkUtils::makeTransparentWebView(ui::WebView& webView) {
    webView.setOpaque(false);
    webView.setBackgroundColor(platform::graphics::Color::clear());
    if (webView.subviews().empty()) return;
    for (const auto& v : webView.subviews().front()->subviews())
        if (std::dynamic_pointer_cast<ui::ImageView>(v)) v->setHidden(true);
}

std::shared_ptr<ui::ScrollView> TwkUtils::getScrollViewFromWebView(const ui::WebView& webView) {
    return webView.scrollView();
}

void TwkUtils::increaseFontSizeOnIpadMiniForWebView(ui::WebView& webView) {
    char script[128];
    std::snprintf(script, sizeof script, "document.getElementsByTagName('body')[0].style.webkitTextSizeAdjust= '%d%%'",
                  140);
    webView.stringByEvaluatingJavaScriptFromString(script);
}

std::shared_ptr<platform::graphics::Image> TwkUtils::takeScreenshot() {
    const ui::Screen& screen = ui::Screen::main();
    auto size = screen.bounds().size;
    // Before iOS 7 the status bar's 20 points lay above the application.
    const bool belowSeven = !isRunningAtLeastiOS7();
    if (belowSeven) size.height -= 20;
    auto context = platform::graphics::Context::beginImageContext(size, false, screen.scale());
    // There is one screen: every window is on it.
    for (ui::Window* window : ui::Window::windows()) {
        window->prepareFrame();
        context->save();
        if (belowSeven) context->translate(0, -20);
        // The window's layer places itself by its position, transform and anchor point.
        ui::Compositor::render(*window->layer(), *context, ui::currentMediaTime());
        context->restore();
    }
    return context->takeImage();
}

float TwkUtils::componentValue(uint32_t index, const platform::graphics::Color& color) {
    return index < color.numberOfComponents() ? static_cast<float>(color.component(index)) : 0.0f;
}

platform::graphics::AttributedString TwkUtils::getBoldStringFromString(const std::string& text,
                                                                       const platform::graphics::Font& font,
                                                                       const platform::graphics::Color& color) {
    platform::graphics::AttributedString out(text);
    out.addAttributes({font, color}, 0, text.size());
    return out;
}

// Sounds.

void TwkUtils::playSimpleSoundWithName(const std::string& name) {
    auto path = pf::Bundle::main().pathForResource(name, "");
    if (!path) return;
    // A file URL, so that paths with blanks or other reserved characters play too.
    platform::audio::SystemSoundID id = 0;
    if (platform::audio::SystemSound::create(fileURL(*path), &id) == platform::audio::kNoErr)
        platform::audio::SystemSound::play(id);
}

void TwkUtils::presentLocalNotificationWithSound(const std::string& soundName, const std::string& text, float delay) {
    if (!isRunningAtLeastOS4()) return;
    ui::LocalNotifications::cancelAllLocalNotifications();
    ui::LocalNotification n;
    n.fireDate = pf::Clock::current().now() + delay;
    n.soundName = soundName;
    n.alertBody = text;
    ui::LocalNotifications::scheduleLocalNotification(n);
}

void TwkUtils::presentLocalNotificationWithSound(const std::string& soundName, const std::string& text) {
    if (!isRunningAtLeastOS4()) return;
    ui::LocalNotifications::cancelAllLocalNotifications();
    ui::LocalNotification n;
    n.fireDate = pf::Clock::current().now();
    n.soundName = soundName;
    n.alertBody = text;
    ui::LocalNotifications::presentLocalNotificationNow(n);
}

// Hashing, encoding, sizes, download.

std::string TwkUtils::md5(const std::string& text) { return pf::uppercased(TLYHitUtil::md5Hex(text)); }

std::string TwkUtils::urlEncode(const std::string& text) { return pf::percentEncoded(text, "-_.~"); }

int64_t TwkUtils::memSizeOfObject(const pf::Value& object) {
    int64_t payload = 0;
    if (object.isString() || object.isData()) payload = static_cast<int64_t>(object.size());
    return static_cast<int64_t>(sizeof(pf::Value)) + payload;
}

int64_t TwkUtils::memSizeOfDict(const pf::Value& dict) { return memSizeOfDict(dict, memSizeOfObject); }
int64_t TwkUtils::memSizeOfArray(const pf::Value& array) { return memSizeOfArray(array, memSizeOfObject); }

int64_t TwkUtils::memSizeOfDict(const pf::Value& dict, const LeafSize& leafSize) { return sizeOfDict(dict, leafSize); }

int64_t TwkUtils::memSizeOfArray(const pf::Value& array, const LeafSize& leafSize) {
    return sizeOfArray(array, leafSize);
}

namespace {

// One download with a deadline: the connection delivers here on a serial
// queue, and the waiting thread reads the outcome under the lock.
struct BoundedLoad : platform::net::URLConnectionDelegate {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false, finished = false, success = false;
    platform::net::Data data;

    void didReceiveResponse(platform::net::URLConnection&, const platform::net::URLResponse& r) override {
        std::lock_guard lock(mutex);
        success = r.isSuccess();
    }
    void didReceiveData(platform::net::URLConnection&, const platform::net::Data& d) override {
        std::lock_guard lock(mutex);
        data.insert(data.end(), d.begin(), d.end());
    }
    void connectionDidFinishLoading(platform::net::URLConnection&) override {
        std::lock_guard lock(mutex);
        finished = true;
        end();
    }
    void didFailWithError(platform::net::URLConnection&, const pf::Error&) override {
        std::lock_guard lock(mutex);
        end();
    }
    void end() {
        done = true;
        changed.notify_all();
    }
};

pf::dispatch::Queue& downloadQueue() {
    static auto* queue = new std::shared_ptr<pf::dispatch::Queue>(pf::dispatch::createSerialQueue("TwkUtils.download"));
    return **queue;
}

std::optional<platform::net::Data> loadBounded(platform::net::URLRequest request, size_t maxBytes, double deadline) {
    auto load = std::make_shared<BoundedLoad>();
    // A longer answer fails in the connection itself.
    if (maxBytes < request.maximumResponseBodySize()) request.setMaximumResponseBodySize(maxBytes);
    if (std::isfinite(deadline)) request.setTimeoutInterval(std::min(request.timeoutInterval(), deadline));
    auto connection = platform::net::URLConnection::connectionWithRequest(request, load.get(), false);
    connection->setDelegateQueue(&downloadQueue());
    auto& clock = pf::Clock::current();
    const double end = clock.monotonic() + deadline;
    connection->start();
    bool complete;
    {
        std::unique_lock lock(load->mutex);
        // The deadline is on the process clock, which a test may drive by hand:
        // look at it often rather than sleeping until it.
        while (!load->done && clock.monotonic() < end) load->changed.wait_for(lock, std::chrono::milliseconds(20));
        complete = load->finished && load->success;
    }
    connection->cancel();
    // A delivery already under way may still reach the delegate: it goes when the queue has passed it.
    downloadQueue().async([load] {});
    if (!complete) return std::nullopt;
    std::lock_guard lock(load->mutex);
    return std::move(load->data);
}

}  // namespace

bool TwkUtils::isValidUTF8(const std::string& text) { return pf::isValidUTF8(text); }

std::optional<std::vector<uint8_t>> TwkUtils::loadBoundedData(const std::string& url, size_t maxBytes,
                                                              double deadlineSeconds) {
    return loadBounded(platform::net::URLRequest(url), maxBytes, deadlineSeconds);
}

std::optional<std::string> TwkUtils::loadFromBackendAsGzipWithURL(const std::string& url, size_t maxBytes,
                                                                  double deadlineSeconds) {
    platform::net::URLRequest request(url);
    request.setValue("gzip", "User-Agent");
    request.setValue("gzip", "Accept-Encoding");
    auto data = loadBounded(request, maxBytes, deadlineSeconds);
    // An error page is not the list: only a 2xx answer counts.
    if (!data) return std::nullopt;
    std::string text(data->begin(), data->end());
    if (!pf::isValidUTF8(text)) return std::nullopt;
    return text;
}
