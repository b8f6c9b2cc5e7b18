#include "framework/TWKReportIntroViewController.h"

#include <algorithm>
#include <cstdio>

#include "framework/DeviceDetection.h"
#include "framework/TWKMoreInfo.h"
#include "framework/TwkShareLinks.h"
#include "framework/TwkUtils.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/ui/Device.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Window.h"

namespace ui = platform::ui;
namespace pf = platform::foundation;

namespace {

std::string plistString(const std::string& key) {
    const pf::Value v = TwkUtils::getPlistKey(key);
    return v.isString() ? v.string() : "";
}

}  // namespace

TWKReportIntroViewController::TWKReportIntroViewController()
    : TWKMoreAppsBaseViewController("TWKReportIntroViewController", resourceBundle()) {}

TWKReportIntroViewController::~TWKReportIntroViewController() {
    if (webViewInfo_) webViewInfo_->setDelegate(nullptr);
}

void TWKReportIntroViewController::declareConnections(ui::ConnectionTable& t) {
    TWKMoreAppsBaseViewController::declareConnections(t);
    t.outlet("webViewInfo", webViewInfo_);
    t.outlet("buttonUnderstand", buttonUnderstand_);
    t.action("goFeedBackMail:", [this](ui::Control& s) { goFeedBackMail(&s); });
}

std::string TWKReportIntroViewController::pageHTML() {
    std::string html =
        "<html><head><style type='text/css'> h1 {padding-top:1em;font-size:1.3em;} body "
        "{background-color:transparent;padding:0;margin:0; font-family:Helvetica;font-size:13px; color:#434343;  } a "
        "{color:#0277bd;}</style></head><body>";
    html += "<p>";
    if (TwkUtils::getScale() >= 2.0f)
        html +=
            "<img src='appidea@2x.png' style='float:left; padding-top:0px;padding-right:8px;width:24px;height:24px;'/>";
    else
        html += "<img src='appidea.png' style='float:left; padding-top:0px;padding-right:8px;'/>";
    html += TWKMoreInfo::localizedString("problem_intro_a");
    html += "<p>";
    html += "<ul>";
    for (const char* item : {"<li>Français</li>", "<li>English</li>", "<li>Español</li>", "<li>Português</li>",
                             "<li>Italiano</li>", "<li>(ein bisschen) Deutsch</li>"})
        html += item;
    html += "</ul>";
    html += "<p>";
    html += TWKMoreInfo::localizedString("problem_intro_b");
    html += "</p>";
    html += "<p>";
    html += TWKMoreInfo::localizedString("thanks_understanding");
    html += "</p>";
    html += "</body></html>";
    return html;
}

void TWKReportIntroViewController::viewDidLoad() {
    TWKMoreAppsBaseViewController::viewDidLoad();
    if (webViewInfo_) {
        webViewInfo_->setBackgroundColor(platform::graphics::Color::clear());
        webViewInfo_->setOpaque(false);
        webViewInfo_->setAlpha(0);
        TwkUtils::makeTransparentWebView(*webViewInfo_);
    }
    if (buttonUnderstand_) buttonUnderstand_->setTitle(TWKMoreInfo::localizedString("ok_i_understand"));
    if (webViewInfo_) {
        webViewInfo_->setDelegate(this);
        const pf::Bundle* bundle = resourceBundle();
        const std::string base = bundle ? TwkUtils::fileURL(bundle->bundlePath() + "/") : "";
        webViewInfo_->loadHTMLString(pageHTML(), base);
    }
}

