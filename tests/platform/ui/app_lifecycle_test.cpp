#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "app_test_support.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Application.h"
#include "platform/ui/ClassRegistry.h"
#include "platform/ui/Device.h"
#include "platform/ui/Label.h"
#include "platform/ui/NotificationNames.h"
#include "platform/ui/Window.h"
#include "tests/support/GlobalStateGuard.h"
#include "tests/support/InProcessLaunch.h"
#include "tests/support/WaitUntil.h"

using namespace platform::ui;
namespace pf = platform::foundation;

namespace {

std::vector<std::string> gLog;
bool gRaiseSignals = false;
int gEndSignal = SIGTERM;

class TestRootController : public ViewController {
public:
    TestRootController() : ViewController("TestRoot") {}
    std::shared_ptr<Label> status;
    void declareConnections(ConnectionTable& t) override {
        ViewController::declareConnections(t);
        t.outlet("status", status);
    }
    void viewDidLoad() override { gLog.push_back("viewDidLoad"); }
    void viewWillAppear(bool) override { gLog.push_back("viewWillAppear"); }
    void viewDidAppear(bool) override {
        gLog.push_back("viewDidAppear");
        // A fade-in, as screens do when they come up: the snapshot waits for it.
        // (Not in the signal test, which runs on the system clock and ends at once.)
        if (!gRaiseSignals) View::animate(0.5, [this] { status->setAlpha(1); });
    }
    void didReceiveMemoryWarning() override { gLog.push_back("controller.memoryWarning"); }
};

class TestAppDelegate : public ApplicationDelegate {
public:
    std::shared_ptr<Window> window_;
    std::shared_ptr<TestRootController> root;
    void declareConnections(ConnectionTable& t) override { t.outlet("window", window_); }
    std::shared_ptr<Window> window() const override { return window_; }

    bool didFinishLaunchingWithOptions(Application& app, const pf::Value&) override {
        gLog.push_back(std::string("didFinishLaunching state=") +
                       (app.applicationState() == ApplicationState::Inactive ? "inactive" : "?"));
        root = std::make_shared<TestRootController>();
        setRootViewController(*window_, root);
        window_->makeKeyAndVisible();
        return true;
    }
    void applicationDidBecomeActive(Application&) override {
        gLog.push_back("didBecomeActive");
        if (gRaiseSignals) {
            raise(SIGUSR1);
            raise(gEndSignal);
        }
    }
    void applicationWillResignActive(Application&) override { gLog.push_back("willResignActive"); }
    void applicationDidEnterBackground(Application&) override { gLog.push_back("didEnterBackground"); }
    void applicationWillEnterForeground(Application&) override { gLog.push_back("willEnterForeground"); }
    void applicationWillTerminate(Application&) override { gLog.push_back("willTerminate"); }
    void applicationDidReceiveMemoryWarning(Application&) override { gLog.push_back("delegate.memoryWarning"); }
};

// A small application bundle: Info.plist naming the main interface file, the
// main file with the delegate and the window, the root screen's file.
class AppTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ClassRegistry::add<TestAppDelegate>("TestAppDelegate"); }
    void SetUp() override {
        gLog.clear();
        gRaiseSignals = false;
        gEndSignal = SIGTERM;
        pf::Value info = pf::Value::emptyDictionary();
        info["CFBundleIdentifier"] = "org.quenmira.apptest";
        info["NSMainNibFile"] = "TestMain";
        ASSERT_TRUE(info.writeXMLPropertyListFile(bundle_.file("Info.plist")));
        bundle_.write("TestMain.json", R"({"objects": [
            {"class": "TestAppDelegate", "outlet": "delegate", "outlets": {"window": "win"}},
            {"class": "Window", "id": "win", "backgroundColor": "black"}]})");
        bundle_.write("TestRoot.json", R"({"objects": [
            {"class": "View", "outlet": "view", "backgroundColor": "#ff0000", "subviews": [
              {"class": "Label", "outlet": "status", "frame": [0, 0, 100, 20], "alpha": 0, "text": "up"}]}]})");
        pf::Bundle::setMainBundlePath(bundle_.path());
        observer_ = pf::NotificationCenter::defaultCenter().addObserver("", nullptr, [](const pf::Notification& n) {
            if (n.name.rfind("UIApplication", 0) == 0) gLog.push_back("notify:" + n.name.substr(13));
        });
    }
    int run(std::vector<std::string> args) {
        return qmtest::launchInProcess(std::move(args), bundle_.path(), home_.path());
    }
    // The test delegate launched in this process, on the manual clock.
    Application& launchInProcess() {
        auto delegate = std::make_shared<TestAppDelegate>();
        delegate->window_ = std::make_shared<Window>(Size{320, 480}, 1);
        Application& app = Application::shared();
        app.setDelegate(delegate);
        pf::Clock::setCurrent(std::make_shared<pf::ManualClock>());
        app.launch();
        return app;
    }
    qmtest::TempDir bundle_, home_, out_;
    qmtest::GlobalStateGuard guard_;  // --info-plist, --home, --device and the others
    pf::Observer observer_;
};

}  // namespace

