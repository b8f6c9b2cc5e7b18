#include <gtest/gtest.h>

#include "app_test_support.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Application.h"
#include "platform/ui/Device.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"
#include "tests/support/GlobalStateGuard.h"
#include "tests/support/RecordingViewController.h"

using namespace platform::ui;
namespace pf = platform::foundation;

namespace {

std::vector<std::string> gEvents;

// A recording controller with an outlet of its own, turning only when told it is on a tablet.
class Recorder : public qmtest::RecordingViewController {
public:
    Recorder(std::string tag, std::string nib = "", const pf::Bundle* bundle = nullptr)
        : RecordingViewController(std::move(tag), gEvents, std::move(nib), bundle) {}
    std::shared_ptr<Label> label;
    bool tablet = false;

    void declareConnections(ConnectionTable& t) override {
        ViewController::declareConnections(t);
        t.outlet("label", label);
    }
    bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation) override { return tablet; }
};

class ControllerTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        gEvents.clear();
        clock_ = std::make_shared<pf::ManualClock>();
        pf::Clock::setCurrent(clock_);
        window_ = std::make_shared<Window>(Size{320, 480}, 1);
    }
    void TearDown() override {
        window_.reset();
        pf::RunLoop::main().runUntilIdle();
    }
    void show(const std::shared_ptr<ViewController>& root) {
        setRootViewController(*window_, root);
        window_->makeKeyAndVisible();
        windowDidBecomeVisible(*window_);
        pf::RunLoop::main().runUntilIdle();
    }
    std::shared_ptr<pf::ManualClock> clock_;
    std::shared_ptr<Window> window_;
};

}  // namespace

TEST_F(ControllerTest, ViewLoadsOnceFromItsInterfaceFile) {
    qmtest::TempDir dir;
    dir.write("Panel.json", R"({"objects": [{"class": "View", "outlet": "view", "frame": [0, 0, 100, 100],
        "subviews": [{"class": "Label", "outlet": "label", "text": "ready"}]}]})");
    auto bundle = pf::Bundle::bundleWithPath(dir.path());
    auto vc = std::make_shared<Recorder>("p", "Panel", bundle.get());
    EXPECT_FALSE(vc->isViewLoaded());
    auto v = vc->view();
    ASSERT_TRUE(v);
    EXPECT_EQ(vc->view(), v);
    ASSERT_TRUE(vc->label);
    EXPECT_EQ(vc->label->text(), "ready");
    EXPECT_EQ(gEvents, std::vector<std::string>{"p.viewDidLoad"});
    EXPECT_EQ(v->nextResponder(), vc.get());  // the controller follows its view in the responder chain
}

TEST_F(ControllerTest, MissingInterfaceFileIsAClearException) {
    qmtest::TempDir dir;
    dir.write("NoView.json", R"({"objects": [{"class": "View"}]})");
    auto bundle = pf::Bundle::bundleWithPath(dir.path());
    auto missing = std::make_shared<Recorder>("m", "Absent", bundle.get());
    try {
        missing->view();
        FAIL() << "no exception";
    } catch (const pf::Exception& e) {
        EXPECT_EQ(e.name(), pf::kInternalInconsistencyException);
        EXPECT_NE(e.reason().find("Absent.json"), std::string::npos) << e.reason();
    }
    auto noOutlet = std::make_shared<Recorder>("n", "NoView", bundle.get());
    EXPECT_THROW(noOutlet->view(), pf::Exception);
    EXPECT_TRUE(gEvents.empty());
}

