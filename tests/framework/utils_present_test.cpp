// Presenting a screen from wherever the application is, the web-view helpers
// and the screenshot.
#include <memory>
#include <string>
#include <vector>

#include "framework/TwkUtils.h"
#include "info_support.h"
#include "platform/foundation/Log.h"
#include "platform/ui/ApplicationDelegate.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/ScrollView.h"

using namespace infotest;

namespace {

class WindowDelegate : public ui::ApplicationDelegate {
public:
    explicit WindowDelegate(std::shared_ptr<ui::Window> window) : window_(std::move(window)) {}
    std::shared_ptr<ui::Window> window() const override { return window_; }

private:
    std::shared_ptr<ui::Window> window_;
};

class Sheet : public ui::ViewController {};
class Pushed : public ui::ViewController {};

class PresentFromAnywhere : public InfoTest {
protected:
    void SetUp() override {
        InfoTest::SetUp();
        ui::Application::shared().setDelegate(std::make_shared<WindowDelegate>(window_));
        pf::setLogSink([this](const std::string& line) { log_.push_back(line); });
    }
    void TearDown() override {
        pf::setLogSink(nullptr);
        InfoTest::TearDown();
    }
    bool logged(const std::string& text) const {
        for (const auto& l : log_)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    std::vector<std::string> log_;
};

TEST_F(PresentFromAnywhere, FromTheTopOfANavigationStack) {
    auto first = std::make_shared<ui::ViewController>();
    auto nav = std::make_shared<ui::NavigationController>(first);
    ui::setRootViewController(*window_, nav);
    settle(0.1);
    auto pushed = std::make_shared<Pushed>();
    nav->pushViewController(pushed, false);
    settle(0.1);

    auto sheet = std::make_shared<Sheet>();
    bool completed = false;
    TwkUtils().showModalControllerFromAnyWhere(sheet, [&] { completed = true; });
    settle(1);
    EXPECT_EQ(pushed->presentedViewController(), sheet);
    EXPECT_EQ(nav->presentedViewController(), nullptr);
    EXPECT_TRUE(completed);
    EXPECT_TRUE(logged("Root class is:platform::ui::NavigationController"));
    EXPECT_TRUE(logged("Root class really is is:" + pushed->nibClassName()));
}

TEST_F(PresentFromAnywhere, FromWhatTheRootPresentsOneLevelDeep) {
    auto cover = std::make_shared<Pushed>();
    root_->presentViewController(cover, false);
    settle(0.1);

    auto sheet = std::make_shared<Sheet>();
    TwkUtils().showModalControllerFromAnyWhere(sheet, nullptr);
    settle(1);
    EXPECT_EQ(cover->presentedViewController(), sheet);
    EXPECT_EQ(root_->presentedViewController(), cover);
}

TEST_F(PresentFromAnywhere, PlainRootPresentsItself) {
    auto sheet = std::make_shared<Sheet>();
    TwkUtils().showModalControllerFromAnyWhere(sheet, nullptr);
    settle(1);
    EXPECT_EQ(root_->presentedViewController(), sheet);
}

TEST_F(PresentFromAnywhere, WebViewHelpers) {
    auto web = std::make_shared<ui::WebView>(ui::Rect{{0, 0}, {200, 300}});
    EXPECT_EQ(TwkUtils::getScrollViewFromWebView(*web), web->scrollView());
    ASSERT_NE(TwkUtils::getScrollViewFromWebView(*web), nullptr);

    // The edge shadows (image views inside the first subview) go, other views stay.
    auto shadow = std::make_shared<ui::ImageView>();
    auto content = std::make_shared<ui::View>();
    web->scrollView()->addSubview(shadow);
    web->scrollView()->addSubview(content);
    TwkUtils::makeTransparentWebView(*web);
    EXPECT_FALSE(web->isOpaque());
    EXPECT_TRUE(shadow->isHidden());
    EXPECT_FALSE(content->isHidden());
}

// The screenshot is the screen as the user sees it: each window over the
// ones made before it, wherever the key window is; a hidden one adds nothing.
TEST_F(PresentFromAnywhere, ScreenshotComposesEveryWindowInOrder) {
    const auto red = platform::graphics::Color::rgb255(255, 0, 0);
    root_->view()->setBackgroundColor(red);
    auto banner = std::make_shared<ui::Window>(ui::Size{100, 80}, 1);
    banner->setFrame({40, 60, 100, 80});
    banner->setBackgroundColor(platform::graphics::Color::rgb255(0, 0, 255));
    banner->setHidden(false);
    auto covered = std::make_shared<ui::Window>(ui::Screen::main().bounds().size, 1);
    covered->setBackgroundColor(platform::graphics::Color::rgb255(0, 255, 0));
    covered->setHidden(true);
    window_->makeKeyAndVisible();
    settle(0.1);

    const auto shot = TwkUtils::takeScreenshot();
    ASSERT_NE(shot, nullptr);
    const double scale = ui::Screen::main().scale();
    EXPECT_EQ(shot->pixelWidth(), int(ui::Screen::main().bounds().width() * scale));
    EXPECT_EQ(shot->pixelHeight(), int(ui::Screen::main().bounds().height() * scale));
    auto at = [&](double x, double y) { return shot->pixelAt(int(x * scale), int(y * scale)); };
    const auto outside = at(20, 20), inside = at(90, 100), edge = at(139, 139);
    EXPECT_TRUE(outside.r == 255 && outside.g == 0 && outside.b == 0) << "the key window";
    EXPECT_TRUE(inside.r == 0 && inside.g == 0 && inside.b == 255) << "the later window over it";
    EXPECT_TRUE(edge.b == 255) << "the later window's far corner, where its frame puts it";
    EXPECT_TRUE(at(160, 300).r == 255) << "beside it, the key window again";
}

}  // namespace
