#include "app/MainViewController.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "app/BatteryFillView.h"
#include "app/BatteryImage.h"
#include "app/BatteryInfo.h"
#include "app/MainContentView.h"
#include "app/SoundEffect.h"
#include "framework/ColorPickerImageView.h"
#include "framework/DeviceDetection.h"
#include "framework/GSVButton.h"
#include "framework/GSVLabel.h"
#include "framework/GSVTextField.h"
#include "framework/GSVTextView.h"
#include "framework/GSVVerticalSlider.h"
#include "framework/PickerAwareScrollView.h"
#include "framework/TWKButtonDark.h"
#include "framework/TWKReviewPopupButton.h"
#include "framework/TWKTableViewCell.h"
#include "framework/TwkUtils.h"
#include "framework/UILabelUnderlined.h"
#include "framework/UIPaddingLabel.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Application.h"
#include "platform/ui/ClassRegistry.h"
#include "platform/ui/Device.h"
#include "platform/ui/GradientLayer.h"
#include "platform/ui/NotificationNames.h"
#include "platform/ui/Screen.h"
#include "platform/ui/WebView.h"

using platform::foundation::Bundle;
using platform::foundation::NotificationCenter;
using platform::foundation::RunLoop;
using platform::foundation::Timer;
using platform::foundation::UserDefaults;
using platform::graphics::Color;
using platform::graphics::Image;
using platform::graphics::Rect;
using platform::ui::Application;
using platform::ui::Control;
using platform::ui::Device;
using platform::ui::GradientLayer;
using platform::ui::InterfaceOrientation;
using platform::ui::Screen;
using platform::ui::View;

namespace {

std::string text(const char* key) { return Bundle::main().localizedString(key, "", "BatteryLocalizable"); }

template <class V>
void hide(const std::shared_ptr<V>& v, bool hidden) {
    if (v) v->setHidden(hidden);
}

template <class V>
void setText(const std::shared_ptr<V>& label, const std::string& s) {
    if (label) label->setText(s);
}

template <class V>
void moveCenterY(const std::shared_ptr<V>& v, double y) {
    if (v) v->setCenter({v->center().x, y});
}

// How a row of the outlet table reaches its member.
struct OutletMember {
    void (*connect)(MainViewController& owner, platform::ui::ConnectionTable& table, const char* name);
    std::shared_ptr<View> (*view)(const MainViewController& owner);
};

template <class V>
std::shared_ptr<View> asView(const std::shared_ptr<V>& v) {
    return v;
}
template <class V>
std::shared_ptr<View> asView(const std::weak_ptr<V>& v) {
    return v.lock();
}

// The member `M` (a pointer to a member of MainViewController), or element `I` of it.
template <auto M>
constexpr OutletMember member() {
    return {[](MainViewController& c, platform::ui::ConnectionTable& t, const char* name) { t.outlet(name, c.*M); },
            [](const MainViewController& c) { return asView(c.*M); }};
}
template <auto M, size_t I>
constexpr OutletMember element() {
    return {
        [](MainViewController& c, platform::ui::ConnectionTable& t, const char* name) { t.outlet(name, (c.*M)[I]); },
        [](const MainViewController& c) { return asView((c.*M)[I]); }};
}

// What a refresh does with a view's hidden flag.
struct Hiding {
    enum class Rule { Leave, Show, Follow, HideOnly } rule = Rule::Leave;
    bool BatteryEstimate::*flag = nullptr;

    void apply(View& v, const BatteryEstimate& e) const {
        switch (rule) {
        case Rule::Leave: break;
        case Rule::Show: v.setHidden(false); break;
        case Rule::Follow: v.setHidden(e.*flag); break;
        case Rule::HideOnly:
            if (e.*flag) v.setHidden(true);
            break;
        }
    }
};

}  // namespace

// An outlet of the interface files and what the screen does with its view:
// its title when the view loads; its text, alpha and hidden flag on every
// refresh; its alpha with the text's; its move with the one-time row shift.
struct MainViewController::OutletRow {
    const char* name;
    OutletMember member;
    const char* titleKey = nullptr;                  // its title, from "BatteryLocalizable", when the view loads
    std::string BatteryEstimate::*figure = nullptr;  // its text on every refresh
    double BatteryEstimate::*alpha = nullptr;        // its alpha on every refresh
    Hiding hiding;
    bool fadesWithText = false;  // takes the screen's text opacity
    Point shift;                 // moved by the one-time row shift

