#include "framework/TwkShareLinks.h"

#include <mutex>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Format.h"
#include "platform/ui/Application.h"
#include "platform/ui/ComposeSheet.h"

namespace ui = platform::ui;
namespace pf = platform::foundation;

namespace {

// A URL's own punctuation, kept when what may not stand in a URL (spaces,
// quotes, brackets, bytes past ASCII) is escaped.
constexpr std::string_view kURLPunctuation = "-_.~!*'();:@&=+$,/?#[]%";

// A URL the system could be asked to open: a scheme, then something.
bool isValidURL(const std::string& url) {
    auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == url.size()) return false;
    if (!std::isalpha(static_cast<unsigned char>(url[0]))) return false;
    for (size_t i = 0; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(url[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    for (unsigned char c : url)
        if (c <= ' ' || c >= 0x7f || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}')
            return false;
    return true;
}

// Presents a compose sheet for `service` from `from`; a service without an
// account has its sheet say so.
void presentComposeSheet(const std::string& service, const std::string& text, const std::string& url,
                         const std::shared_ptr<ui::ViewController>& from) {
    if (!from) return;
    auto sheet = ui::ComposeSheet::composeViewControllerForServiceType(service);
    if (!sheet) return;
    sheet->setInitialText(text);
    if (!url.empty()) sheet->addURL(url);
    std::weak_ptr<ui::ViewController> weak = from;
    sheet->setCompletionHandler([weak](ui::ComposeResult) {
        if (auto presenter = weak.lock()) presenter->dismissViewControllerAnimated(true);
    });
    from->presentViewController(sheet, true);
}

}  // namespace

const std::vector<std::string>& TwkShareLinks::followTemplates() {
    static const std::vector<std::string> t = {
        "tweetbot:///user_profile/$",      "twitter://user?screen_name=$",
        "tweetie://user?screen_name=$",    "echofon:///user_timeline?$",
        "echofonpro:///user_timeline?$",   "twit://user?screen_name=$",
        "x-birdfeed://user?screen_name=$", "tweetings:///user?screen_name=$",
        "icebird://user?screen_name=$",    "fluttr://user/$",
        "tweetlogix:///home?username=$",   std::string("http://") + kTwitterWebHost + "/#!/$",
    };
    return t;
}

std::shared_ptr<TwkShareLinks> TwkShareLinks::sharedInstance() {
    static std::mutex lock;
    static std::shared_ptr<TwkShareLinks> instance;
    std::lock_guard<std::mutex> guard(lock);
    if (!instance) instance = std::make_shared<TwkShareLinks>();
    return instance;
}

void TwkShareLinks::twitterOpenLinkToFollowUser(const std::string& user) {
    auto& app = ui::Application::shared();
    for (const auto& tmpl : followTemplates()) {
        const std::string url = pf::replacingOccurrences(tmpl, "$", user);
        if (isValidURL(url) && app.canOpenURL(url)) {
            app.openURL(url);
            return;
        }
    }
}

void TwkShareLinks::twitterOpenLinkToPostMessage(const std::string& text,
                                                 const std::shared_ptr<ui::ViewController>& from) {
    sharedInstance()->instanceTwitterOpenLinkToPostMessage(text, from);
}

void TwkShareLinks::instanceTwitterOpenLinkToPostMessage(const std::string& text,
                                                         const std::shared_ptr<ui::ViewController>& from) {
    presentComposeSheet(ui::kServiceTypeTwitter, text, "", from);
}

void TwkShareLinks::weiboPostMessage(const std::string& text, const std::shared_ptr<ui::ViewController>& from) {
    if (!ui::ComposeSheet::isAvailableForServiceType(ui::kServiceTypeSinaWeibo)) return;
    presentComposeSheet(ui::kServiceTypeSinaWeibo, text, "", from);
}

void TwkShareLinks::plazzaPostLink(const std::string& link, const std::string& title,
                                   const std::shared_ptr<ui::ViewController>& from) {
    sharedInstance()->setParamsForFeedPost(
        pf::Value(pf::Value::Dictionary{{"link", pf::Value(link)}, {"caption", pf::Value(title)}}));
    pf::dispatch::mainQueue().async([link, title, from] {
        presentComposeSheet(ui::kServiceTypePlazza, title, pf::percentEncoded(link, kURLPunctuation), from);
    });
}

bool TwkShareLinks::mailComposeWithTitle(const std::optional<std::string>& title,
                                         const std::optional<std::string>& body, bool isHTML,
                                         const std::optional<std::string>& recipient,
                                         const std::shared_ptr<ui::ViewController>& from) {
    return sharedInstance()->instanceMailComposeWithTitle(title, body, isHTML, recipient, from);
}

bool TwkShareLinks::instanceMailComposeWithTitle(const std::optional<std::string>& title,
                                                 const std::optional<std::string>& body, bool isHTML,
                                                 const std::optional<std::string>& recipient,
                                                 const std::shared_ptr<ui::ViewController>& from) {
    if (!ui::MailComposeSheet::canSendMail()) return false;
    std::weak_ptr<TwkShareLinks> weakSelf = sharedInstance();
    pf::dispatch::mainQueue().async([title, body, isHTML, recipient, from, weakSelf] {
        if (!from) return;
        auto sheet = std::make_shared<ui::MailComposeSheet>();
        if (title) sheet->setSubject(*title);
        if (recipient) sheet->setToRecipients({*recipient});
        if (body) sheet->setMessageBody(*body, isHTML);
        auto* own = dynamic_cast<ui::MailComposeSheetDelegate*>(from.get());
        auto shared = weakSelf.lock();
        sheet->setMailComposeDelegate(own ? own : shared.get());
        sheet->setModalTransitionStyle(ui::ModalTransitionStyle::FlipHorizontal);
        from->presentViewController(sheet, true);
    });
    return true;
}

void TwkShareLinks::didFinishWithResult(ui::MailComposeSheet& controller, ui::MailComposeResult, const pf::Error*) {
    controller.dismissViewControllerAnimated(true);
}
