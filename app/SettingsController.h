#pragma once
// The settings sheet: battery health, the full-battery sound, the always-on
// mode and a custom battery colour, each written to the user defaults at once,
// with a preview battery at 75 % in the current colour.
#include <memory>

#include "framework/ColorPickerImageView.h"
#include "framework/TwkBaseViewController.h"
#include "platform/graphics/Color.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/Slider.h"
#include "platform/ui/Switch.h"

class BatteryFillView;
class SettingsController;

class SettingsControllerDelegate {
public:
    virtual ~SettingsControllerDelegate() = default;
    virtual void settingsControllerDidFinish(SettingsController& /*controller*/) {}
};

class SettingsController : public TwkBaseViewController, public ColorPickerImageViewDelegate {
public:
    using Color = platform::graphics::Color;

    static constexpr float kPreviewLevel = 0.75f;
    static constexpr double kDimmedAlpha = 0.25;

    explicit SettingsController(std::string nibName = "SettingsController",
                                const platform::foundation::Bundle* bundle = nullptr);

    // The battery colour: the custom one when it is on and picked, else by charge band.
    static Color getColorFromPrefs();
    // The band colour for a charge fraction.
    static Color colorForChargeFraction(float fraction);

    // Held weakly: the main screen owns this sheet while it shows.
    std::shared_ptr<SettingsControllerDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<SettingsControllerDelegate> d) { delegate_ = std::move(d); }

    void sliderHealthChanged(platform::ui::Slider& slider);
    void switchSoundAlertChanged(platform::ui::Switch& sw);
    void switchAlwaysOnChanged(platform::ui::Switch& sw);
    void switchCustomColorChanged(platform::ui::Switch& sw);
    void pickedColor(const Color& color) override;
    void pickedColorUseLowRes(bool) override {}
    void refreshLabels();
    void done();

    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    // Lets go of every interface member.
    void viewDidUnload();
    bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
    platform::ui::StatusBarStyle preferredStatusBarStyle() const override;
    void declareConnections(platform::ui::ConnectionTable& table) override;

    // Interface members.
    std::shared_ptr<platform::ui::Switch> switchSoundAlert() const { return switchSoundAlert_; }
    std::shared_ptr<platform::ui::Switch> switchAlwaysOn() const { return switchAlwaysOn_; }
    std::shared_ptr<platform::ui::Switch> switchCustomColor() const { return switchCustomColor_; }
    std::shared_ptr<platform::ui::Label> labelFullyCharged() const { return labelFullyCharged_; }
    std::shared_ptr<platform::ui::Label> labelAlwaysOn() const { return labelAlwaysOn_; }
    std::shared_ptr<platform::ui::Label> labelCustomColor() const { return labelCustomColor_; }
    std::shared_ptr<platform::ui::Slider> sliderHealth() const { return sliderHealth_; }
    std::shared_ptr<platform::ui::Label> labelHealth() const { return labelHealth_; }
    std::shared_ptr<platform::ui::Label> labelBatteryInfo() const { return labelBatteryInfo_; }
    std::shared_ptr<platform::ui::ImageView> bgPic() const { return bgPic_; }
    std::shared_ptr<ColorPickerImageView> viewColorPicker() const { return viewColorPicker_; }
    std::shared_ptr<BatteryFillView> viewBatteryFill() const { return viewBatteryFill_; }
    std::shared_ptr<platform::ui::View> viewBatteryBack() const { return viewBatteryBack_; }

private:
    std::weak_ptr<SettingsControllerDelegate> delegate_;
    std::shared_ptr<platform::ui::Switch> switchSoundAlert_, switchAlwaysOn_, switchCustomColor_;
    std::shared_ptr<platform::ui::Label> labelFullyCharged_, labelAlwaysOn_, labelCustomColor_;
    std::shared_ptr<platform::ui::Slider> sliderHealth_;
    std::shared_ptr<platform::ui::Label> labelHealth_, labelBatteryInfo_;
    std::shared_ptr<platform::ui::ImageView> bgPic_;
    std::shared_ptr<platform::ui::View> viewColorFlat_;
    std::shared_ptr<ColorPickerImageView> viewColorPicker_;
    std::shared_ptr<BatteryFillView> viewBatteryFill_;
    std::shared_ptr<platform::ui::View> viewBatteryBack_;
};