    OutletRow(const char* n, OutletMember m) : name(n), member(m) {}
    OutletRow& title(const char* key) {
        titleKey = key;
        return *this;
    }
    OutletRow& shows(std::string BatteryEstimate::*f) {
        figure = f;
        return *this;
    }
    OutletRow& alphaFrom(double BatteryEstimate::*a) {
        alpha = a;
        return *this;
    }
    // Shown on every refresh.
    OutletRow& shown() {
        hiding = {Hiding::Rule::Show};
        return *this;
    }
    // Hidden or shown on every refresh as `flag` says.
    OutletRow& hiddenAs(bool BatteryEstimate::*flag) {
        hiding = {Hiding::Rule::Follow, flag};
        return *this;
    }
    // Hidden by a refresh where `flag` is true, and never shown again by one.
    OutletRow& hiddenOnlyBy(bool BatteryEstimate::*flag) {
        hiding = {Hiding::Rule::HideOnly, flag};
        return *this;
    }
    OutletRow& fading() {
        fadesWithText = true;
        return *this;
    }
    OutletRow& shifted(double dx, double dy) {
        shift = {dx, dy};
        return *this;
    }
};

const std::vector<MainViewController::OutletRow>& MainViewController::outletRows() {
    using C = MainViewController;
    using E = BatteryEstimate;
    using S = BatteryRowShift;
    using Row = OutletRow;
    static const std::vector<OutletRow> rows = {
        Row("mainScrollView", member<&C::mainScrollView_>()),
        Row("mainContentView", member<&C::mainContentView_>()),
        Row("buttonMoreApps", member<&C::buttonMoreApps_>()),
        Row("buttonSettings", member<&C::buttonSettings_>()),
        Row("labelScrollDown", member<&C::labelScrollDown_>()).title("must_scroll_down"),
        Row("viewScrollDownInfo", member<&C::viewScrollDownInfo_>()),
        Row("detailView", member<&C::detailView_>()),
        Row("viewAllInfo", member<&C::viewAllInfo_>()),
        Row("viewTitleBox", member<&C::viewTitleBox_>()),
        Row("bgImage", member<&C::bgImage_>()),
        Row("viewBatteryFill", member<&C::viewBatteryFill_>()),
        Row("imgBulleA", element<&C::bubbles_, 0>()),
        Row("imgBulleB", element<&C::bubbles_, 1>()),
        Row("imgBulleC", element<&C::bubbles_, 2>()),
        Row("imgBulleD", element<&C::bubbles_, 3>()),
        Row("imgBulleE", element<&C::bubbles_, 4>()),
        Row("imageCharging", member<&C::imageCharging_>()).hiddenAs(&E::imageChargingHidden),
        Row("labelPercentage", member<&C::labelPercentage_>()).shows(&E::labelPercentage).fading(),
        Row("labelDevice", member<&C::labelDevice_>()).fading(),
        Row("labelStandby", member<&C::labelStandby_>()).shows(&E::labelStandby).shown().fading(),
        // The activities beside the battery.
        Row("imageMusic", member<&C::imageMusic_>()).fading().shifted(S::kMusicRight, S::kMusicDown),
        Row("labelTitleMusic", member<&C::labelTitleMusic_>())
            .title("music")
            .fading()
            .shifted(S::kMusicRight, S::kMusicDown),
        Row("labelTimeMusic", member<&C::labelTimeMusic_>())
            .shows(&E::labelTimeMusic)
            .fading()
            .shifted(S::kMusicRight, S::kMusicDown),
        Row("imageVideo", member<&C::imageVideo_>()).fading(),
        Row("labelTitleVideo", member<&C::labelTitleVideo_>()).title("video").fading(),
        Row("labelTimeVideo", member<&C::labelTimeVideo_>()).shows(&E::labelTimeVideo).fading(),
        Row("imageWeb", member<&C::imageWeb_>()).hiddenAs(&E::webRowsHidden).fading().shifted(0, S::kWebImageDown),
        Row("labelTitleWeb", member<&C::labelTitleWeb_>())
            .title("browsing")
            .hiddenAs(&E::webRowsHidden)
            .fading()
            .shifted(0, S::kWebTitleDown),
        Row("labelTimeNetWifi", member<&C::labelTimeNetWifi_>())
            .shows(&E::labelTimeNetWifi)
            .hiddenAs(&E::webRowsHidden)
            .fading()
            .shifted(0, S::kNetTextsDown),
        Row("labelTimeNet3G", member<&C::labelTimeNet3G_>())
            .shows(&E::labelTimeNet3G)
            .hiddenAs(&E::net3GHidden)
            .fading()
            .shifted(0, S::kNetTextsDown),
        Row("imageTalk", member<&C::imageTalk_>()).hiddenAs(&E::talkRowsHidden).fading(),
        Row("labelTitleTalk", member<&C::labelTitleTalk_>()).title("talktime").hiddenAs(&E::talkRowsHidden).fading(),
        Row("labelTimeTalk", member<&C::labelTimeTalk_>())
            .shows(&E::labelTimeTalk)
            .hiddenAs(&E::talkRowsHidden)
            .fading(),
        Row("labelTimeTalk3G", member<&C::labelTimeTalk3G_>())
            .shows(&E::labelTimeTalk3G)
            .hiddenAs(&E::talkRowsHidden)
            .fading(),
        // The rows below.
        Row("imageChargeTimeIcon", member<&C::imageChargeTimeIcon_>()).alphaFrom(&E::chargeAlpha),
        Row("labelChargeTime", member<&C::labelChargeTime_>()).title("chargetime").alphaFrom(&E::chargeAlpha),
        Row("labelTimeChargeTime", member<&C::labelTimeChargeTime_>())
            .shows(&E::labelTimeChargeTime)
            .alphaFrom(&E::chargeAlpha),
        Row("labelGames2D", member<&C::labelGames2D_>()).title("games2d"),
        Row("labelTimeGames2D", member<&C::labelTimeGames2D_>()).shows(&E::labelTimeGames2D),
        Row("labelGames3D", member<&C::labelGames3D_>()).title("games3d"),
        Row("labelTimeGames3D", member<&C::labelTimeGames3D_>()).shows(&E::labelTimeGames3D),
        Row("labelVideoChat", member<&C::labelVideoChat_>()).title("videochat").hiddenOnlyBy(&E::hideVideoChatRow),
        Row("labelTimeVideoChat", member<&C::labelTimeVideoChat_>())
            .shows(&E::labelTimeVideoChat)
            .hiddenOnlyBy(&E::hideVideoChatRow),
        Row("iconVideo", member<&C::iconVideo_>()).hiddenOnlyBy(&E::hidePhotosRow),
        Row("labelTakePhotos", member<&C::labelTakePhotos_>()).title("takephotos").hiddenOnlyBy(&E::hidePhotosRow),
        Row("labelTimeTakingPhotos", member<&C::labelTimeTakingPhotos_>())
            .shows(&E::labelTimeTakingPhotos)
            .hiddenOnlyBy(&E::hidePhotosRow),
        Row("labelVideoRecord", member<&C::labelVideoRecord_>())
            .title("videorecord")
            .hiddenOnlyBy(&E::hideVideoRecordingRow),
        Row("labelTimeVideoRecording", member<&C::labelTimeVideoRecording_>())
            .shows(&E::labelTimeVideoRecording)
            .hiddenOnlyBy(&E::hideVideoRecordingRow),
        Row("labelGPSNavigation", member<&C::labelGPSNavigation_>()).title("gpsnav").hiddenOnlyBy(&E::hideGPSRow),
        Row("labelTimeGPSNavigation", member<&C::labelTimeGPSNavigation_>())
            .shows(&E::labelTimeGPSNavigation)
            .hiddenOnlyBy(&E::hideGPSRow),
        Row("labelReading", member<&C::labelReading_>()).title("reading"),
        Row("labelTimeReading", member<&C::labelTimeReading_>()).shows(&E::labelTimeReading),
        Row("buttonFlashlight", member<&C::buttonFlashlight_>()).hiddenAs(&E::flashlightRowHidden),
        Row("iconFlashlight", member<&C::iconFlashlight_>()).hiddenAs(&E::flashlightRowHidden),
        Row("labelFlashlight", member<&C::labelFlashlight_>()).hiddenAs(&E::flashlightRowHidden),
        Row("labelTimeFlashlight", member<&C::labelTimeFlashlight_>())
            .shows(&E::labelTimeFlashlight)
            .hiddenAs(&E::flashlightRowHidden),
    };
    return rows;
}

