#include "framework/TWKAbout.h"

#include "platform/foundation/Format.h"

#include <cstdio>

#include "framework/TWKButtonDark.h"
#include "framework/TWKMoreInfo.h"
#include "framework/TwkShareLinks.h"
#include "framework/TwkUtils.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Application.h"
#include "platform/ui/NavigationController.h"

namespace pf = platform::foundation;
namespace pg = platform::graphics;
namespace ui = platform::ui;

namespace {

const char* const kCreditFiles[] = {"about-credits", "about-credits-common", "about-licenses", "about-licenses-common"};

std::optional<std::string> readUTF8(const std::optional<std::string>& path) {
    if (!path) return std::nullopt;
    auto text = pf::FileManager::readFile(*path);
    if (!text || !TwkUtils::isValidUTF8(*text)) return std::nullopt;
    return text;
}

}  // namespace

TWKAbout::TWKAbout() : TWKMoreAppsBaseViewController("TWKAbout", resourceBundle()) {}

TWKAbout::~TWKAbout() {
    if (webViewCreds_) {
        webViewCreds_->setDelegate(nullptr);
        if (auto scroll = TwkUtils::getScrollViewFromWebView(*webViewCreds_)) scroll->setDelegate(nullptr);
    }
}

void TWKAbout::declareConnections(ui::ConnectionTable& t) {
    TWKMoreAppsBaseViewController::declareConnections(t);
    t.outlet("viewImageLogo", viewImageLogo_);
    t.outlet("webViewCreds", webViewCreds_);
    t.outlet("buttonTwitter", buttonTwitter_);
    t.outlet("bottonWebsite", bottonWebsite_);
    t.outlet("viewLogoContainer", viewLogoContainer_);
    t.outlet("viewLogoText", viewLogoText_);
    t.outlet("viewLabelCode", viewLabelCode_);
    t.action("followOnTwitter:", [this](ui::Control& s) { followOnTwitter(&s); });
    t.action("goToWebsite:", [this](ui::Control& s) { goToWebsite(&s); });
}

std::string TWKAbout::escapeHTML(const std::string& text) { return platform::foundation::escapeMarkup(text); }

std::string TWKAbout::pageHTML() {
    std::string html =
        "<html><head><style type='text/css'> h1 {padding-top:1em;font-size:1.3em;} body "
        "{background-color:transparent;padding:0;margin:0; font-family:Helvetica;font-size:13px; color:#434343;  } a "
        "{color:#0277bd;}</style></head><body>";
    html += "<h1 align='center' style='margin:0;padding:0;'>";
    html += escapeHTML(TwkUtils::getAppNameTranslated().value_or(""));
    html += "</h1>";
    html += "<p align='center' style='margin:0;padding-top:0.2em;' >Version ";
    html += escapeHTML(TwkUtils::getAppVersionString());
    html += "</p>";
    const pf::Bundle* resources = resourceBundle();
    for (const char* name : kCreditFiles) {
        auto path = pf::Bundle::main().pathForResource(name, "html");
        if (!path && resources) path = resources->pathForResource(name, "html");
        if (!path) continue;  // not shipped: nothing to show
        auto text = readUTF8(path);
        if (!text) text = readUTF8(pf::Bundle::main().pathForResource(name, "html"));
        if (!text)
            html += std::string("<h1>Big OOPS</h1><p>MISSING <b>") + name + ".html</b>!</p>";
        else
            html += *text;
    }
    html += "</body></html>";
    return html;
}

void TWKAbout::viewDidLoad() {
    if (viewLogoContainer_) viewLogoContainer_->setBackgroundColor(TWKButtonDark::globalColorTint().withAlpha(0.5));
    setNeedsDoneButton(true);
    TWKMoreAppsBaseViewController::viewDidLoad();
    ui::navigationItem(*this)->setTitle(TWKMoreInfo::localizedString("tab_about"));
    if (!TwkUtils::isUlmarokBrand()) {
        if (viewLabelCode_) viewLabelCode_->setText(TWKMoreInfo::localizedString("codeand") + ": " + kAuthorName);
    } else {
        if (buttonTwitter_) buttonTwitter_->setTitle(std::string("@") + kBrandAccount);
        if (bottonWebsite_) bottonWebsite_->setTitle(kBrandHost);
        if (viewLabelCode_) viewLabelCode_->setHidden(true);
    }
    if (!webViewCreds_) return;
    webViewCreds_->setBackgroundColor(pg::Color::clear());
    webViewCreds_->setOpaque(false);
    webViewCreds_->setAlpha(0);
    if (auto scroll = TwkUtils::getScrollViewFromWebView(*webViewCreds_)) scroll->setDelegate(this);
    TwkUtils::makeTransparentWebView(*webViewCreds_);
    webViewCreds_->setDelegate(this);
    webViewCreds_->loadHTMLString(pageHTML(), "");
}

void TWKAbout::viewWillAppear(bool animated) {
    const double width = view()->bounds().width();
    if (viewImageLogo_) viewImageLogo_->setAlpha(0);
    if (viewLogoText_) viewLogoText_->setAlpha(0);
    if (viewLabelCode_) {
        viewLabelCode_->setAlpha(0);
        viewLabelCode_->setCenter({-width, viewLabelCode_->center().y});
    }
    if (auto text = viewLogoText_) ui::View::animate(2.0, [text] { text->setAlpha(1.0); });
    // The line belongs to the header, which a grown page keeps out of sight.
    const double creditAlpha = isPageGrown() ? 0.0 : 1.0;
    if (auto label = viewLabelCode_)
        ui::View::animate(1.0, 0.5, ui::kAnimationOptionNone, [label, width, creditAlpha] {
            label->setAlpha(creditAlpha);
            label->setCenter({width / 2, label->center().y});
        });
    const uint64_t generation = ++logoGeneration_;
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    pf::dispatch::globalQueue(pf::dispatch::Priority::Background).async([weak, generation] {
        if (auto self = std::dynamic_pointer_cast<TWKAbout>(weak.lock())) self->loadLogo(generation);
    });
    TWKMoreAppsBaseViewController::viewWillAppear(animated);
}

