// The settings sheet: the colour rule at its band edges, the stored settings,
// a colour picked with the custom colour off, and the weak delegate.
#include <cmath>

#include "app/BatteryFillView.h"
#include "app/SettingsController.h"
#include "tests/app/main_test_support.h"

using namespace qmtest;
using platform::graphics::Color;

namespace {

const Color kRed = Color::rgba(0.9, 0.0, 0.0, 1.0);
const Color kOrange = Color::rgba(0.9, 0.5, 0.0, 1.0);
const Color kBlue = Color::rgba(0.0, 0.5, 0.9, 1.0);
const Color kGreen = Color::rgba(0.0, 0.9, 0.0, 1.0);

class SettingsTest : public ScreenFixture {
protected:
    std::shared_ptr<SettingsController> loaded() {
        auto vc = std::make_shared<SettingsController>();
        vc->view();
        return vc;
    }
    static pf::UserDefaults& defaults() { return pf::UserDefaults::standard(); }
};

struct Finisher : SettingsControllerDelegate {
    int calls = 0;
    void settingsControllerDidFinish(SettingsController&) override { ++calls; }
};

}  // namespace

TEST(SettingsColourRuleTest, BandsAtTheirExactEdges) {
    EXPECT_EQ(SettingsController::colorForChargeFraction(-1.0f), kRed);
    EXPECT_EQ(SettingsController::colorForChargeFraction(0.24f), kRed);
    EXPECT_EQ(SettingsController::colorForChargeFraction(std::nextafter(0.25f, 0.0f)), kRed);
    EXPECT_EQ(SettingsController::colorForChargeFraction(0.25f), kOrange);
    EXPECT_EQ(SettingsController::colorForChargeFraction(0.49f), kOrange);
    EXPECT_EQ(SettingsController::colorForChargeFraction(std::nextafter(0.5f, 0.0f)), kOrange);
    EXPECT_EQ(SettingsController::colorForChargeFraction(0.5f), kBlue);
    EXPECT_EQ(SettingsController::colorForChargeFraction(0.79f), kBlue);
    // 0.8 in single precision lies just above 0.8 and is green; the float below it is blue.
    EXPECT_EQ(SettingsController::colorForChargeFraction(std::nextafter(0.8f, 0.0f)), kBlue);
    EXPECT_EQ(SettingsController::colorForChargeFraction(0.8f), kGreen);
    EXPECT_EQ(SettingsController::colorForChargeFraction(1.0f), kGreen);
}

TEST_F(SettingsTest, CustomColourNeedsTheSwitchAndAPick) {
    battery_->set(0.3f, platform::ui::BatteryState::Unplugged);
    EXPECT_EQ(SettingsController::getColorFromPrefs(), kOrange);
    defaults().setObject("customcoloron", pf::Value(1.0));
    EXPECT_EQ(SettingsController::getColorFromPrefs(), kOrange) << "no colour picked yet";
    defaults().setFloat("cr", 0.25f);
    EXPECT_EQ(SettingsController::getColorFromPrefs(), Color::rgba(0.25, 0, 0, 1))
        << "missing green and blue read as 0";
    defaults().setFloat("cg", 0.5f);
    defaults().setFloat("cb", 0.75f);
    EXPECT_EQ(SettingsController::getColorFromPrefs(), Color::rgba(0.25, 0.5, 0.75, 1));
    defaults().setObject("customcoloron", pf::Value(0.0));
    EXPECT_EQ(SettingsController::getColorFromPrefs(), kOrange);
}

TEST_F(SettingsTest, ViewLoadFillsTextsAndControlsFromTheDefaults) {
    defaults().setFloat("healthPercent", 85.0f);
    defaults().setObject("alerton", pf::Value(1.0));
    auto vc = loaded();
    EXPECT_EQ(vc->labelHealth()->text(), "Battery health: 85%");
    EXPECT_FLOAT_EQ(vc->sliderHealth()->value(), 85.0f);
    EXPECT_TRUE(vc->switchSoundAlert()->isOn());
    EXPECT_FALSE(vc->switchAlwaysOn()->isOn());
    EXPECT_FALSE(vc->switchCustomColor()->isOn());
    EXPECT_EQ(vc->labelFullyCharged()->text(), "Sound when fully charged");
    EXPECT_EQ(vc->labelAlwaysOn()->text(), "Keep the screen on");
    EXPECT_EQ(vc->labelCustomColor()->text(), "Custom battery colour");
    EXPECT_FALSE(vc->labelBatteryInfo()->text().empty());
    EXPECT_EQ(vc->viewColorPicker()->pickedColorDelegate(), vc);
    EXPECT_NE(vc->viewColorPicker()->image(), nullptr);  // the colours picture
}

TEST_F(SettingsTest, ControlsStoreTheirValuesAtOnce) {
    auto vc = loaded();
    vc->sliderHealth()->setValue(85.0f);
    vc->sliderHealth()->sendActionsForControlEvents(platform::ui::kControlEventValueChanged);
    EXPECT_FLOAT_EQ(defaults().floatForKey("healthPercent"), 85.0f);
    EXPECT_EQ(vc->labelHealth()->text(), "Battery health: 85%");

    vc->switchAlwaysOn()->setOn(true);
    vc->switchAlwaysOn()->sendActionsForControlEvents(platform::ui::kControlEventValueChanged);
    EXPECT_EQ(defaults().objectForKey("alwayson"), pf::Value(1.0));
    EXPECT_TRUE(defaults().boolForKey("alwayson"));
    vc->switchAlwaysOn()->setOn(false);
    vc->switchAlwaysOn()->sendActionsForControlEvents(platform::ui::kControlEventValueChanged);
    EXPECT_EQ(defaults().objectForKey("alwayson"), pf::Value(0.0));

    vc->switchSoundAlert()->setOn(true);
    vc->switchSoundAlert()->sendActionsForControlEvents(platform::ui::kControlEventValueChanged);
    EXPECT_TRUE(defaults().boolForKey("alerton"));
}