std::shared_ptr<View> MainViewController::outletView(std::string_view name) const {
    for (const OutletRow& row : outletRows())
        if (name == row.name) return row.member.view(*this);
    return nullptr;
}

MainViewController::BubbleGeometry MainViewController::bubbleGeometry(double width, double height, bool tablet,
                                                                      bool landscape) {
    BubbleGeometry g;
    if (!tablet) {
        g.centerX = width / 2;
        g.startY = 260.0;
        g.top = 70.0;
        g.range = 185.0;
        g.lift = 16.0;
    } else if (landscape) {
        const double dy = std::trunc(height - 768.0);
        g.centerX = width - 1024.0 + 830.0;
        g.startY = 540.0 + dy;
        g.top = 210.0 + dy;
        g.range = 330.0;
    } else {
        const double dy = std::trunc(height - 1024.0);
        g.centerX = width - 768.0 + 590.0;
        g.startY = 800.0 + dy;
        g.top = 450.0 + dy;
        g.range = 330.0;
    }
    return g;
}

const std::array<const char*, 3>& MainViewController::flashlightAddresses() {
    static const std::array<const char*, 3> addresses = {
        "tarnowickflashlight://light?on=1",
        "tarnowickflashlightfree://light?on=1",
        "https://www.tarnowick.com/apps/flashlight-free",
    };
    return addresses;
}

