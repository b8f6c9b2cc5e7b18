#pragma once
// The application's main screen: the animated battery with rising bubbles,
// the charge percentage, the device and system, and a row per activity with
// how long the remaining charge lasts. Owns the refresh timers and observers,
// opens the settings sheet, the flashlight application and the information
// area, and starts the review request.
#include <array>
#include <memory>
#include <string>
#include <string_view>
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

    // An outlet of the interface file by its name ("labelPercentage"): null
    // when it is not connected or not a V. Tests and snapshots read the
    // screen through it.
    template <class V = platform::ui::View>
    std::shared_ptr<V> outlet(std::string_view name) const {
        return std::dynamic_pointer_cast<V>(outletView(name));
    }
    LabelPtr label(std::string_view name) const { return outlet<platform::ui::Label>(name); }
    const std::array<ImageViewPtr, 5>& bubbles() const { return bubbles_; }

private:
    // One row per outlet: the member it fills and what the screen does with the view.
    struct OutletRow;
    static const std::vector<OutletRow>& outletRows();
    std::shared_ptr<platform::ui::View> outletView(std::string_view name) const;
    // The name of bubble `index`'s rise.
    static std::string bubbleAnimationID(size_t index);

    void applyEstimate(const BatteryEstimate& e, bool shiftRows);
    std::weak_ptr<MainViewController> weakSelf();

    int32_t currentAnim_ = 0;
    BatteryRefresh refresh_;

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
