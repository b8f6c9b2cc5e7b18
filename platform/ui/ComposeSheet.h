#pragma once
// A share sheet for a social service: the text, links and images an
// application hands over, shown as a simple card with Cancel and Post. No
// service is reached from here: each presented sheet is recorded, and the
// user (a tap) or a test finishes it. Which services have an account on this
// device is configured with setServiceAvailable; a sheet presented for one
// without says so in an alert, as the platform's does, and cannot post.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/graphics/Image.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Button.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"

namespace platform::ui {

inline constexpr const char* kServiceTypeTwitter = "twitter";
inline constexpr const char* kServiceTypePlazza = "plazza";
inline constexpr const char* kServiceTypeSinaWeibo = "sinaweibo";

enum class ComposeResult { Cancelled, Done };

class ComposeSheet : public ViewController, private AlertDelegate {
public:
    // What a sheet carried when it was presented.
    struct Record {
        std::string serviceType;
        std::string text;
        std::vector<std::string> urls;
        size_t imageCount = 0;
    };

    static bool isAvailableForServiceType(const std::string& serviceType);
    static void setServiceAvailable(const std::string& serviceType, bool available);
    // Null for a service that has no sheet here.
    static std::shared_ptr<ComposeSheet> composeViewControllerForServiceType(const std::string& serviceType);

    explicit ComposeSheet(std::string serviceType);
    ~ComposeSheet() override;

    const std::string& serviceType() const { return service_; }
    // False (and nothing changes) once the sheet is on screen, as on the platform.
    bool setInitialText(const std::string& text);
    bool addURL(const std::string& url);
    bool addImage(std::shared_ptr<graphics::Image> image);
    const std::string& initialText() const { return text_; }
    const std::vector<std::string>& urls() const { return urls_; }

    // Called once with the user's answer; without one, the sheet dismisses itself.
    using CompletionHandler = std::function<void(ComposeResult)>;
    void setCompletionHandler(CompletionHandler h) { completion_ = std::move(h); }

    // The user's (or a test's) answer.
    void finish(ComposeResult result);
    bool isFinished() const { return finished_; }

    // Every sheet that was presented, oldest first.
    static const std::vector<Record>& recorded();
    static void clearRecorded();

    void loadView() override;
    void viewWillAppear(bool animated) override;

    std::shared_ptr<Button> postButton() const { return post_; }
    std::shared_ptr<Button> cancelButton() const { return cancel_; }

private:
    void clickedButtonAtIndex(Alert& alert, int64_t buttonIndex) override;
    void dropNoAccountAlert();

    std::string service_, text_;
    std::vector<std::string> urls_;
    std::vector<std::shared_ptr<graphics::Image>> images_;
    CompletionHandler completion_;
    bool shown_ = false, finished_ = false;
    std::shared_ptr<Button> post_, cancel_;
    std::shared_ptr<Alert> noAccount_;  // while it says the service has no account
};

// A card over a dimmed screen: the frame of the sheets' content (shared by the mail sheet).
std::shared_ptr<View> makeSheetCard(const std::string& title, const std::string& body, std::shared_ptr<Button>& cancel,
                                    std::shared_ptr<Button>& confirm, const std::string& confirmTitle);

}  // namespace platform::ui