void MainViewController::registerInterfaceClasses() {
    using platform::ui::ClassRegistry;
    ClassRegistry::add<MainViewController>("MainViewController");
    ClassRegistry::add<SettingsController>("SettingsController");
    ClassRegistry::add<MainContentView>("MainContentView");
    ClassRegistry::add<BatteryFillView>("BatteryFillView");
    ClassRegistry::add<ColorPickerImageView>("ColorPickerImageView");
    ClassRegistry::add<PickerAwareScrollView>("PickerAwareScrollView");
    ClassRegistry::add<TWKButtonDark>("TWKButtonDark");
    ClassRegistry::add<TWKTableViewCell>("TWKTableViewCell");
    ClassRegistry::add<UIPaddingLabel>("UIPaddingLabel");
    ClassRegistry::add<UILabelUnderlined>("UILabelUnderlined");
    ClassRegistry::add<GSVButton>("GSVButton");
    ClassRegistry::add<GSVLabel>("GSVLabel");
    ClassRegistry::add<GSVTextField>("GSVTextField");
    ClassRegistry::add<GSVTextView>("GSVTextView");
    ClassRegistry::add<GSVVerticalSlider>("GSVVerticalSlider");
    ClassRegistry::add<TWKReviewPopupButton>("TWKReviewPopupButton");
    // The problem-report page of the information area shows its text in one.
    ClassRegistry::add<platform::ui::WebView>("WebView");
}

MainViewController::MainViewController(std::string nibName, const Bundle* bundle)
    : TwkBaseViewController(std::move(nibName), bundle) {}

MainViewController::~MainViewController() {
    sound_.reset();
    if (levelTimer_) levelTimer_->invalidate();
    if (animTimer_) animTimer_->invalidate();
}

std::weak_ptr<MainViewController> MainViewController::weakSelf() {
    return std::dynamic_pointer_cast<MainViewController>(shared_from_this());
}

void MainViewController::declareConnections(platform::ui::ConnectionTable& t) {
    TwkBaseViewController::declareConnections(t);
    for (const OutletRow& row : outletRows()) row.member.connect(*this, t, row.name);
    t.action("showSettings:", std::function<void()>([this] { showSettings(); }));
    t.action("openFlashlight:", std::function<void()>([this] { openFlashlight(); }));
}

