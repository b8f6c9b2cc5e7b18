#include "app/SettingsController.h"

#include "app/BatteryFillView.h"
#include "app/BatteryImage.h"
#include "app/BatteryInfo.h"
#include "framework/TwkUtils.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/graphics/Font.h"

using platform::foundation::UserDefaults;
using platform::graphics::Color;
using platform::ui::ConnectionTable;
using platform::ui::Control;

namespace {

std::string text(const char* key) {
    return platform::foundation::Bundle::main().localizedString(key, "", "BatteryLocalizable");
}

void storeSwitch(const char* key, const platform::ui::Switch& sw) {
    UserDefaults::standard().setObject(key, platform::foundation::Value(sw.isOn() ? 1.0 : 0.0));
}

}  // namespace

SettingsController::SettingsController(std::string nibName, const platform::foundation::Bundle* bundle)
    : TwkBaseViewController(std::move(nibName), bundle) {}

Color SettingsController::colorForChargeFraction(float f) {
    if (f < 0.25f) return Color::rgba(0.9, 0.0, 0.0, 1.0);
    if (f < 0.5f) return Color::rgba(0.9, 0.5, 0.0, 1.0);
    if (double(f) < 0.8) return Color::rgba(0.0, 0.5, 0.9, 1.0);
    return Color::rgba(0.0, 0.9, 0.0, 1.0);
}

Color SettingsController::getColorFromPrefs() {
    auto& defaults = UserDefaults::standard();
    if (defaults.boolForKey("customcoloron") && !defaults.objectForKey("cr").isNull()) {
        return Color::rgba(defaults.floatForKey("cr"), defaults.floatForKey("cg"), defaults.floatForKey("cb"), 1.0);
    }
    return colorForChargeFraction(BatteryInfo::sharedInstance()->getBatteryMultiplier());
}

void SettingsController::sliderHealthChanged(platform::ui::Slider& slider) {
    UserDefaults::standard().setFloat("healthPercent", slider.value());
    refreshLabels();
}

void SettingsController::switchSoundAlertChanged(platform::ui::Switch& sw) {
    storeSwitch("alerton", sw);
    refreshLabels();
}

void SettingsController::switchAlwaysOnChanged(platform::ui::Switch& sw) {
    storeSwitch("alwayson", sw);
    refreshLabels();
}

void SettingsController::switchCustomColorChanged(platform::ui::Switch& sw) {
    storeSwitch("customcoloron", sw);
    if (viewBatteryFill_) viewBatteryFill_->setColor(getColorFromPrefs());
    refreshLabels();
}

void SettingsController::pickedColor(const Color& color) {
    if (viewBatteryFill_) {
        viewBatteryFill_->layer()->removeAllAnimations();
        viewBatteryFill_->setColor(color);
        if (viewBatteryFill_->getLevel() != kPreviewLevel) viewBatteryFill_->setLevel(kPreviewLevel);
    }
    // Kept even while the custom colour is off, ready for when it is turned on.
    auto& defaults = UserDefaults::standard();
    defaults.setFloat("cr", float(color.redValue()));
    defaults.setFloat("cg", float(color.greenValue()));
    defaults.setFloat("cb", float(color.blueValue()));
}

void SettingsController::refreshLabels() {
    auto& defaults = UserDefaults::standard();
    const float health = defaults.floatForKey("healthPercent");
    if (labelHealth_)
        labelHealth_->setText(platform::foundation::format("%s: %.0f%%", text("battery.health").c_str(), health));
    if (labelBatteryInfo_) labelBatteryInfo_->setText(text("health.info"));
    if (labelFullyCharged_) labelFullyCharged_->setText(text("fully.charged"));
    if (labelAlwaysOn_) labelAlwaysOn_->setText(text("always.on"));
    if (labelCustomColor_) labelCustomColor_->setText(text("custom.color"));

    const bool custom = defaults.boolForKey("customcoloron");
    if (switchCustomColor_) switchCustomColor_->setOn(custom);
    if (switchSoundAlert_) switchSoundAlert_->setOn(defaults.boolForKey("alerton"));
    if (switchAlwaysOn_) switchAlwaysOn_->setOn(defaults.boolForKey("alwayson"));
    if (sliderHealth_) sliderHealth_->setValue(health);

    const double alpha = custom ? 1.0 : kDimmedAlpha;
    if (viewColorPicker_) {
        viewColorPicker_->setUserInteractionEnabled(custom);
        viewColorPicker_->setAlpha(alpha);
    }
    if (viewBatteryFill_) viewBatteryFill_->setAlpha(alpha);
    if (viewBatteryBack_) viewBatteryBack_->setAlpha(alpha);
}