void TWKReportIntroViewController::viewWillAppear(bool animated) {
    TWKMoreAppsBaseViewController::viewWillAppear(animated);
    // On its own (from the review dialog) nothing else closes the page when
    // no mail can be sent: give it its own way out.
    const bool stacked = ui::navigationController(*this) != nullptr;
    if (!stacked && !closeButton_) {
        const auto b = view()->bounds();
        closeButton_ = std::make_shared<ui::Button>(ui::Rect{b.width() - 80, 20, 72, 44}, ui::Button::Type::System);
        closeButton_->setTitle("Done");
        closeButton_->setTitleColor(TWKButtonDark::globalColorTint());
        closeButton_->titleLabel()->setFont(platform::graphics::Font::boldSystemFont(17));
        closeButton_->setAutoresizingMask(ui::kAutoresizingFlexibleLeftMargin);
        closeButton_->addTarget(
            this, [this](ui::Control&, const ui::Event*) { closeParent(); }, ui::kControlEventTouchUpInside);
        view()->addSubview(closeButton_);
    } else if (stacked && closeButton_) {
        closeButton_->removeFromSuperview();
        closeButton_.reset();
    }
}

void TWKReportIntroViewController::webViewDidFinishLoad(ui::WebView& webView) {
    if (TwkUtils::isIpadMini()) TwkUtils::increaseFontSizeOnIpadMiniForWebView(webView);
    auto web = webViewInfo_;
    if (!web) return;
    ui::View::animate(0.4, [web] { web->setAlpha(1.0); });
}

std::string TWKReportIntroViewController::supportMailSubject() {
    const std::string lang = pf::uppercased(TwkUtils::getLang());
    std::string title = TWKMoreInfo::localizedString("problem_mail_title");
    if (TwkUtils::isUlmarokBrand()) title = pf::replacingOccurrences(title, kMakerDomain, kBrandDomain);
    return "[iOS," + lang + "," + plistString("CFBundleDisplayName") + "] " + title;
}

std::string TWKReportIntroViewController::supportMailBody() {
    const ui::Screen& screen = ui::Screen::main();
    char resolution[96];
    std::snprintf(resolution, sizeof resolution, "%.0fx%.0f (Scale:%.1f)", screen.bounds().width(),
                  screen.bounds().height(), screen.scale());
    std::string body = TWKMoreInfo::localizedString("problem_mail_body") + ":\n";
    body += "\n\n\n";
    body += "AppLink: " + TWKMoreInfo::getAppShortlinkWithLocale(false) + "\n";
    body += "AppID: " + plistString("CFBundleIdentifier") + "\n";
    body += "AppVersion.: " + TwkUtils::getAppVersionString() + "\n";
    body += "Locale: " + TwkUtils::getLocale() + "\n";
    body += "RealName: " + DeviceDetection::name(false) + "\n";
    body += "DeviceCode: " + TwkUtils::getHardwareModel() + "\n";
    body += "OSVersion: " + ui::Device::current().systemVersion() + " :-)\n";
    body += std::string("Resolution: ") + resolution;
    // Lines of the application's own, from a root screen that offers them.
    if (ui::Window* key = ui::Window::keyWindow())
        if (auto root = ui::rootViewController(*key))
            if (auto* extra = dynamic_cast<TWKMoreInfoDelegate*>(root.get()))
                body += extra->additionalTechInfoForSupportMail();
    return body;
}

void TWKReportIntroViewController::goFeedBackMail(ui::Control*) {
    const std::string subject = supportMailSubject();
    const std::string body = supportMailBody();
    auto self = std::dynamic_pointer_cast<ui::ViewController>(shared_from_this());
    if (!TwkShareLinks::mailComposeWithTitle(subject, body, false, std::string(kSupportAddress), self))
        TwkUtils::showAlertWithTitle("No mail configured!",
                                     std::string("You can always write me at ") + kSupportAddress);
}

void TWKReportIntroViewController::didFinishWithResult(ui::MailComposeSheet& controller, ui::MailComposeResult,
                                                       const pf::Error*) {
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    controller.dismissViewControllerAnimated(true, [weak] {
        if (auto self = std::dynamic_pointer_cast<TWKReportIntroViewController>(weak.lock())) self->closeParent();
    });
}

void TWKReportIntroViewController::closeParent(void*) {
    if (auto nav = ui::navigationController(*this))
        nav->popToRootViewControllerAnimated(true);
    else
        dismissViewControllerAnimated(true);
}
