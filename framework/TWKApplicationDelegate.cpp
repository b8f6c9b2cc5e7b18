#include "framework/TWKApplicationDelegate.h"

#include "framework/TWKButtonDark.h"
#include "framework/TwkAnalytics.h"
#include "platform/foundation/Log.h"
#include "platform/graphics/Context.h"
#include "platform/graphics/Image.h"
#include "platform/graphics/Path.h"
#include "platform/ui/Appearance.h"
#include "platform/ui/Control.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"

namespace pg = platform::graphics;
namespace ui = platform::ui;

void TWKApplicationDelegate::declareConnections(ui::ConnectionTable& table) {
    ApplicationDelegate::declareConnections(table);
    table.outlet("window", window_);
}

void TWKApplicationDelegate::standardTarnowickInitialization() {
    standardTarnowickInitializationWithPelkorDelegate(nullptr);
    finishStandardTarnowickInitialization();
}

void TWKApplicationDelegate::standardTarnowickInitializationWithPelkorDelegate(PKRPelkorManagerDelegate* delegate) {
    TwkAnalytics::startWithPelkorDelegate(delegate);
}

void TWKApplicationDelegate::finishStandardTarnowickInitialization() {
    setGlobalColorStuff();
    TwkAnalytics::startAnalyticsStuff();
}

void TWKApplicationDelegate::setGlobalColorStuff() {
    using A = ui::Appearance;
    const pg::Color tint = TWKButtonDark::globalColorTint();
    const pg::Color white = pg::Color::whiteColor();
    ui::TextAttributes whiteTitle;
    whiteTitle.foregroundColor = white;

    A::forClass(A::kButton).setTintColor(tint);
    A::forClass(A::kSwitch).setTintColor(tint);
    A::forClass(A::kSwitch).setOnTintColor(tint);
    A::forClass(A::kToolbar).setTintColor(white);
    A::forClass(A::kToolbar).setBarTintColor(tint);
    A::forClass(A::kNavigationBar).setTintColor(white);
    A::forClass(A::kNavigationBar).setBarTintColor(tint);
    A::forClass(A::kBarItem).setTitleTextAttributes(whiteTitle, ui::kControlStateNormal);
    A::forClass(A::kBarButtonItem).setTitleTextAttributes(whiteTitle, ui::kControlStateNormal);
    A::forClass(A::kTabBar).setBarTintColor(tint);
    A::forClass(A::kTabBarItem).setTitleTextAttributes(whiteTitle, ui::kControlStateSelected);
    A::forClass(A::kTabBarItem).setTitleTextAttributes(whiteTitle, ui::kControlStateNormal);
    A& tabBar = A::forClass(A::kTabBar);
    tabBar.setTintColor(white);
    tabBar.setSelectedImageTintColor(white);
    tabBar.setShadowImage(nullptr);
    tabBar.setBackgroundColor(pg::Color::black());
    tabBar.setSelectionIndicatorImage(imageFromColor(pg::Color::white(0, 0.1), {64, 49}, 0));
    if (window_) window_->setTintColor(tint);
}

void TWKApplicationDelegate::setupApplication() {
    platform::foundation::log(
        "MUST override setupApplication in TWKApplicationDelegate if using PelkorApp crash delegate!");
}

void TWKApplicationDelegate::setupApplicationAfterCheckForLaunchCrash() {
    if (!TwkAnalytics::didCrashInLastSessionOnStartup()) {
        platform::foundation::log("Loading main storyboard manuylly");
        setupApplication();
        return;
    }
    platform::foundation::log("OOPS didCrashInLastSessionOnStartup");
    if (!window_) return;
    auto placeholder = std::make_shared<ui::ViewController>();
    auto view = placeholder->view();
    view->setFrame(window_->bounds());
    view->setBackgroundColor(pg::Color::gray());
    auto label = std::make_shared<ui::Label>(pg::Rect{10, 100, view->bounds().size.width - 20, 200});
    label->setOpaque(false);
    label->setNumberOfLines(5);
    label->setTextAlignment(pg::TextAlignment::Center);
    label->setTextColor(pg::Color::whiteColor());
    label->setText("Crashed on launch\nSending crash report...");
    view->addSubview(label);
    backupViewController_ = ui::rootViewController(*window_);
    ui::setRootViewController(*window_, placeholder);
    window_->makeKeyAndVisible();
}

void TWKApplicationDelegate::restoreAfterCrashView() {
    if (!backupViewController_) return;
    platform::foundation::log("Restoring backupViewController");
    if (window_) {
        ui::setRootViewController(*window_, backupViewController_);
        window_->makeKeyAndVisible();
    }
    backupViewController_.reset();
    setupApplication();
}

void TWKApplicationDelegate::crashManagerDone(const char* called, const char* settingUp) {
    platform::foundation::log(called);
    if (!TwkAnalytics::didCrashInLastSessionOnStartup()) return;
    platform::foundation::log(settingUp);
    restoreAfterCrashView();
}

void TWKApplicationDelegate::crashManagerWillCancelSendingCrashReport(PKRCrashManager&) {
    crashManagerDone("crashManagerWillCancelSendingCrashReport called",
                     "crashManagerWillCancelSendingCrashReport - calling setup");
}

void TWKApplicationDelegate::crashManagerDidFailWithError(PKRCrashManager&, const platform::foundation::Error&) {
    crashManagerDone("crashManager didFailWithError - called", "crashManager didFailWithError - calling setup");
}

void TWKApplicationDelegate::crashManagerDidFinishSendingCrashReport(PKRCrashManager&) {
    crashManagerDone("crashManagerDidFinishSendingCrashReport - called",
                     "crashManagerDidFinishSendingCrashReport - called setup");
}

std::shared_ptr<pg::Image> TWKApplicationDelegate::imageFromColor(const pg::Color& color, pg::Size size,
                                                                  double radius) {
    const pg::Rect bounds{0, 0, size.width, size.height};
    std::shared_ptr<pg::Image> filled;
    {
        auto ctx = pg::Context::beginImageContext(size, false, 1.0);
        ctx->setFillColor(color);
        ctx->fillRect(bounds);
        filled = ctx->takeImage();
    }
    auto ctx = pg::Context::beginImageContext(size, false, 1.0);
    ctx->addPath(pg::Path::roundedRect(bounds, radius));
    ctx->clip();
    ctx->drawImage(*filled, bounds);
    return ctx->takeImage();
}
