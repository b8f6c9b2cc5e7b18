#include "platform/ui/Alert.h"

#include <algorithm>
#include <deque>

#include "platform/foundation/Log.h"
#include "platform/ui/Button.h"
#include "platform/ui/Label.h"
#include "platform/ui/Window.h"

namespace platform::ui {

namespace {

std::deque<std::shared_ptr<Alert>>& queue() {
    static std::deque<std::shared_ptr<Alert>> q;
    return q;
}

constexpr double kWidth = 270, kPadding = 16, kButtonHeight = 44;

}  // namespace

Alert::Alert(std::string title, std::string message, AlertDelegate* delegate)
    : title_(std::move(title)), message_(std::move(message)), delegate_(delegate) {}

std::shared_ptr<Alert> Alert::make(std::string title, std::string message, AlertDelegate* delegate,
                                   const std::string& cancelButtonTitle, const std::vector<std::string>& others) {
    auto a = std::make_shared<Alert>(std::move(title), std::move(message), delegate);
    if (!cancelButtonTitle.empty()) a->cancelIndex_ = a->addButtonWithTitle(cancelButtonTitle);
    for (const auto& t : others) a->addButtonWithTitle(t);
    return a;
}

int64_t Alert::addButtonWithTitle(const std::string& title) {
    buttons_.push_back(title);
    return int64_t(buttons_.size()) - 1;
}

std::string Alert::buttonTitleAtIndex(int64_t index) const {
    return index >= 0 && index < numberOfButtons() ? buttons_[size_t(index)] : "";
}

std::vector<std::shared_ptr<Alert>> Alert::pending() { return {queue().begin(), queue().end()}; }

void Alert::show() {
    if (visible_ || queued_) return;
    std::string line = "Alert \"" + title_ + "\": " + message_ + " [";
    for (size_t i = 0; i < buttons_.size(); ++i) line += (i ? " | " : "") + buttons_[i];
    foundation::log(line + "]");
    queued_ = true;
    queue().push_back(shared_from_this());
    if (queue().size() == 1) present();
}

void Alert::present() {
    visible_ = true;
    if (Window::keyWindow()) buildView();
}

void Alert::buildView() {
    Window* window = Window::keyWindow();
    const Rect bounds = window->bounds();
    auto dim = std::make_shared<View>(bounds);
    dim->setBackgroundColor(Color::white(0, 0.4));
    dim->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);

    const double textWidth = kWidth - 2 * kPadding;
    auto titleLabel = std::make_shared<Label>();
    titleLabel->setFont(Font::boldSystemFont(17));
    titleLabel->setNumberOfLines(0);
    titleLabel->setLineBreakMode(LineBreakMode::WordWrap);
    titleLabel->setTextAlignment(TextAlignment::Center);
    titleLabel->setText(title_);
    const double titleHeight = title_.empty() ? 0 : titleLabel->font().sizeOfText(title_, textWidth, 0).height;
    titleLabel->setFrame({kPadding, kPadding, textWidth, titleHeight});

    auto messageLabel = std::make_shared<Label>();
    messageLabel->setFont(Font::systemFont(13));
    messageLabel->setNumberOfLines(0);
    messageLabel->setLineBreakMode(LineBreakMode::WordWrap);
    messageLabel->setTextAlignment(TextAlignment::Center);
    messageLabel->setText(message_);
    const double messageHeight = message_.empty() ? 0 : messageLabel->font().sizeOfText(message_, textWidth, 0).height;
    messageLabel->setFrame({kPadding, titleLabel->frame().maxY() + 4, textWidth, messageHeight});

    // Two buttons side by side, otherwise one per row.
    const size_t n = buttons_.size();
    const bool sideBySide = n == 2;
    const double buttonsTop = messageLabel->frame().maxY() + kPadding;
    const double height = buttonsTop + kButtonHeight * double(sideBySide ? 1 : n);
    auto box =
        std::make_shared<View>(Rect{(bounds.width() - kWidth) / 2, (bounds.height() - height) / 2, kWidth, height});
    box->setBackgroundColor(Color::white(0.97, 1));
    box->setAutoresizingMask(kAutoresizingFlexibleLeftMargin | kAutoresizingFlexibleRightMargin |
                             kAutoresizingFlexibleTopMargin | kAutoresizingFlexibleBottomMargin);
    box->addSubview(titleLabel);
    box->addSubview(messageLabel);
    std::weak_ptr<Alert> weak = weak_from_this();
    for (size_t i = 0; i < n; ++i) {
        const Rect frame = sideBySide ? Rect{kWidth / 2 * double(i), buttonsTop, kWidth / 2, kButtonHeight}
                                      : Rect{0, buttonsTop + kButtonHeight * double(i), kWidth, kButtonHeight};
        auto separator = std::make_shared<View>(Rect{frame.x(), frame.y(), frame.width(), 0.5});
        separator->setBackgroundColor(Color::white(0.8, 1));
        auto button = std::make_shared<Button>(frame, Button::Type::System);
        button->setTitle(buttons_[i]);
        if (int64_t(i) == cancelIndex_) button->titleLabel()->setFont(Font::boldSystemFont(17));
        button->addTarget(
            this,
            [weak, i](Control&, const Event*) {
                if (auto a = weak.lock()) a->clickButtonAtIndex(int64_t(i));
            },
            kControlEventTouchUpInside);
        box->addSubview(button);
        box->addSubview(separator);
    }
    dim->addSubview(box);
    window->addSubview(dim);
    view_ = dim;
}

void Alert::clickButtonAtIndex(int64_t index) {
    if (!visible_) return;
    auto self = shared_from_this();  // the delegate may drop its last reference
    if (delegate_) delegate_->clickedButtonAtIndex(*this, index);
    dismissWithClickedButtonIndex(index, true);
}

void Alert::dismissWithClickedButtonIndex(int64_t index, bool) {
    auto self = shared_from_this();
    if (!visible_ && !queued_) return;
    auto& q = queue();
    const bool wasOnScreen = visible_;
    q.erase(std::remove(q.begin(), q.end(), self), q.end());
    visible_ = queued_ = false;
    if (view_) {
        view_->removeFromSuperview();
        view_.reset();
    }
    if (delegate_) delegate_->didDismissWithButtonIndex(*this, index);
    if (wasOnScreen && !q.empty() && !q.front()->visible_) q.front()->present();
}

}  // namespace platform::ui
