#include "framework/TWKFeedBack.h"

#include "framework/TWKMoreInfo.h"
#include "framework/TWKReportIntroViewController.h"
#include "framework/TwkShareLinks.h"
#include "framework/TwkUtils.h"
#include "platform/foundation/Format.h"
#include "platform/ui/Application.h"
#include "platform/ui/NavigationController.h"

namespace pf = platform::foundation;
namespace ui = platform::ui;

namespace {

// The content block scrolls inside the screen's scroll view.
void embed(const std::shared_ptr<ui::ScrollView>& scroll, const std::shared_ptr<ui::View>& container) {
    if (!scroll || !container) return;
    scroll->addSubview(container);
    scroll->setContentSize(container->bounds().size);
}

void setTitle(const std::shared_ptr<TWKButtonDark>& button, const char* key) {
    if (button) button->setTitle(TWKMoreInfo::localizedString(key));
}

}  // namespace

TWKFeedBack::TWKFeedBack() : TWKMoreAppsBaseViewController("TWKFeedBack", resourceBundle()) {}

void TWKFeedBack::declareConnections(ui::ConnectionTable& t) {
    TWKMoreAppsBaseViewController::declareConnections(t);
    t.outlet("viewScrollview", viewScrollview_);
    t.outlet("viewContainer", viewContainer_);
    t.outlet("labelTitle", labelTitle_);
    t.outlet("buttonILike", buttonILike_);
    t.outlet("buttonProblem", buttonProblem_);
    t.action("goLikeApp:", [this](ui::Control& s) { goLikeApp(&s); });
    t.action("goNotLikeApp:", [this](ui::Control& s) { goNotLikeApp(&s); });
}

void TWKFeedBack::viewDidLoad() {
    setNeedsDoneButton(true);
    if (labelTitle_) labelTitle_->setTextColor(TWKButtonDark::globalColorText());
    TWKMoreAppsBaseViewController::viewDidLoad();
    ui::navigationItem(*this)->setTitle(TWKMoreInfo::localizedString("tab_feedback"));
    embed(viewScrollview_, viewContainer_);
    if (labelTitle_) labelTitle_->setText(TWKMoreInfo::localizedString("do_you_like"));
    setTitle(buttonILike_, "yes_i_like");
    setTitle(buttonProblem_, "app_has_problem");
}

void TWKFeedBack::goLikeApp(ui::Control*) {
    auto like = create<TWKFeedBackLike>();
    like->setMoreInfoParent(moreInfoParent());
    like->setBackToViewController(backToViewController());
    if (auto nav = ui::navigationController(*this)) nav->pushViewController(like, true);
}

void TWKFeedBack::goNotLikeApp(ui::Control*) {
    auto report = create<TWKReportIntroViewController>();
    report->setMoreInfoParent(moreInfoParent());
    report->setBackToViewController(backToViewController());
    if (auto nav = ui::navigationController(*this)) nav->pushViewController(report, true);
}

TWKFeedBackLike::TWKFeedBackLike() : TWKMoreAppsBaseViewController("TWKFeedBackLike", resourceBundle()) {}

std::shared_ptr<ui::ViewController> TWKFeedBackLike::self() { return shared_from_this(); }

void TWKFeedBackLike::declareConnections(ui::ConnectionTable& t) {
    TWKMoreAppsBaseViewController::declareConnections(t);
    t.outlet("viewScrollview", viewScrollview_);
    t.outlet("viewContainer", viewContainer_);
    t.outlet("labelBigTitle", labelBigTitle_);
    t.outlet("buttonReview", buttonReview_);
    t.outlet("buttonMail", buttonMail_);
    t.outlet("buttonTwitter", buttonTwitter_);
    t.outlet("buttonPlazza", buttonPlazza_);
    t.outlet("buttonWeibo", buttonWeibo_);
    t.action("goReview:", [this](ui::Control& s) { goReview(&s); });
    t.action("goShareMail:", [this](ui::Control& s) { goShareMail(&s); });
    t.action("goShareTwitter:", [this](ui::Control& s) { goShareTwitter(&s); });
    t.action("goSharePlazza:", [this](ui::Control& s) { goSharePlazza(&s); });
    t.action("goShareWeibo:", [this](ui::Control& s) { goShareWeibo(&s); });
}

