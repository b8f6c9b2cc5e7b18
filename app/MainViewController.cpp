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

template <class V>
void moveCenterBy(const std::shared_ptr<V>& v, double dx, double dy) {
    if (v) v->setCenter({v->center().x + dx, v->center().y + dy});
}

}  // namespace

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
    t.outlet("mainScrollView", mainScrollView_);
    t.outlet("mainContentView", mainContentView_);
    t.outlet("buttonMoreApps", buttonMoreApps_);
    t.outlet("labelScrollDown", labelScrollDown_);
    t.outlet("viewScrollDownInfo", viewScrollDownInfo_);
    t.outlet("detailView", detailView_);
    t.outlet("imageChargeTimeIcon", imageChargeTimeIcon_);
    t.outlet("viewBatteryFill", viewBatteryFill_);
    t.outlet("labelChargeTime", labelChargeTime_);
    t.outlet("labelGames2D", labelGames2D_);
    t.outlet("labelGames3D", labelGames3D_);
    t.outlet("labelVideoChat", labelVideoChat_);
    t.outlet("labelTakePhotos", labelTakePhotos_);
    t.outlet("labelVideoRecord", labelVideoRecord_);
    t.outlet("labelGPSNavigation", labelGPSNavigation_);
    t.outlet("labelReading", labelReading_);
    t.outlet("iconVideo", iconVideo_);
    t.outlet("labelTimeChargeTime", labelTimeChargeTime_);
    t.outlet("labelTimeGames2D", labelTimeGames2D_);
    t.outlet("labelTimeGames3D", labelTimeGames3D_);
    t.outlet("labelTimeVideoChat", labelTimeVideoChat_);
    t.outlet("labelTimeTakingPhotos", labelTimeTakingPhotos_);
    t.outlet("labelTimeVideoRecording", labelTimeVideoRecording_);
    t.outlet("labelTimeGPSNavigation", labelTimeGPSNavigation_);
    t.outlet("labelTimeReading", labelTimeReading_);
    t.outlet("buttonFlashlight", buttonFlashlight_);
    t.outlet("iconFlashlight", iconFlashlight_);
    t.outlet("labelFlashlight", labelFlashlight_);
    t.outlet("labelTimeFlashlight", labelTimeFlashlight_);
    t.outlet("bgImage", bgImage_);
    t.outlet("imgBulleA", bubbles_[0]);
    t.outlet("imgBulleB", bubbles_[1]);
    t.outlet("imgBulleC", bubbles_[2]);
    t.outlet("imgBulleD", bubbles_[3]);
    t.outlet("imgBulleE", bubbles_[4]);
    t.outlet("labelPercentage", labelPercentage_);
    t.outlet("labelDevice", labelDevice_);
    t.outlet("labelStandby", labelStandby_);
    t.outlet("viewAllInfo", viewAllInfo_);
    t.outlet("viewTitleBox", viewTitleBox_);
    t.outlet("labelTitleMusic", labelTitleMusic_);
    t.outlet("labelTitleWeb", labelTitleWeb_);
    t.outlet("labelTitleVideo", labelTitleVideo_);
    t.outlet("labelTitleTalk", labelTitleTalk_);
    t.outlet("imageCharging", imageCharging_);
    t.outlet("imageTalk", imageTalk_);
    t.outlet("imageWeb", imageWeb_);
    t.outlet("imageMusic", imageMusic_);
    t.outlet("imageVideo", imageVideo_);
    t.outlet("labelTimeMusic", labelTimeMusic_);
    t.outlet("labelTimeVideo", labelTimeVideo_);
    t.outlet("labelTimeNetWifi", labelTimeNetWifi_);
    t.outlet("labelTimeNet3G", labelTimeNet3G_);
    t.outlet("labelTimeTalk", labelTimeTalk_);
    t.outlet("labelTimeTalk3G", labelTimeTalk3G_);
    t.outlet("buttonSettings", buttonSettings_);
    t.action("showSettings:", std::function<void()>([this] { showSettings(); }));
    t.action("openFlashlight:", std::function<void()>([this] { openFlashlight(); }));
}

// ---- life cycle

