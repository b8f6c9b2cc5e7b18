#pragma once
// An alert: a title, a message and buttons. Shown over the key window (one at
// a time; later ones wait their turn) and always written to the log, so a
// headless run records it. Tests find it through pending() and answer it with
// clickButtonAtIndex, as a tap on that button would.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::ui {

class Alert;
class View;

class AlertDelegate {
public:
    virtual ~AlertDelegate() = default;
    virtual void clickedButtonAtIndex(Alert&, int64_t /*buttonIndex*/) {}
    virtual void didDismissWithButtonIndex(Alert&, int64_t /*buttonIndex*/) {}
};

class Alert : public std::enable_shared_from_this<Alert> {
public:
    // The cancel button, when given, is button 0; the others follow in order.
    static std::shared_ptr<Alert> make(std::string title, std::string message, AlertDelegate* delegate,
                                       const std::string& cancelButtonTitle,
                                       const std::vector<std::string>& otherButtonTitles = {});

    const std::string& title() const { return title_; }
    const std::string& message() const { return message_; }
    AlertDelegate* delegate() const { return delegate_; }
    void setDelegate(AlertDelegate* d) { delegate_ = d; }
    int64_t addButtonWithTitle(const std::string& title);
    int64_t numberOfButtons() const { return int64_t(buttons_.size()); }
    std::string buttonTitleAtIndex(int64_t index) const;
    int64_t cancelButtonIndex() const { return cancelIndex_; }

    // Logs the alert and shows it (or queues it behind the one on screen).
    // The alert keeps itself alive until dismissed.
    void show();
    bool isVisible() const { return visible_; }
    // As a tap on the button: clickedButtonAtIndex, then the dismissal.
    void clickButtonAtIndex(int64_t index);
    // Dismisses without clickedButtonAtIndex; the delegate hears didDismiss.
    void dismissWithClickedButtonIndex(int64_t index, bool animated);
    // Its view over the window while shown (null headless without a window).
    std::shared_ptr<View> view() const { return view_; }

    // Shown and waiting alerts, the one on screen first.
    static std::vector<std::shared_ptr<Alert>> pending();

    Alert(std::string title, std::string message, AlertDelegate* delegate);

private:
    void present();
    void buildView();

    std::string title_, message_;
    AlertDelegate* delegate_;
    std::vector<std::string> buttons_;
    int64_t cancelIndex_ = -1;
    bool visible_ = false, queued_ = false;
    std::shared_ptr<View> view_;
};

}  // namespace platform::ui