// ---- life cycle

void MainViewController::viewDidLoad() {
    TwkBaseViewController::viewDidLoad();
    if (TwkUtils::isRunningAtLeastiOS7()) setNeedsStatusBarAppearanceUpdate();

    // A loaded view starts from the interface file's layout: sound re-armed, rows unshifted.
    refresh_ = BatteryRefresh();
    words_ = BatteryWords::localized();

    if (!sound_) {
        currentAnim_ = 0;
        ::srandom(unsigned(platform::foundation::Clock::current().now()));
        sound_ = SoundEffect::soundEffectWithContentsOfFile(Bundle::main().pathForResource("a", "caf"));
    }

    if (viewScrollDownInfo_) {
        viewScrollDownInfo_->setAlpha(0);
        viewScrollDownInfo_->setBackgroundColor(Color::white(0.0, 0.8));
        if (TwkUtils::isRunningAtLeastOS4()) viewScrollDownInfo_->layer()->setCornerRadius(6.0);
    }

    if (auto scroll = mainScrollView_.lock()) {
        scroll->setFrame(view()->bounds());
        if (auto content = mainContentView_.lock()) scroll->setContentSize(content->bounds().size);
    }

    for (auto& b : bubbles_)
        if (b) b->setAlpha(0);
    hide(imageCharging_, true);

    for (const OutletRow& row : outletRows())
        if (row.titleKey)
            setText(std::dynamic_pointer_cast<platform::ui::Label>(row.member.view(*this)), text(row.titleKey));

    setText(labelDevice_,
            platform::foundation::format("%s. %s: %s", DeviceDetection::name(false).c_str(), text("firmware").c_str(),
                                         Device::current().systemVersion().c_str()));

    if (buttonMoreApps_) buttonMoreApps_->setImage(Image::named("moreappsgray.png"));
    if (buttonSettings_) buttonSettings_->setImage(Image::named("settingsgray.png"));

    auto weak = weakSelf();
    platform::foundation::dispatch::mainQueue().async([weak] {
        auto self = weak.lock();
        if (!self) return;
        auto& center = NotificationCenter::defaultCenter();
        auto& device = Device::current();
        auto refresh = [weak](const platform::foundation::Notification&) {
            if (auto s = weak.lock()) s->batteryChanged();
        };
        self->observers_.push_back(
            center.addObserver(platform::ui::kDeviceBatteryLevelDidChangeNotification, &device, refresh));
        self->observers_.push_back(
            center.addObserver(platform::ui::kDeviceBatteryStateDidChangeNotification, &device, refresh));
        device.setBatteryMonitoringEnabled(true);
        self->observers_.push_back(center.addObserver(platform::ui::kScreenBrightnessDidChangeNotification,
                                                      &Screen::main(),
                                                      [weak](const platform::foundation::Notification&) {
                                                          if (auto s = weak.lock()) s->brightnessChanged();
                                                      }));
        self->batteryChanged();
    });
}

void MainViewController::viewWillAppear(bool animated) {
    TwkBaseViewController::viewWillAppear(animated);
    updateGradientBG();

    if (!TwkUtils::onIPad()) {
        const double inset = TwkUtils::onLargeiPhone() ? 8.0 : 20.0;
        auto placeX = [](const ImageViewPtr& v, double x) {
            if (v) v->setCenter({x, v->center().y});
        };
        auto rightEdge = [&](const ImageViewPtr& v) {
            auto sv = v ? v->superview() : nullptr;
            return sv ? sv->bounds().width() - inset : inset;
        };
        placeX(imageTalk_, rightEdge(imageTalk_));
        placeX(imageWeb_, rightEdge(imageWeb_));
        placeX(imageMusic_, inset);
        placeX(imageVideo_, inset);

        // The view has the screen's size only now; a content size taken from the
        // interface file's wider layout would let a narrower phone scroll sideways.
        auto scroll = mainScrollView_.lock();
        auto content = mainContentView_.lock();
        if (scroll && content) scroll->setContentSize(content->bounds().size);
    }

    replaceViews();
    auto weak = weakSelf();
    RunLoop::main().perform([weak] {
        if (auto s = weak.lock()) s->afterIntroAnim();
    });
    startUpdateTimer();
}