void MainViewController::viewDidLoad() {
    TwkBaseViewController::viewDidLoad();
    if (TwkUtils::isRunningAtLeastiOS7()) setNeedsStatusBarAppearanceUpdate();

    // A loaded view starts from the interface file's layout: sound re-armed, rows unshifted.
    refresh_ = BatteryRefresh();
    musicShiftX_ = 0;
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
    setText(labelScrollDown_, text("must_scroll_down"));

    if (auto scroll = mainScrollView_.lock()) {
        scroll->setFrame(view()->bounds());
        if (auto content = mainContentView_.lock()) scroll->setContentSize(content->bounds().size);
    }

    for (auto& b : bubbles_)
        if (b) b->setAlpha(0);
    hide(imageCharging_, true);

    setText(labelTitleMusic_, text("music"));
    setText(labelTitleWeb_, text("browsing"));
    setText(labelTitleVideo_, text("video"));
    setText(labelTitleTalk_, text("talktime"));
    setText(labelChargeTime_, text("chargetime"));
    setText(labelGames2D_, text("games2d"));
    setText(labelGames3D_, text("games3d"));
    setText(labelVideoChat_, text("videochat"));
    setText(labelTakePhotos_, text("takephotos"));
    setText(labelVideoRecord_, text("videorecord"));
    setText(labelGPSNavigation_, text("gpsnav"));
    setText(labelReading_, text("reading"));

    setText(labelDevice_, platform::foundation::format("%s. %s: %s", DeviceDetection::name(false).c_str(),
                                                       text("firmware").c_str(),
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
        self->observers_.push_back(center.addObserver(
            platform::ui::kScreenBrightnessDidChangeNotification, &Screen::main(),
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
        // The music icon stays with its labels when the refresh moved the row.
        placeX(imageMusic_, inset + musicShiftX_);
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
    const std::shared_ptr<View> views[] = {
        imageMusic_,      imageTalk_,       imageWeb_,        imageVideo_,      labelDevice_,    labelPercentage_,
        labelStandby_,    labelTitleMusic_, labelTimeMusic_,  labelTitleWeb_,   labelTimeNet3G_, labelTimeNetWifi_,
        labelTitleVideo_, labelTimeVideo_,  labelTitleTalk_,  labelTimeTalk_,   labelTimeTalk3G_};
    for (const auto& v : views)
        if (v) v->setAlpha(opacity);
}

void MainViewController::setGlobalOpacity(float opacity, bool animated) {
    if (!animated) {
        setTextOpacity(opacity);
        return;
    }
    auto weak = weakSelf();
    View::animate(0.5, [this, opacity] { setTextOpacity(opacity); },
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
    detailView_->setCenter(landscape ? platform::graphics::Point{530.0, 408.0} : platform::graphics::Point{222.0, 730.0});
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
    gradient->setColors({Color::white(0.0, 1.0), Color::white(0.12, 1.0), Color::white(0.2, 1.0),
                         Color::white(0.0, 1.0)});
    gradient->setLocations({0.2, 0.5, 0.8, 1.0});
    layer->insertSublayer(gradient, 0);
}

// ---- settings and flashlight

void MainViewController::showSettings() {
    BatteryImage::sharedInstance().clearRenderedKey();
    auto settings = std::make_shared<SettingsController>("SettingsController", nibBundle());
    auto self = std::dynamic_pointer_cast<MainViewController>(shared_from_this());
    settings->setDelegate(std::weak_ptr<SettingsControllerDelegate>(std::static_pointer_cast<SettingsControllerDelegate>(self)));
    settings->setModalTransitionStyle(platform::ui::ModalTransitionStyle::FlipHorizontal);
    presentViewController(settings, true);
}

void MainViewController::settingsControllerDidFinish(SettingsController&) {
    BatteryRefresh::setLastMultiplier(-1.0f);
    auto& images = BatteryImage::sharedInstance();
    images.clearRenderedImage();
    images.clearRenderedKey();
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
    hide(imageCharging_, e.imageChargingHidden);

    setText(labelTimeChargeTime_, e.labelTimeChargeTime);
    for (const std::shared_ptr<View>& v : {std::shared_ptr<View>(labelChargeTime_),
                                           std::shared_ptr<View>(labelTimeChargeTime_),
                                           std::shared_ptr<View>(imageChargeTimeIcon_)})
        if (v) v->setAlpha(e.chargeAlpha);

    setText(labelTimeGames2D_, e.labelTimeGames2D);
    setText(labelTimeGames3D_, e.labelTimeGames3D);
    setText(labelTimeVideoChat_, e.labelTimeVideoChat);
    setText(labelTimeVideoRecording_, e.labelTimeVideoRecording);
    setText(labelTimeTakingPhotos_, e.labelTimeTakingPhotos);
    setText(labelTimeReading_, e.labelTimeReading);
    setText(labelTimeGPSNavigation_, e.labelTimeGPSNavigation);
    setText(labelTimeFlashlight_, e.labelTimeFlashlight);

    if (e.hidePhotosRow) {
        hide(labelTakePhotos_, true);
        hide(labelTimeTakingPhotos_, true);
        hide(iconVideo_, true);
    }
    hide(iconFlashlight_, e.flashlightRowHidden);
    hide(labelTimeFlashlight_, e.flashlightRowHidden);
    hide(labelFlashlight_, e.flashlightRowHidden);
    hide(buttonFlashlight_, e.flashlightRowHidden);
    if (e.hideVideoRecordingRow) {
        hide(labelVideoRecord_, true);
        hide(labelTimeVideoRecording_, true);
    }
    if (e.hideVideoChatRow) {
        hide(labelVideoChat_, true);
        hide(labelTimeVideoChat_, true);
    }
    if (e.hideGPSRow) {
        hide(labelTimeGPSNavigation_, true);
        hide(labelGPSNavigation_, true);
    }

    setText(labelTimeMusic_, e.labelTimeMusic);
    setText(labelTimeVideo_, e.labelTimeVideo);
    setText(labelTimeNetWifi_, e.labelTimeNetWifi);
    setText(labelTimeNet3G_, e.labelTimeNet3G);
    setText(labelTimeTalk_, e.labelTimeTalk);
    setText(labelTimeTalk3G_, e.labelTimeTalk3G);

    if (e.talkRowToVideoRow) {
        if (labelTitleVideo_) moveCenterY(labelTitleTalk_, labelTitleVideo_->center().y);
        if (labelTimeVideo_) moveCenterY(labelTimeTalk3G_, labelTimeVideo_->center().y);
    }
    if (e.chargingMarkCenterY) moveCenterY(imageCharging_, *e.chargingMarkCenterY);

    setText(labelStandby_, e.labelStandby);
    hide(labelStandby_, false);

    hide(labelTitleTalk_, e.talkRowsHidden);
    hide(labelTimeTalk_, e.talkRowsHidden);
    hide(labelTimeTalk3G_, e.talkRowsHidden);
    hide(imageTalk_, e.talkRowsHidden);
    hide(labelTitleWeb_, e.webRowsHidden);
    hide(labelTimeNetWifi_, e.webRowsHidden);
    hide(imageWeb_, e.webRowsHidden);
    hide(labelTimeNet3G_, e.net3GHidden);

    if (shiftRows) {
        moveCenterBy(labelTimeNetWifi_, 0, BatteryRowShift::kNetTextsDown);
        moveCenterBy(labelTimeNet3G_, 0, BatteryRowShift::kNetTextsDown);
        moveCenterBy(labelTitleWeb_, 0, BatteryRowShift::kWebTitleDown);
        moveCenterBy(imageWeb_, 0, BatteryRowShift::kWebImageDown);
        moveCenterBy(labelTitleMusic_, BatteryRowShift::kMusicRight, BatteryRowShift::kMusicDown);
        moveCenterBy(labelTimeMusic_, BatteryRowShift::kMusicRight, BatteryRowShift::kMusicDown);
        moveCenterBy(imageMusic_, BatteryRowShift::kMusicRight, BatteryRowShift::kMusicDown);
        musicShiftX_ = BatteryRowShift::kMusicRight;
    }

    setText(labelPercentage_, e.labelPercentage);
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
    const BubbleGeometry g = bubbleGeometry(b.width(), b.height(), TwkUtils::onIPad(),
                                            platform::ui::isLandscape(interfaceOrientation()));
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
    View::beginAnimations(platform::foundation::format("moveBulle_%li", long(bubble->tag())));
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

void MainViewController::animDidStop(const std::string& animationID, bool) {
    static const char* const kNames[] = {"moveBulle_1", "moveBulle_2", "moveBulle_3", "moveBulle_4", "moveBulle_5"};
    ImageViewPtr bubble;
    for (size_t i = 0; i < 5; ++i)
        if (animationID == kNames[i]) bubble = bubbles_[i];
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