TEST_F(AppTest, HeadlessLaunchRunsTheLifeCycleInOrderAndWritesASnapshot) {
    const std::string png = out_.file("screen.png");
    ASSERT_EQ(run({"--headless", "--snapshot", png, "--device", "iPhone7,2", "--battery", "0.5:charging",
                   "--brightness", "0.4"}),
              0);
    const std::vector<std::string> expected = {"didFinishLaunching state=inactive",
                                               "viewDidLoad",
                                               "notify:DidFinishLaunchingNotification",
                                               "viewWillAppear",
                                               "didBecomeActive",
                                               "notify:DidBecomeActiveNotification",
                                               "viewDidAppear",
                                               "willResignActive",
                                               "notify:WillResignActiveNotification",
                                               "didEnterBackground",
                                               "notify:DidEnterBackgroundNotification",
                                               "willTerminate",
                                               "notify:WillTerminateNotification"};
    EXPECT_EQ(gLog, expected);

    auto image = platform::graphics::Image::fromFile(png, 1);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelWidth(), 750);  // 375 x 667 points at 2 pixels per point
    EXPECT_EQ(image->pixelHeight(), 1334);
    const auto p = image->pixelAt(375, 900);
    EXPECT_EQ(p.r, 255);
    EXPECT_EQ(p.g, 0);
    EXPECT_EQ(p.a, 255);
    // Settled means the fade-in ran to its end.
    auto* delegate = dynamic_cast<TestAppDelegate*>(Application::shared().delegate());
    ASSERT_TRUE(delegate);
    EXPECT_EQ(delegate->root->status->alpha(), 1.0);
    EXPECT_FLOAT_EQ(Device::current().batteryPercentage(), 50);
    EXPECT_EQ(Screen::main().brightness(), 0.4);
}

TEST_F(AppTest, AfterRunsSimulatedTime) {
    const std::string png = out_.file("later.png");
    ASSERT_EQ(run({"--snapshot", png, "--after", "600", "--battery", "1"}), 0);
    EXPECT_TRUE(platform::graphics::Image::fromFile(png));
    // Ten minutes passed on the simulated clock without waiting for them.
    EXPECT_GE(pf::Clock::current().monotonic(), 600);
}

// SIGHUP (the terminal closed) ends it in order too, so the settings are saved.
class AppSignalTest : public AppTest, public ::testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(EndSignals, AppSignalTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

TEST_P(AppSignalTest, SignalsEndTheLoopAndWarnOfMemory) {
    gRaiseSignals = true;
    gEndSignal = GetParam();
    // As from a terminal: a test program started as a background job of a
    // script ignores SIGINT, which the application would keep ignoring.
    struct sigaction byDefault {}, before {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(gEndSignal, &byDefault, &before);
    const int status = run({"--headless", "--battery", "0.3"});
    sigaction(gEndSignal, &before, nullptr);
    ASSERT_EQ(status, 0);
    const std::vector<std::string> tail = {"delegate.memoryWarning",
                                           "notify:DidReceiveMemoryWarningNotification",
                                           "controller.memoryWarning",
                                           "willResignActive",
                                           "notify:WillResignActiveNotification",
                                           "didEnterBackground",
                                           "notify:DidEnterBackgroundNotification",
                                           "willTerminate",
                                           "notify:WillTerminateNotification"};
    ASSERT_GE(gLog.size(), tail.size());
    std::vector<std::string> end(gLog.end() - long(tail.size()), gLog.end());
    // The memory warning's controller line may come before or after its notification's observers.
    std::sort(end.begin(), end.begin() + 3);
    std::vector<std::string> want = tail;
    std::sort(want.begin(), want.begin() + 3);
    EXPECT_EQ(end, want);
}

TEST_F(AppTest, HelpAndBadOptions) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(run({"--help"}), 0);
    const std::string help = testing::internal::GetCapturedStdout();
    EXPECT_NE(help.find("--snapshot"), std::string::npos);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run({"--battery", "full"}), 2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("battery"), std::string::npos);
    EXPECT_TRUE(gLog.empty());
}