TEST_F(SettingsTest, ColourPickedWithTheSwitchOffIsStoredButNotShown) {
    battery_->set(0.9f, platform::ui::BatteryState::Unplugged);
    auto vc = loaded();
    EXPECT_DOUBLE_EQ(vc->viewColorPicker()->alpha(), 0.25);
    EXPECT_DOUBLE_EQ(vc->viewBatteryFill()->alpha(), 0.25);
    EXPECT_DOUBLE_EQ(vc->viewBatteryBack()->alpha(), 0.25);
    EXPECT_FALSE(vc->viewColorPicker()->isUserInteractionEnabled());

    const Color picked = Color::rgba(0.2, 0.4, 0.6, 1.0);
    vc->pickedColor(picked);
    EXPECT_FLOAT_EQ(defaults().floatForKey("cr"), 0.2f);
    EXPECT_FLOAT_EQ(defaults().floatForKey("cg"), 0.4f);
    EXPECT_FLOAT_EQ(defaults().floatForKey("cb"), 0.6f);
    EXPECT_FLOAT_EQ(vc->viewBatteryFill()->getLevel(), 0.75f);
    EXPECT_NEAR(vc->viewBatteryFill()->batLayer()->doubleForKey("blue"), 0.6, 1e-6);
    EXPECT_EQ(SettingsController::getColorFromPrefs(), kGreen) << "the main screen keeps the band colour";

    vc->switchCustomColor()->setOn(true);
    vc->switchCustomColor()->sendActionsForControlEvents(platform::ui::kControlEventValueChanged);
    EXPECT_EQ(SettingsController::getColorFromPrefs(), Color::rgba(0.2f, 0.4f, 0.6f, 1.0));
    EXPECT_DOUBLE_EQ(vc->viewColorPicker()->alpha(), 1.0);
    EXPECT_TRUE(vc->viewColorPicker()->isUserInteractionEnabled());
}

TEST_F(SettingsTest, PreviewShowsThreeQuartersInTheCurrentColour) {
    battery_->set(0.4f, platform::ui::BatteryState::Unplugged);
    auto vc = loaded();
    vc->viewWillAppear(false);
    EXPECT_FLOAT_EQ(vc->viewBatteryFill()->getLevel(), 0.75f);
    EXPECT_NEAR(vc->viewBatteryFill()->batLayer()->doubleForKey("green"), 0.5, 1e-6);  // orange
    EXPECT_EQ(vc->screenName(), std::optional<std::string>("SettingsController"));
}

TEST_F(SettingsTest, DoneTellsALivingDelegateOnly) {
    auto vc = loaded();
    auto finisher = std::make_shared<Finisher>();
    vc->setDelegate(finisher);
    vc->done();
    EXPECT_EQ(finisher->calls, 1);
    finisher.reset();
    EXPECT_EQ(vc->delegate(), nullptr);
    vc->done();  // nothing to tell, nothing breaks
}

TEST_F(SettingsTest, AutorotatesOnlyToPortraitOnAPhone) {
    auto vc = loaded();
    EXPECT_TRUE(vc->shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation::Portrait));
    EXPECT_FALSE(vc->shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation::LandscapeLeft));
    EXPECT_EQ(vc->preferredStatusBarStyle(), platform::ui::StatusBarStyle::LightContent);
}

TEST_F(SettingsTest, NarrowPhoneSheetFitsTheWidth) {
    play("iPod5,1", 0.75f, pu::BatteryState::Charging);  // 320 points wide, the interface file 375
    auto vc = std::make_shared<SettingsController>();
    show(vc);
    window_->layoutIfNeeded();
    auto inWindow = [](const std::shared_ptr<pu::View>& v) { return v->convertRectTo(v->bounds(), nullptr); };
    const auto picker = inWindow(vc->viewColorPicker());
    const auto preview = inWindow(vc->viewBatteryBack());
    const auto fill = inWindow(vc->viewBatteryFill());
    EXPECT_LE(picker.maxX(), preview.minX()) << "the preview battery lies beside the picker, not over it";
    EXPECT_LE(preview.maxX(), 320.0);
    EXPECT_TRUE(fill.minX() >= preview.minX() && fill.maxX() <= preview.maxX() && fill.minY() >= preview.minY() &&
                fill.maxY() <= preview.maxY())
        << "the battery stands in its back picture";

    auto scroll = std::dynamic_pointer_cast<pu::ScrollView>(vc->viewColorPicker()->superview()->superview());
    ASSERT_NE(scroll, nullptr);
    EXPECT_FALSE(scroll->canScrollHorizontally());
    EXPECT_DOUBLE_EQ(scroll->contentSize().height, 540.0);
}

TEST_F(SettingsTest, GreyPickedIsStoredAsItsRedGreenAndBlue) {
    // A grey colour has two components; its alpha must not be taken for green.
    auto vc = loaded();
    vc->pickedColor(Color::white(0.3, 1.0));
    EXPECT_FLOAT_EQ(defaults().floatForKey("cr"), 0.3f);
    EXPECT_FLOAT_EQ(defaults().floatForKey("cg"), 0.3f);
    EXPECT_FLOAT_EQ(defaults().floatForKey("cb"), 0.3f);
}
