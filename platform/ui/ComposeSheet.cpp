#include "platform/ui/ComposeSheet.h"

#include <map>

#include "platform/ui/Screen.h"

namespace platform::ui {

namespace {
std::map<std::string, bool>& availability() {
    static std::map<std::string, bool> a;
    return a;
}
std::vector<ComposeSheet::Record>& records() {
    static std::vector<ComposeSheet::Record> r;
    return r;
}
bool knownService(const std::string& s) {
    return s == kServiceTypeTwitter || s == kServiceTypePlazza || s == kServiceTypeSinaWeibo;
}
std::string serviceTitle(const std::string& s) {
    if (s == kServiceTypeTwitter) return "Twitter";
    if (s == kServiceTypePlazza) return "Plazza";
    return "Sina Weibo";
}
}  // namespace

std::shared_ptr<View> makeSheetCard(const std::string& title, const std::string& body, std::shared_ptr<Button>& cancel,
                                    std::shared_ptr<Button>& confirm, const std::string& confirmTitle) {
    const Rect screen = Screen::main().bounds();
    auto root = std::make_shared<View>(screen);
    root->setBackgroundColor(Color::white(0, 0.4));
    root->setOpaque(false);
    const double w = std::min(screen.width() - 20, 500.0);
    auto card = std::make_shared<View>(Rect{(screen.width() - w) / 2, 60, w, 260});
    card->setBackgroundColor(Color::white(0.98));
    card->layer()->setCornerRadius(10);
    card->setClipsToBounds(true);
    card->setAutoresizingMask(kAutoresizingFlexibleLeftMargin | kAutoresizingFlexibleRightMargin);
    root->addSubview(card);

    auto head = std::make_shared<Label>(Rect{80, 0, w - 160, 44});
    head->setText(title);
    head->setFont(Font::boldSystemFont(17));
    head->setTextAlignment(TextAlignment::Center);
    card->addSubview(head);
    cancel = std::make_shared<Button>(Rect{8, 0, 72, 44}, Button::Type::System);
    cancel->setTitle("Cancel");
    card->addSubview(cancel);
    confirm = std::make_shared<Button>(Rect{w - 80, 0, 72, 44}, Button::Type::System);
    confirm->setTitle(confirmTitle);
    confirm->titleLabel()->setFont(Font::boldSystemFont(15));
    card->addSubview(confirm);
    auto line = std::make_shared<View>(Rect{0, 44, w, 0.5});
    line->setBackgroundColor(Color::white(0.8));
    card->addSubview(line);

    auto text = std::make_shared<Label>(Rect{12, 52, w - 24, 200});
    text->setText(body);
    text->setFont(Font::systemFont(15));
    text->setNumberOfLines(0);
    text->setLineBreakMode(LineBreakMode::WordWrap);
    Size fit = text->sizeThatFits({w - 24, 200});
    text->setFrame({12, 52, w - 24, std::min(200.0, fit.height)});
    card->addSubview(text);
    return root;
}

bool ComposeSheet::isAvailableForServiceType(const std::string& serviceType) {
    auto it = availability().find(serviceType);
    return it != availability().end() && it->second;
}

void ComposeSheet::setServiceAvailable(const std::string& serviceType, bool available) {
    availability()[serviceType] = available;
}

std::shared_ptr<ComposeSheet> ComposeSheet::composeViewControllerForServiceType(const std::string& serviceType) {
    if (!knownService(serviceType)) return nullptr;
    return std::make_shared<ComposeSheet>(serviceType);
}

ComposeSheet::ComposeSheet(std::string serviceType) : service_(std::move(serviceType)) {
    setModalTransitionStyle(ModalTransitionStyle::CoverVertical);
}

bool ComposeSheet::setInitialText(const std::string& text) {
    if (shown_) return false;
    text_ = text;
    return true;
}

bool ComposeSheet::addURL(const std::string& url) {
    if (shown_ || url.empty()) return false;
    urls_.push_back(url);
    return true;
}

bool ComposeSheet::addImage(std::shared_ptr<graphics::Image> image) {
    if (shown_ || !image) return false;
    images_.push_back(std::move(image));
    return true;
}

void ComposeSheet::loadView() {
    std::string body = text_;
    for (const auto& u : urls_) body += (body.empty() ? "" : "\n") + u;
    auto v = makeSheetCard(serviceTitle(service_), body, cancel_, post_, "Post");
    cancel_->addTarget(
        this, [this](Control&, const Event*) { finish(ComposeResult::Cancelled); }, kControlEventTouchUpInside);
    post_->addTarget(
        this, [this](Control&, const Event*) { finish(ComposeResult::Done); }, kControlEventTouchUpInside);
    setView(v);
}

void ComposeSheet::viewWillAppear(bool) {
    if (shown_) return;
    shown_ = true;
    records().push_back({service_, text_, urls_, images_.size()});
    if (isAvailableForServiceType(service_)) return;
    if (post_) post_->setEnabled(false);
    const std::string name = serviceTitle(service_);
    noAccount_ = Alert::make("No " + name + " Accounts",
                             "There are no " + name + " accounts configured. You can add or create a " + name +
                                 " account in Settings.",
                             this, "Cancel");
    noAccount_->show();
}

void ComposeSheet::clickedButtonAtIndex(Alert&, int64_t) {
    noAccount_.reset();
    finish(ComposeResult::Cancelled);
}

void ComposeSheet::dropNoAccountAlert() {
    if (!noAccount_) return;
    auto alert = std::move(noAccount_);
    alert->setDelegate(nullptr);
    alert->dismissWithClickedButtonIndex(alert->cancelButtonIndex(), false);
}

ComposeSheet::~ComposeSheet() { dropNoAccountAlert(); }

void ComposeSheet::finish(ComposeResult result) {
    if (finished_) return;
    finished_ = true;
    dropNoAccountAlert();
    auto keep = shared_from_this();
    if (completion_)
        completion_(result);
    else
        dismissViewControllerAnimated(true);
}

const std::vector<ComposeSheet::Record>& ComposeSheet::recorded() { return records(); }
void ComposeSheet::clearRecorded() { records().clear(); }

}  // namespace platform::ui
