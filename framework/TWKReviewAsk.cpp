#include "framework/TWKReviewAsk.h"

#include "framework/TWKMoreInfo.h"
#include "framework/TWKReportIntroViewController.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Application.h"

namespace ui = platform::ui;
namespace pf = platform::foundation;

TWKReviewAsk::TWKReviewAsk() : TWKMoreAppsBaseViewController("TWKReviewAsk", resourceBundle()) {}

void TWKReviewAsk::declareConnections(ui::ConnectionTable& t) {
    TWKMoreAppsBaseViewController::declareConnections(t);
    t.outlet("viewScrollview", viewScrollview_);
    t.outlet("viewContainer", viewContainer_);
    t.outlet("labelTitle", labelTitle_);
    t.outlet("buttonILike", buttonILike_);
    t.outlet("buttonProblem", buttonProblem_);
    t.outlet("buttonRemind", buttonRemind_);
    t.outlet("buttonNeverAsk", buttonNeverAsk_);
    t.action("goLikeApp:", [this](ui::Control& s) { goLikeApp(&s); });
    t.action("goNotLikeApp:", [this](ui::Control& s) { goNotLikeApp(&s); });
    t.action("goRemind:", [this](ui::Control& s) { goRemind(&s); });
    t.action("goNeverAsk:", [this](ui::Control& s) { goNeverAsk(&s); });
}

void TWKReviewAsk::viewDidLoad() {
    TWKMoreAppsBaseViewController::viewDidLoad();
    if (viewScrollview_ && viewContainer_) {
        viewScrollview_->addSubview(viewContainer_);
        viewScrollview_->setContentSize(viewContainer_->bounds().size);
    }
    if (labelTitle_) {
        labelTitle_->setTextColor(TWKButtonDark::globalColorText());
        labelTitle_->setText(TWKMoreInfo::localizedString("review_popup_intro"));
    }
    if (viewScrollview_) viewScrollview_->setBackgroundColor(TWKButtonDark::globalColorBG());
    if (viewContainer_) viewContainer_->setBackgroundColor(TWKButtonDark::globalColorBG());
    if (buttonILike_) buttonILike_->setTitle(TWKMoreInfo::localizedString("leave_review_appstore"));
    if (buttonProblem_) buttonProblem_->setTitle(TWKMoreInfo::localizedString("app_has_problem"));
    if (buttonNeverAsk_) buttonNeverAsk_->setTitle(TWKMoreInfo::localizedString("review_popup_never_ask"));
    if (buttonRemind_) buttonRemind_->setTitle(TWKMoreInfo::localizedString("review_popup_remind_later"));
}

void TWKReviewAsk::neverAgain() {
    auto& defaults = pf::UserDefaults::standard();
    defaults.setString("review_never_ask_v2", "1");
    defaults.setDouble("lastReviewAsk_v2", 0.0);
}

void TWKReviewAsk::close(std::function<void()> then) {
    if (auto back = backToViewController()) back->dismissViewControllerAnimated(true, std::move(then));
}

void TWKReviewAsk::goLikeApp(ui::Control*) {
    neverAgain();
    ui::Application::shared().openURL(TWKMoreInfo::getAppShortlinkWithLocale(true));
    close();
}

void TWKReviewAsk::goNotLikeApp(ui::Control*) {
    auto report = TWKMoreAppsBaseViewController::create<TWKReportIntroViewController>();
    std::weak_ptr<ui::ViewController> back = backToViewController();
    close([back, report] {
        if (auto b = back.lock()) b->presentViewController(report, true);
    });
}

void TWKReviewAsk::goRemind(ui::Control*) {
    pf::UserDefaults::standard().removeObject("review_install_time_v2");
    close();
}

void TWKReviewAsk::goNeverAsk(ui::Control*) {
    neverAgain();
    close();
}