TEST_F(ControllerTest, RootAppearsThenPresentAndDismissWithFlip) {
    auto root = std::make_shared<Recorder>("root");
    show(root);
    EXPECT_EQ(gEvents, (std::vector<std::string>{"root.viewDidLoad", "root.viewWillAppear", "root.viewDidAppear"}));
    EXPECT_EQ(root->view()->frame(), window_->bounds());
    gEvents.clear();

    auto sheet = std::make_shared<Recorder>("sheet");
    sheet->setModalTransitionStyle(ModalTransitionStyle::FlipHorizontal);
    bool presentedDone = false;
    root->presentViewController(sheet, true, [&] { presentedDone = true; });
    EXPECT_EQ(root->presentedViewController(), sheet);
    EXPECT_EQ(sheet->presentingViewController(), root);
    EXPECT_EQ(gEvents,
              (std::vector<std::string>{"sheet.viewDidLoad", "root.viewWillDisappear+", "sheet.viewWillAppear+"}));
    // Half-way the old view stands edge-on and the new one is not in yet.
    pf::RunLoop::main().runFor(ViewController::kTransitionDuration / 2 - 0.01);
    EXPECT_FALSE(presentedDone);
    EXPECT_FALSE(sheet->view()->window());
    EXPECT_LT(root->view()->layer()->presentationLayer()->transform().a, 0.2);
    pf::RunLoop::main().runFor(ViewController::kTransitionDuration);
    EXPECT_TRUE(presentedDone);
    EXPECT_EQ(sheet->view()->window(), window_.get());
    EXPECT_TRUE(root->view()->isHidden());
    EXPECT_EQ(gEvents,
              (std::vector<std::string>{"sheet.viewDidLoad", "root.viewWillDisappear+", "sheet.viewWillAppear+",
                                        "sheet.viewDidAppear+", "root.viewDidDisappear+"}));
    gEvents.clear();

    // A second presentation from the same controller is refused.
    root->presentViewController(std::make_shared<Recorder>("other"), false);
    EXPECT_EQ(root->presentedViewController(), sheet);

    bool dismissed = false;
    sheet->dismissViewControllerAnimated(true, [&] { dismissed = true; });  // asks its presenter
    EXPECT_EQ(gEvents, (std::vector<std::string>{"sheet.viewWillDisappear+", "root.viewWillAppear+"}));
    pf::RunLoop::main().runFor(ViewController::kTransitionDuration * 2);
    EXPECT_TRUE(dismissed);
    EXPECT_EQ(gEvents, (std::vector<std::string>{"sheet.viewWillDisappear+", "root.viewWillAppear+",
                                                 "sheet.viewDidDisappear+", "root.viewDidAppear+"}));
    EXPECT_FALSE(root->presentedViewController());
    EXPECT_FALSE(sheet->presentingViewController());
    EXPECT_FALSE(sheet->view()->window());
    EXPECT_FALSE(root->view()->isHidden());
    EXPECT_EQ(root->view()->transform(), AffineTransform::identity());
}

TEST_F(ControllerTest, PresentWithoutAnimationIsImmediate) {
    auto root = std::make_shared<Recorder>("root");
    show(root);
    gEvents.clear();
    auto sheet = std::make_shared<Recorder>("sheet");
    root->presentViewController(sheet, false);
    EXPECT_EQ(gEvents, (std::vector<std::string>{"sheet.viewDidLoad", "root.viewWillDisappear", "sheet.viewWillAppear",
                                                 "sheet.viewDidAppear", "root.viewDidDisappear"}));
    root->dismissViewControllerAnimated(false);
    EXPECT_FALSE(root->presentedViewController());
    EXPECT_EQ(gEvents.back(), "root.viewDidAppear");
}

TEST_F(ControllerTest, MemoryWarningReachesDelegateAndControllers) {
    struct Delegate : ApplicationDelegate {
        void applicationDidReceiveMemoryWarning(Application&) override { gEvents.push_back("delegate.memoryWarning"); }
    };
    Application::shared().setDelegate(std::make_shared<Delegate>());
    auto a = std::make_shared<Recorder>("a");
    auto b = std::make_shared<Recorder>("b");  // not on screen: hears it too
    Application::shared().receiveMemoryWarning();
    ASSERT_EQ(gEvents.size(), 3u);
    EXPECT_EQ(gEvents[0], "delegate.memoryWarning");
}

TEST_F(ControllerTest, RotationOnlyOnATablet) {
    Device::current().setHardwareIdentifier("iPhone7,2");
    Screen::main().configure(Device::current().profile());
    auto root = std::make_shared<Recorder>("root");
    root->tablet = true;
    show(root);
    gEvents.clear();
    EXPECT_FALSE(Application::shared().rotateTo(InterfaceOrientation::LandscapeLeft));
    EXPECT_TRUE(gEvents.empty());

    Device::current().setHardwareIdentifier("iPad4,1");
    Screen::main().configure(Device::current().profile());
    window_->setFrame(Screen::main().bounds());
    EXPECT_TRUE(Application::shared().rotateTo(InterfaceOrientation::LandscapeLeft));
    EXPECT_EQ(gEvents, (std::vector<std::string>{"root.willRotate", "root.didRotate"}));
    EXPECT_EQ(Screen::main().bounds(), Rect(0, 0, 1024, 768));
    EXPECT_EQ(window_->bounds().size, Size({1024, 768}));
    EXPECT_EQ(root->view()->frame().size, Size({1024, 768}));
    EXPECT_EQ(root->interfaceOrientation(), InterfaceOrientation::LandscapeLeft);
    // The window's keys turn the device a quarter at a time, as a hand would.
    EXPECT_TRUE(Application::shared().rotateBy(-1));
    EXPECT_EQ(Screen::main().orientation(), InterfaceOrientation::Portrait);
    EXPECT_TRUE(Application::shared().rotateBy(-1));
    EXPECT_EQ(Screen::main().orientation(), InterfaceOrientation::LandscapeRight);
    EXPECT_TRUE(Application::shared().rotateBy(1));
    EXPECT_TRUE(Application::shared().rotateBy(1));
    EXPECT_EQ(Screen::main().orientation(), InterfaceOrientation::LandscapeLeft);

    root->tablet = false;  // a controller that stays upright
    gEvents.clear();
    EXPECT_FALSE(Application::shared().rotateTo(InterfaceOrientation::Portrait));
    EXPECT_TRUE(gEvents.empty());
}