void TWKFeedBackLike::viewDidLoad() {
    if (labelBigTitle_) labelBigTitle_->setTextColor(TWKButtonDark::globalColorText());
    for (const std::shared_ptr<ui::View>& v : {std::shared_ptr<ui::View>(viewScrollview_), viewContainer_, view()})
        if (v) v->setBackgroundColor(TWKButtonDark::globalColorBG());
    TWKMoreAppsBaseViewController::viewDidLoad();
    if (!(TwkUtils::isRunningAtLeastOS6() && TwkUtils::hasKeyboardChineseLanguage())) hideWeiboButton();
    if (!TwkUtils::isRunningAtLeastOS6()) hidePlazzaButton();
    if (labelBigTitle_) labelBigTitle_->setText(TWKMoreInfo::localizedString("feedback_thankyou"));
    setTitle(buttonReview_, "leave_review_appstore");
    setTitle(buttonMail_, "share_email");
    setTitle(buttonPlazza_, "share_plazza");
    setTitle(buttonTwitter_, "share_twitter");
    setTitle(buttonWeibo_, "share_weibo");
    embed(viewScrollview_, viewContainer_);
}

namespace {

void moveTo(const std::shared_ptr<ui::View>& v, const std::shared_ptr<ui::View>& to) {
    if (!v || !to) return;
    ui::Rect f = v->frame();
    f.origin = to->frame().origin;
    v->setFrame(f);
}

}  // namespace

void TWKFeedBackLike::hideWeiboButton() {
    if (buttonWeibo_) buttonWeibo_->setHidden(true);
    moveTo(buttonMail_, buttonWeibo_);
}

void TWKFeedBackLike::hidePlazzaButton() {
    if (buttonPlazza_) buttonPlazza_->setHidden(true);
    moveTo(buttonMail_, buttonTwitter_);
    moveTo(buttonTwitter_, buttonPlazza_);
}

std::string TWKFeedBackLike::simpleShareString() {
    return simpleShareString(TWKMoreInfo::localizedString("share_short_body"));
}

std::string TWKFeedBackLike::simpleShareString(const std::string& shareTemplate) {
    const std::string link = TWKMoreInfo::getAppShortlinkWithLocale(false) + " ";
    const std::string text = pf::replacingOccurrences(shareTemplate, "$APP", TwkUtils::getAppNameTranslated().value_or(""));
    return pf::replacingOccurrences(text, "$URL", link);
}

std::string TWKFeedBackLike::plazzaShareTitle() {
    return plazzaShareTitle(TWKMoreInfo::localizedString("share_short_body"));
}

std::string TWKFeedBackLike::plazzaShareTitle(const std::string& shareTemplate) {
    std::string title = shareTemplate;
    if (const size_t at = title.find("$APP"); at != std::string::npos) title.resize(at + 4);
    return pf::replacingOccurrences(title, "$APP", TwkUtils::getAppNameTranslated().value_or(""));
}

void TWKFeedBackLike::goReview(ui::Control*) {
    ui::Application::shared().openURL(TWKMoreInfo::getAppShortlinkWithLocale(true));
}

void TWKFeedBackLike::goShareMail(ui::Control*) {
    const std::string body =
        TWKMoreInfo::localizedString("share_mail_body") + ":\n\n" + TWKMoreInfo::getAppShortlinkWithLocale(false) + " ";
    const std::string subject = TWKMoreInfo::localizedString("share_mail_title");
    if (!TwkShareLinks::mailComposeWithTitle(subject, body, false, std::nullopt, self()))
        TwkUtils::showAlertWithTitle("No mail configured!", std::string("You can always write me at ") +
                                                                TWKReportIntroViewController::kSupportAddress);
}

void TWKFeedBackLike::goShareTwitter(ui::Control*) {
    TwkShareLinks::twitterOpenLinkToPostMessage(simpleShareString(), self());
}

void TWKFeedBackLike::goShareWeibo(ui::Control*) { TwkShareLinks::weiboPostMessage(simpleShareString(), self()); }

void TWKFeedBackLike::goSharePlazza(ui::Control*) {
    TwkShareLinks::plazzaPostLink(TWKMoreInfo::getAppShortlinkWithLocale(false), plazzaShareTitle(), self());
}
