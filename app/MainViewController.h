#pragma once
// The application's main screen: the animated battery with rising bubbles,
// the charge percentage, the device and system, and a row per activity with
// how long the remaining charge lasts. Owns the refresh timers and observers,
// opens the settings sheet, the flashlight application and the information
// area, and starts the review request.
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "app/BatteryEstimate.h"
#include "app/SettingsController.h"
#include "framework/TWKReviewPopupButton.h"
#include "framework/TwkBaseViewController.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Timer.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"

class BatteryFillView;
class MainContentView;
class SoundEffect;

class MainViewController : public TwkBaseViewController, public SettingsControllerDelegate {
public:
    using Point = platform::graphics::Point;
    using ImageViewPtr = std::shared_ptr<platform::ui::ImageView>;
    using LabelPtr = std::shared_ptr<platform::ui::Label>;

    static constexpr double kBubbleInterval = 1.5;
    static constexpr double kLevelInterval = 5.0;

    // Where the bubbles rise, for a screen of `width` x `height` points.
    struct BubbleGeometry {
        double centerX = 0;
        double startY = 0;
        double top = 0;    // the liquid's surface at an empty battery
        double range = 0;  // from there down to the full battery's surface
        double lift = 0;
    };
    static BubbleGeometry bubbleGeometry(double width, double height, bool tablet, bool landscape);

    // The flashlight application's addresses, tried in this order; the last
    // is opened without asking whether it can be.
    static const std::array<const char*, 3>& flashlightAddresses();

    // Makes the classes of the application's interface files known by name.
    static void registerInterfaceClasses();

    explicit MainViewController(std::string nibName = "MainView", const platform::foundation::Bundle* bundle = nullptr);
    ~MainViewController() override;

    // Life cycle.
    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewDidDisappear(bool animated) override;
    void didReceiveMemoryWarning() override;
    bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
    void willRotateToInterfaceOrientation(platform::ui::InterfaceOrientation to, double duration) override;
    void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation from) override;
    platform::ui::StatusBarStyle preferredStatusBarStyle() const override;
    void declareConnections(platform::ui::ConnectionTable& table) override;

    // The refresh: the figures for the current charge, written into the views.
    void batteryChanged();
    void brightnessChanged() { batteryChanged(); }
    bool hasFlashLED() const;
    void appBecameActive();
    void comingBackfromBackground();

    void showSettings();
    void settingsControllerDidFinish(SettingsController& controller) override;
    void openFlashlight();

    void startUpdateTimer();
    void stopUpdateTimer();
    void setGlobalOpacity(float opacity, bool animated);
    void setTextOpacity(float opacity);
    void afterIntroAnim();
    void replaceViews();
    void updateGradientBG();

    // Bubbles.
    void animatedBulles();
    void animateOne(const ImageViewPtr& bubble);
    void animDidStop(const std::string& animationID, bool finished);
    void fademeOut(const ImageViewPtr& bubble);

    // State.
    int32_t currentAnim() const { return currentAnim_; }
    const BatteryRefresh& refreshState() const { return refresh_; }
    std::shared_ptr<platform::foundation::Timer> levelTimer() const { return levelTimer_; }
    std::shared_ptr<platform::foundation::Timer> animTimer() const { return animTimer_; }
    std::shared_ptr<SoundEffect> sound() const { return sound_; }
    std::shared_ptr<platform::ui::Button> buttonSettings() const { return buttonSettings_; }
    void setButtonSettings(std::shared_ptr<platform::ui::Button> b) { buttonSettings_ = std::move(b); }

    // Interface members, read by tests and snapshots.
    std::shared_ptr<platform::ui::ScrollView> mainScrollView() const { return mainScrollView_.lock(); }
    std::shared_ptr<MainContentView> mainContentView() const { return mainContentView_.lock(); }
    std::shared_ptr<TWKReviewPopupButton> buttonMoreApps() const { return buttonMoreApps_; }
    LabelPtr labelScrollDown() const { return labelScrollDown_; }
    std::shared_ptr<platform::ui::View> viewScrollDownInfo() const { return viewScrollDownInfo_; }
    std::shared_ptr<platform::ui::View> detailView() const { return detailView_; }
    ImageViewPtr imageChargeTimeIcon() const { return imageChargeTimeIcon_; }
    std::shared_ptr<BatteryFillView> viewBatteryFill() const { return viewBatteryFill_; }
    LabelPtr labelChargeTime() const { return labelChargeTime_; }
    LabelPtr labelGames2D() const { return labelGames2D_; }
    LabelPtr labelGames3D() const { return labelGames3D_; }
    LabelPtr labelVideoChat() const { return labelVideoChat_; }
    LabelPtr labelTakePhotos() const { return labelTakePhotos_; }
    LabelPtr labelVideoRecord() const { return labelVideoRecord_; }
    LabelPtr labelGPSNavigation() const { return labelGPSNavigation_; }
    LabelPtr labelReading() const { return labelReading_; }
    ImageViewPtr iconVideo() const { return iconVideo_; }
    LabelPtr labelTimeChargeTime() const { return labelTimeChargeTime_; }
    LabelPtr labelTimeGames2D() const { return labelTimeGames2D_; }
    LabelPtr labelTimeGames3D() const { return labelTimeGames3D_; }
    LabelPtr labelTimeVideoChat() const { return labelTimeVideoChat_; }
    LabelPtr labelTimeTakingPhotos() const { return labelTimeTakingPhotos_; }
    LabelPtr labelTimeVideoRecording() const { return labelTimeVideoRecording_; }
    LabelPtr labelTimeGPSNavigation() const { return labelTimeGPSNavigation_; }
    LabelPtr labelTimeReading() const { return labelTimeReading_; }
    std::shared_ptr<platform::ui::Button> buttonFlashlight() const { return buttonFlashlight_; }
    ImageViewPtr iconFlashlight() const { return iconFlashlight_; }
    LabelPtr labelFlashlight() const { return labelFlashlight_; }
    LabelPtr labelTimeFlashlight() const { return labelTimeFlashlight_; }
    ImageViewPtr bgImage() const { return bgImage_; }
    const std::array<ImageViewPtr, 5>& bubbles() const { return bubbles_; }
    LabelPtr labelPercentage() const { return labelPercentage_; }
    LabelPtr labelDevice() const { return labelDevice_; }
    LabelPtr labelStandby() const { return labelStandby_; }
    LabelPtr labelTitleMusic() const { return labelTitleMusic_; }
    LabelPtr labelTitleWeb() const { return labelTitleWeb_; }
    LabelPtr labelTitleVideo() const { return labelTitleVideo_; }
    LabelPtr labelTitleTalk() const { return labelTitleTalk_; }
    ImageViewPtr imageCharging() const { return imageCharging_; }
    ImageViewPtr imageTalk() const { return imageTalk_; }
    ImageViewPtr imageWeb() const { return imageWeb_; }
    ImageViewPtr imageMusic() const { return imageMusic_; }
    ImageViewPtr imageVideo() const { return imageVideo_; }
    LabelPtr labelTimeMusic() const { return labelTimeMusic_; }
    LabelPtr labelTimeVideo() const { return labelTimeVideo_; }
    LabelPtr labelTimeNetWifi() const { return labelTimeNetWifi_; }
    LabelPtr labelTimeNet3G() const { return labelTimeNet3G_; }
    LabelPtr labelTimeTalk() const { return labelTimeTalk_; }
    LabelPtr labelTimeTalk3G() const { return labelTimeTalk3G_; }