TEST_F(AppTest, BrokenMainInterfaceFileIsReported) {
    bundle_.write("TestMain.json", R"({"objects": [{"class": "NoSuchDelegate", "outlet": "delegate"}]})");
    testing::internal::CaptureStderr();
    EXPECT_EQ(run({"--snapshot", out_.file("x.png")}), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("TestMain.json"), std::string::npos) << err;
    EXPECT_NE(err.find("NoSuchDelegate"), std::string::npos) << err;

    pf::Value info = pf::Value::emptyDictionary();
    info["CFBundleIdentifier"] = "org.quenmira.apptest";
    const std::string other = info.writeXMLPropertyListFile(out_.file("Other.plist")) ? out_.file("Other.plist") : "";
    testing::internal::CaptureStderr();
    EXPECT_EQ(run({"--snapshot", out_.file("x.png"), "--info-plist", other}), 1);
    const std::string noNib = testing::internal::GetCapturedStderr();
    EXPECT_NE(noNib.find("NSMainNibFile"), std::string::npos) << noNib;
    EXPECT_NE(noNib.find(other), std::string::npos) << noNib;
}

TEST_F(AppTest, AHomeThatCannotBeWrittenEndsTheLaunchWithOneClearLine) {
    const std::string blocker = out_.write("not-a-folder", "x");
    testing::internal::CaptureStderr();
    EXPECT_EQ(run({"--snapshot", out_.file("x.png"), "--home", blocker + "/home"}), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("the sandbox " + blocker + "/home cannot be written"), std::string::npos) << err;
    EXPECT_TRUE(gLog.empty());  // nothing ran that would have been lost
    EXPECT_FALSE(std::filesystem::exists(out_.file("x.png")));
}

TEST_F(AppTest, AnInfoPlistThatCannotBeUsedIsNamedInTheError) {
    const std::string broken = out_.write("Broken.plist", "<plist><dict><key>x</key>");
    testing::internal::CaptureStderr();
    EXPECT_EQ(run({"--snapshot", out_.file("x.png"), "--info-plist", broken}), 2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"" + broken + "\""), std::string::npos) << err;
    EXPECT_EQ(err.find(bundle_.file("Info.plist")), std::string::npos) << err;

    pf::Value info = pf::Value::emptyDictionary();
    info["CFBundleIdentifier"] = "../../../outside/escaped";
    info["NSMainNibFile"] = "TestMain";
    ASSERT_TRUE(info.writeXMLPropertyListFile(out_.file("Escaping.plist")));
    testing::internal::CaptureStderr();
    EXPECT_EQ(run({"--snapshot", out_.file("x.png"), "--info-plist", out_.file("Escaping.plist")}), 1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(out_.file("Escaping.plist")), std::string::npos) << err;
    EXPECT_NE(err.find("../../../outside/escaped"), std::string::npos) << err;
    EXPECT_TRUE(gLog.empty());
    EXPECT_FALSE(std::filesystem::exists(home_.path() + "/../../outside"));
}

TEST_F(AppTest, TheIdleTimerHoldsOnlyInTheForeground) {
    Application& app = launchInProcess();
    app.setIdleTimerDisabled(true);
    EXPECT_TRUE(app.isScreenSaverHeldOff());
    app.enterBackground();
    EXPECT_TRUE(app.isIdleTimerDisabled());
    EXPECT_FALSE(app.isScreenSaverHeldOff());
    app.enterForeground();
    EXPECT_TRUE(app.isScreenSaverHeldOff());
    app.terminate();
    EXPECT_FALSE(app.isScreenSaverHeldOff());
}