void SettingsController::done() {
    if (auto d = delegate_.lock()) d->settingsControllerDidFinish(*this);
}

void SettingsController::viewDidLoad() {
    if (TwkUtils::isRunningAtLeastiOS7()) setNeedsStatusBarAppearanceUpdate();
    if (viewColorPicker_) {
        viewColorPicker_->setPickedColorDelegate(std::dynamic_pointer_cast<SettingsController>(shared_from_this()));
    }
    if (TwkUtils::onIPad() && labelBatteryInfo_) labelBatteryInfo_->setFont(platform::graphics::Font::systemFont(14.0));
    refreshLabels();
    TwkBaseViewController::viewDidLoad();
}

void SettingsController::viewWillAppear(bool animated) {
    BatteryImage::sharedInstance().setCachedScaledImage(nullptr);
    if (viewBatteryFill_) {
        viewBatteryFill_->setColor(getColorFromPrefs());
        viewBatteryFill_->setLevel(kPreviewLevel);
    }
    TwkBaseViewController::viewWillAppear(animated);
}

void SettingsController::viewDidAppear(bool animated) {
    refreshLabels();
    if (viewBatteryFill_) viewBatteryFill_->fadeInContentAtSpeed(true);
    TwkBaseViewController::viewDidAppear(animated);
}

void SettingsController::viewDidUnload() {
    switchSoundAlert_.reset();
    switchAlwaysOn_.reset();
    switchCustomColor_.reset();
    labelFullyCharged_.reset();
    labelAlwaysOn_.reset();
    labelCustomColor_.reset();
    sliderHealth_.reset();
    labelHealth_.reset();
    labelBatteryInfo_.reset();
    bgPic_.reset();
    viewColorFlat_.reset();
    viewColorPicker_.reset();
    viewBatteryFill_.reset();
    viewBatteryBack_.reset();
}

bool SettingsController::shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) {
    return o == platform::ui::InterfaceOrientation::Portrait || TwkUtils::onIPad();
}

platform::ui::StatusBarStyle SettingsController::preferredStatusBarStyle() const {
    return platform::ui::StatusBarStyle::LightContent;
}

void SettingsController::declareConnections(ConnectionTable& t) {
    TwkBaseViewController::declareConnections(t);
    t.outlet("switchSoundAlert", switchSoundAlert_);
    t.outlet("switchAlwaysOn", switchAlwaysOn_);
    t.outlet("switchCustomColor", switchCustomColor_);
    t.outlet("labelFullyCharged", labelFullyCharged_);
    t.outlet("labelAlwaysOn", labelAlwaysOn_);
    t.outlet("labelCustomColor", labelCustomColor_);
    t.outlet("sliderHealth", sliderHealth_);
    t.outlet("labelHealth", labelHealth_);
    t.outlet("labelBatteryInfo", labelBatteryInfo_);
    t.outlet("bgPic", bgPic_);
    t.outlet("viewColorFlat", viewColorFlat_);
    t.outlet("viewColorPicker", viewColorPicker_);
    t.outlet("viewBatteryFill", viewBatteryFill_);
    t.outlet("viewBatteryBack", viewBatteryBack_);
    t.action("sliderHealthChanged:", [this](Control& c) {
        if (auto* s = dynamic_cast<platform::ui::Slider*>(&c)) sliderHealthChanged(*s);
    });
    t.action("switchSoundAlertChanged:", [this](Control& c) {
        if (auto* s = dynamic_cast<platform::ui::Switch*>(&c)) switchSoundAlertChanged(*s);
    });
    t.action("switchAlwaysOnChanged:", [this](Control& c) {
        if (auto* s = dynamic_cast<platform::ui::Switch*>(&c)) switchAlwaysOnChanged(*s);
    });
    t.action("switchCustomColorChanged:", [this](Control& c) {
        if (auto* s = dynamic_cast<platform::ui::Switch*>(&c)) switchCustomColorChanged(*s);
    });
    t.action("done", std::function<void()>([this] { done(); }));
}