private:
    void applyEstimate(const BatteryEstimate& e, bool shiftRows);
    std::weak_ptr<MainViewController> weakSelf();

    int32_t currentAnim_ = 0;
    BatteryRefresh refresh_;
    // Right shift of the music row decided by the refresh, kept across appearances.
    double musicShiftX_ = 0;

    std::weak_ptr<platform::ui::ScrollView> mainScrollView_;
    std::weak_ptr<MainContentView> mainContentView_;
    // The information button, which also asks for a review.
    std::shared_ptr<TWKReviewPopupButton> buttonMoreApps_;
    LabelPtr labelScrollDown_;
    std::shared_ptr<platform::ui::View> viewScrollDownInfo_;
    std::shared_ptr<platform::ui::View> detailView_;
    ImageViewPtr imageChargeTimeIcon_;
    std::shared_ptr<BatteryFillView> viewBatteryFill_;
    LabelPtr labelChargeTime_, labelGames2D_, labelGames3D_, labelVideoChat_, labelTakePhotos_, labelVideoRecord_,
        labelGPSNavigation_, labelReading_;
    ImageViewPtr iconVideo_;
    LabelPtr labelTimeChargeTime_, labelTimeGames2D_, labelTimeGames3D_, labelTimeVideoChat_, labelTimeTakingPhotos_,
        labelTimeVideoRecording_, labelTimeGPSNavigation_, labelTimeReading_;
    std::shared_ptr<platform::ui::Button> buttonFlashlight_;
    ImageViewPtr iconFlashlight_;
    LabelPtr labelFlashlight_, labelTimeFlashlight_;
    ImageViewPtr bgImage_;
    std::array<ImageViewPtr, 5> bubbles_;  // imgBulleA to imgBulleE
    std::shared_ptr<SoundEffect> sound_;
    LabelPtr labelPercentage_, labelDevice_, labelStandby_;
    std::shared_ptr<platform::ui::View> viewAllInfo_, viewTitleBox_;
    LabelPtr labelTitleMusic_, labelTitleWeb_, labelTitleVideo_, labelTitleTalk_;
    ImageViewPtr imageCharging_;
    ImageViewPtr imageTalk_, imageWeb_, imageMusic_, imageVideo_;
    LabelPtr labelTimeMusic_, labelTimeVideo_, labelTimeNetWifi_, labelTimeNet3G_, labelTimeTalk_, labelTimeTalk3G_;
    std::shared_ptr<platform::foundation::Timer> levelTimer_, animTimer_;
    std::shared_ptr<platform::ui::Button> buttonSettings_;

    std::vector<platform::foundation::Observer> observers_;
    BatteryWords words_;
};