void MainViewController::afterIntroAnim() {
    replaceViews();
    batteryChanged();
    setGlobalOpacity(1.0f, true);
    Application::shared().setIdleTimerDisabled(UserDefaults::standard().boolForKey("alwayson"));
}

void MainViewController::viewDidAppear(bool animated) {
    TwkBaseViewController::viewDidAppear(animated);
    batteryChanged();
    if (buttonMoreApps_) buttonMoreApps_->checkReviewTime(shared_from_this());
}

void MainViewController::viewDidDisappear(bool animated) {
    stopUpdateTimer();
    // Always-on keeps holding while the settings sheet or the information area
    // covers this screen; the application gives it back in the background.
    TwkBaseViewController::viewDidDisappear(animated);
}

void MainViewController::didReceiveMemoryWarning() {
    BatteryImage::sharedInstance().setCachedScaledImage(nullptr);
    TwkBaseViewController::didReceiveMemoryWarning();
}

bool MainViewController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
    return o == InterfaceOrientation::Portrait || TwkUtils::onIPad();
}

platform::ui::StatusBarStyle MainViewController::preferredStatusBarStyle() const {
    return platform::ui::StatusBarStyle::LightContent;
}

void MainViewController::appBecameActive() { batteryChanged(); }

void MainViewController::comingBackfromBackground() {
    batteryChanged();
    if (buttonMoreApps_) buttonMoreApps_->checkReviewTime(shared_from_this());
}

// ---- timers and opacity

void MainViewController::startUpdateTimer() {
    auto weak = weakSelf();
    if (!animTimer_) {
        animTimer_ = Timer::scheduled(kBubbleInterval, true, [weak](Timer&) {
            if (auto s = weak.lock()) s->animatedBulles();
        });
    }
    if (!levelTimer_) {
        levelTimer_ = Timer::scheduled(kLevelInterval, true, [weak](Timer&) {
            if (auto s = weak.lock()) s->batteryChanged();
        });
    }
}

void MainViewController::stopUpdateTimer() {
    if (animTimer_) {
        animTimer_->invalidate();
        animTimer_.reset();
    }
    if (levelTimer_) {
        levelTimer_->invalidate();
        levelTimer_.reset();
    }
}

void MainViewController::setTextOpacity(float opacity) {
    for (const OutletRow& row : outletRows())
        if (auto v = row.fadesWithText ? row.member.view(*this) : nullptr) v->setAlpha(opacity);
}

void MainViewController::setGlobalOpacity(float opacity, bool animated) {
    if (!animated) {
        setTextOpacity(opacity);
        return;
    }
    auto weak = weakSelf();
    View::animate(
        0.5, [this, opacity] { setTextOpacity(opacity); },
        [weak](bool) {
            auto s = weak.lock();
            if (s && s->viewBatteryFill_) s->viewBatteryFill_->fadeInContentAtSpeed(true);
        });
}

// ---- tablet placement, rotation, background

void MainViewController::replaceViews() {
    if (!TwkUtils::onIPad() || !detailView_) return;
    const bool landscape = platform::ui::isLandscape(interfaceOrientation());
    View::beginAnimations("replaceDetails");
    View::setAnimationDuration(0.25);
    detailView_->setCenter(landscape ? platform::graphics::Point{530.0, 408.0}
                                     : platform::graphics::Point{222.0, 730.0});
    detailView_->setAlpha(1.0);
    View::commitAnimations();
}

void MainViewController::willRotateToInterfaceOrientation(InterfaceOrientation, double) {
    if (!TwkUtils::onIPad() || !detailView_) return;
    View::beginAnimations("replaceDetails");
    View::setAnimationDuration(0.25);
    detailView_->setAlpha(0);
    View::commitAnimations();
}

void MainViewController::didRotateFromInterfaceOrientation(InterfaceOrientation) {
    updateGradientBG();
    for (auto& b : bubbles_) {
        if (!b) continue;
        b->layer()->removeAllAnimations();
        b->setAlpha(0);
    }
    replaceViews();
}