void TWKAbout::loadLogo(uint64_t generation) {
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    if (TwkUtils::isUlmarokBrand()) {
        auto logo = TwkUtils::getBundleImage("ulmarok_logo.png");
        TwkUtils::runOnMainSafely([weak, logo, generation] {
            auto self = std::dynamic_pointer_cast<TWKAbout>(weak.lock());
            if (!self || self->logoGeneration_ != generation) return;
            if (self->viewLogoText_) self->viewLogoText_->setImage(logo);
            if (self->viewImageLogo_) self->viewImageLogo_->setImage(nullptr);
        });
        return;
    }
    std::vector<std::shared_ptr<pg::Image>> frames;
    for (int i = 0; i < kLogoFrames; ++i) {
        if (logoGeneration_ != generation) return;  // the screen has gone meanwhile
        char name[32];
        std::snprintf(name, sizeof name, "logo%i.png", i);
        // A missing frame leaves a gap in the cycle rather than stopping the logo.
        if (auto frame = TwkUtils::getBundleImage(name)) frames.push_back(std::move(frame));
    }
    pf::dispatch::mainQueue().async([weak, frames, generation] {
        if (auto self = std::dynamic_pointer_cast<TWKAbout>(weak.lock())) self->setupAnimation(frames, generation);
    });
}

void TWKAbout::setupAnimation(const std::vector<std::shared_ptr<pg::Image>>& frames, uint64_t generation) {
    if (logoGeneration_ != generation || !viewImageLogo_ || frames.empty()) return;
    viewImageLogo_->setAnimationImages(frames);
    viewImageLogo_->setAnimationDuration(1.5);
    viewImageLogo_->setAnimationRepeatCount(0);
    viewImageLogo_->startAnimating();
    auto logo = viewImageLogo_;
    ui::View::animate(1.0, [logo] { logo->setAlpha(1.0); });
}

void TWKAbout::stopLogo() {
    ++logoGeneration_;
    if (!viewImageLogo_) return;
    viewImageLogo_->stopAnimating();
    viewImageLogo_->setAnimationImages({});
}

void TWKAbout::viewDidDisappear(bool animated) {
    TWKMoreAppsBaseViewController::viewDidDisappear(animated);
    stopLogo();
}

void TWKAbout::didReceiveMemoryWarning() {
    TWKMoreAppsBaseViewController::didReceiveMemoryWarning();
    stopLogo();
}

void TWKAbout::didRotateFromInterfaceOrientation(ui::InterfaceOrientation) {
    if (!webViewCreds_) return;
    if (auto scroll = TwkUtils::getScrollViewFromWebView(*webViewCreds_)) scroll->setContentOffset({0, 0});
}

void TWKAbout::followOnTwitter(ui::Control*) {
    TwkShareLinks::twitterOpenLinkToFollowUser(TwkUtils::isUlmarokBrand() ? kBrandAccount : kMakerAccount);
}

void TWKAbout::goToWebsite(ui::Control*) {
    ui::Application::shared().openURL(TwkUtils::isUlmarokBrand() ? kBrandWebsite : kMakerWebsite);
}

bool TWKAbout::shouldStartLoadWithRequest(ui::WebView&, const std::string& url, ui::WebViewNavigationType) {
    // Plain web links open outside; the page itself, secure pages and other
    // schemes load in place.
    if (url.find("http://") != std::string::npos) {
        ui::Application::shared().openURL(url);
        return false;
    }
    return true;
}

void TWKAbout::webViewDidFinishLoad(ui::WebView& webView) {
    if (TwkUtils::isIpadMini()) TwkUtils::increaseFontSizeOnIpadMiniForWebView(webView);
    auto web = webViewCreds_;
    if (web) ui::View::animate(0.4, [web] { web->setAlpha(1.0); });
}

bool TWKAbout::isPageGrown() const {
    return !TwkUtils::onIPad() && webViewCreds_ && webViewCreds_->frame().origin.y < kHeaderHeight;
}

void TWKAbout::scrollViewDidScroll(ui::ScrollView& scrollView) {
    if (TwkUtils::onIPad() || !webViewCreds_) return;
    const auto b = view()->bounds();
    const double width = b.width() - 40.0;
    const bool scrolled = scrollView.contentOffset().y > 0;
    const ui::Rect target = scrolled ? ui::Rect{20.0, 0, width, b.height()}
                                     : ui::Rect{20.0, kHeaderHeight, width, b.height() - kHeaderHeight};
    const double headerAlpha = scrolled ? 0.0 : 1.0;
    if (webViewCreds_->frame() == target) return;
    auto web = webViewCreds_;
    std::vector<std::shared_ptr<ui::View>> header = {buttonTwitter_, bottonWebsite_, viewLogoContainer_,
                                                     viewLabelCode_};
    ui::View::animate(0.25, 0, ui::kAnimationOptionBeginFromCurrentState, [web, target, header, headerAlpha] {
        web->setFrame(target);
        for (auto& v : header)
            if (v) v->setAlpha(headerAlpha);
    });
}