TEST_F(AppTest, StatesMoveOnlyFromWhereTheyCan) {
    Application& app = launchInProcess();
    pf::RunLoop::main().runUntilIdle();
    EXPECT_EQ(app.applicationState(), ApplicationState::Active);
    gLog.clear();
    app.enterBackground();  // resigns first
    app.enterBackground();
    app.enterForeground();
    app.becomeActive();
    app.terminate();
    app.terminate();
    const std::vector<std::string> expected = {"willResignActive",    "notify:WillResignActiveNotification",
                                               "didEnterBackground",  "notify:DidEnterBackgroundNotification",
                                               "willEnterForeground", "notify:WillEnterForegroundNotification",
                                               "didBecomeActive",     "notify:DidBecomeActiveNotification",
                                               "willResignActive",    "notify:WillResignActiveNotification",
                                               "didEnterBackground",  "notify:DidEnterBackgroundNotification",
                                               "willTerminate",       "notify:WillTerminateNotification"};
    EXPECT_EQ(gLog, expected);
}

TEST(AppURLs, BrowserWithoutAShellAndHandlersByScheme) {
    qmtest::TempDir dir;
    const std::string record = dir.file("opened.txt");
    const std::string browser =
        dir.write("browser", "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > " + qmtest::shellQuoted(record + ".tmp") +
                                 " && mv " + qmtest::shellQuoted(record + ".tmp") + " " + qmtest::shellQuoted(record) + "\n");
    chmod(browser.c_str(), 0755);
    Application app;
    app.setBrowserCommand(browser);
    const std::string url = "https://example.org/a b?x=1&y=$(touch " + dir.file("pwned") + ");z";
    EXPECT_TRUE(app.canOpenURL(url));
    ASSERT_TRUE(app.openURL(url));
    qmtest::waitUntil([&] { return std::filesystem::exists(record); });
    std::ifstream in(record);
    std::string got((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(got, "1|" + url);  // one argument, as given
    EXPECT_FALSE(std::filesystem::exists(dir.file("pwned")));

    app.setBrowserCommand(dir.file("no-such-browser"));
    EXPECT_FALSE(app.canOpenURL("http://example.org"));
    EXPECT_FALSE(app.openURL("http://example.org"));

    std::vector<std::string> seen;
    app.registerURLHandler("quenmira-light", [&](const std::string& u) {
        seen.push_back(u);
        return true;
    });
    EXPECT_TRUE(app.canOpenURL("Quenmira-Light://on"));
    EXPECT_TRUE(app.openURL("quenmira-light://on"));
    EXPECT_EQ(seen, std::vector<std::string>{"quenmira-light://on"});
    EXPECT_FALSE(app.canOpenURL("mailto:someone@example.org"));
    EXPECT_FALSE(app.openURL("mailto:someone@example.org"));
    EXPECT_FALSE(app.openURL("no scheme here"));
    app.registerURLHandler("quenmira-light", nullptr);
    EXPECT_FALSE(app.canOpenURL("quenmira-light://on"));
}

TEST(AppURLs, ALinkThatCannotBeOpenedSaysSoInOneLine) {
    qmtest::TempDir dir;
    std::mutex lock;
    std::vector<std::string> lines;
    pf::setLogSink([&](const std::string& line) {
        std::lock_guard<std::mutex> g(lock);
        lines.push_back(line.substr(line.find("] ") + 2));  // the message, without time and process
    });
    auto seen = [&] {
        std::lock_guard<std::mutex> g(lock);
        return lines;
    };
    Application app;
    app.setBrowserCommand(dir.file("no-such-browser"));
    EXPECT_FALSE(app.openURL("https://tarnowick.example/s/quenmira"));
    EXPECT_FALSE(app.openURL("mailto:someone@example.org"));
    // A browser that fails after saying why in its own words.
    const std::string browser = dir.write("browser", "#!/bin/sh\necho 'no method available' >&2\nexit 3\n");
    chmod(browser.c_str(), 0755);
    app.setBrowserCommand(browser);
    EXPECT_TRUE(app.openURL("http://tarnowick.example/"));
    qmtest::waitUntil([&] { return seen().size() >= 3; });
    pf::setLogSink(nullptr);
    const std::vector<std::string> expected = {
        "Cannot open https://tarnowick.example/s/quenmira: " + dir.file("no-such-browser") +
            " is not installed (Debian: xdg-utils)",
        "Cannot open mailto:someone@example.org: nothing here opens mailto links",
        "Cannot open http://tarnowick.example/: " + browser + " ended with status 3"};
    EXPECT_EQ(seen(), expected);
}