void MainViewController::updateGradientBG() {
    if (!bgImage_) return;
    bgImage_->setImage(nullptr);
    auto layer = bgImage_->layer();
    std::vector<std::shared_ptr<platform::ui::Layer>> old;
    for (const auto& sub : layer->sublayers())
        if (std::dynamic_pointer_cast<GradientLayer>(sub)) old.push_back(sub);
    for (auto& g : old) g->removeFromSuperlayer();

    bgImage_->setAutoresizingMask(platform::ui::kAutoresizingFlexibleWidth | platform::ui::kAutoresizingFlexibleHeight);
    if (auto sv = bgImage_->superview()) bgImage_->setFrame(sv->bounds());
    const Rect b = bgImage_->bounds();
    const float s = float(std::max(b.width(), b.height()));
    auto gradient = std::make_shared<GradientLayer>();
    gradient->setFrame(Rect(b.origin, {s, 1.2 * s}));
    gradient->setColors(
        {Color::white(0.0, 1.0), Color::white(0.12, 1.0), Color::white(0.2, 1.0), Color::white(0.0, 1.0)});
    gradient->setLocations({0.2, 0.5, 0.8, 1.0});
    layer->insertSublayer(gradient, 0);
}

// ---- settings and flashlight

void MainViewController::showSettings() {
    BatteryImage::sharedInstance().setRenderedKey({});
    auto settings = std::make_shared<SettingsController>("SettingsController", nibBundle());
    auto self = std::dynamic_pointer_cast<MainViewController>(shared_from_this());
    settings->setDelegate(
        std::weak_ptr<SettingsControllerDelegate>(std::static_pointer_cast<SettingsControllerDelegate>(self)));
    settings->setModalTransitionStyle(platform::ui::ModalTransitionStyle::FlipHorizontal);
    presentViewController(settings, true);
}

void MainViewController::settingsControllerDidFinish(SettingsController&) {
    BatteryRefresh::setLastMultiplier(-1.0f);
    auto& images = BatteryImage::sharedInstance();
    images.setRenderedImage(nullptr);
    images.setRenderedKey({});
    if (viewBatteryFill_) viewBatteryFill_->prepareForFade();
    setTextOpacity(0);
    batteryChanged();
    dismissViewControllerAnimated(true);
}

void MainViewController::openFlashlight() {
    auto& app = Application::shared();
    const auto& addresses = flashlightAddresses();
    for (size_t i = 0; i + 1 < addresses.size(); ++i) {
        if (app.canOpenURL(addresses[i])) {
            app.openURL(addresses[i]);
            return;
        }
    }
    app.openURL(addresses.back());
}

// ---- the refresh

bool MainViewController::hasFlashLED() const { return Device::current().profile().flash; }

void MainViewController::batteryChanged() {
    const float m = BatteryInfo::sharedInstance()->getBatteryMultiplier();
    const Device& device = Device::current();
    const auto& profile = device.profile();

    BatteryEstimateInput in;
    in.deviceIndex = DeviceDetection::detectDevice();
    in.chargeFraction = m;
    in.healthPercent = UserDefaults::standard().floatForKey("healthPercent");
    if (TwkUtils::isRunningAtLeastOS5()) in.brightness = Screen::main().brightness();
    const auto state = device.batteryState();
    in.charging = state == platform::ui::BatteryState::Charging || state == platform::ui::BatteryState::Full;
    in.tablet = TwkUtils::onIPad();
    const bool os4 = TwkUtils::isRunningAtLeastOS4();
    in.camera = os4 && profile.camera;
    in.frontCamera = os4 && profile.frontCamera;
    in.flash = hasFlashLED();
    // The simulator has no telephony information at all, which counts as a carrier.
    in.carrier = profile.simulator || !profile.carrierName.empty();

    auto outcome = refresh_.refresh(in, words_, UserDefaults::standard().boolForKey("alerton"), sound_ != nullptr);
    if (!outcome) return;
    if (outcome->playSound && sound_) sound_->play();
    applyEstimate(outcome->estimate, outcome->shiftRows);

    if (viewBatteryFill_) {
        viewBatteryFill_->setColor(SettingsController::getColorFromPrefs());
        viewBatteryFill_->setLevel(m);
    }
}

void MainViewController::applyEstimate(const BatteryEstimate& e, bool shiftRows) {
    for (const OutletRow& row : outletRows()) {
        auto v = row.member.view(*this);
        if (!v) continue;
        if (row.figure) setText(std::dynamic_pointer_cast<platform::ui::Label>(v), e.*row.figure);
        if (row.alpha) v->setAlpha(e.*row.alpha);
        row.hiding.apply(*v, e);
        if (shiftRows && row.shift != Point{}) v->setCenter(v->center() + row.shift);
    }

    if (e.talkRowToVideoRow) {
        if (labelTitleVideo_) moveCenterY(labelTitleTalk_, labelTitleVideo_->center().y);
        if (labelTimeVideo_) moveCenterY(labelTimeTalk3G_, labelTimeVideo_->center().y);
    }
    if (e.chargingMarkCenterY) moveCenterY(imageCharging_, *e.chargingMarkCenterY);
}

// ---- bubbles

void MainViewController::animatedBulles() {
    // Without a known level there is no liquid to rise to.
    if (BatteryRefresh::lastMultiplier() < 0) return;
    ImageViewPtr bubble;
    if (currentAnim_ < 4) {
        ++currentAnim_;
        bubble = bubbles_[size_t(currentAnim_)];
    } else {
        currentAnim_ = 0;
        bubble = bubbles_[0];
    }
    auto weak = weakSelf();
    RunLoop::main().perform([weak, bubble] {
        if (auto s = weak.lock()) s->animateOne(bubble);
    });
}

void MainViewController::animateOne(const ImageViewPtr& bubble) {
    if (!bubble) return;
    const Rect b = view()->bounds();
    const BubbleGeometry g =
        bubbleGeometry(b.width(), b.height(), TwkUtils::onIPad(), platform::ui::isLandscape(interfaceOrientation()));
    const int lo = int(g.centerX - 60.0), hi = int(g.centerX + 60.0);
    const long x = (::random() % (hi - lo)) + lo;
    const long size = (::random() % 20) + 8;
    const double r1 = double(::random() % 100000) / 100000.0;
    const double r2 = double(::random() % 100000) / 100000.0;
    const float level = BatteryRefresh::lastMultiplier();
    const float endY = float(g.top) + float(g.range) * (1.0f - level);

    bubble->setAlpha(0);
    bubble->setCenter({double(x), g.startY});
    bubble->setBounds(Rect(0, 0, 2, 2));

    auto weak = weakSelf();
    const size_t index = size_t(std::find(bubbles_.begin(), bubbles_.end(), bubble) - bubbles_.begin());
    View::beginAnimations(bubbleAnimationID(index));
    View::setAnimationDuration(r1 * 4.0 * level + 1.0);
    View::setAnimationDelay(2 * r2);
    View::setAnimationCurve(platform::ui::AnimationCurve::EaseIn);
    View::setAnimationDidStop([weak](const std::string& id, bool finished, void*) {
        if (auto s = weak.lock()) s->animDidStop(id, finished);
    });
    bubble->setAlpha(1.0);
    bubble->setBounds(Rect(0, 0, double(size), double(size)));
    bubble->setCenter({double(x), double(endY) - g.lift});
    View::commitAnimations();
}

std::string MainViewController::bubbleAnimationID(size_t index) { return "moveBulle_" + std::to_string(index + 1); }

void MainViewController::animDidStop(const std::string& animationID, bool) {
    ImageViewPtr bubble;
    for (size_t i = 0; i < bubbles_.size(); ++i)
        if (animationID == bubbleAnimationID(i)) bubble = bubbles_[i];
    if (!bubble) return;
    auto weak = weakSelf();
    RunLoop::main().perform([weak, bubble] {
        if (auto s = weak.lock()) s->fademeOut(bubble);
    });
}

void MainViewController::fademeOut(const ImageViewPtr& bubble) {
    if (!bubble) return;
    const Rect b = bubble->bounds();
    View::beginAnimations("fadeout");
    View::setAnimationDuration(0.1);
    bubble->setBounds(Rect(b.origin, {b.width() * 2, b.height() * 2}));
    bubble->setAlpha(0);
    View::commitAnimations();
}
