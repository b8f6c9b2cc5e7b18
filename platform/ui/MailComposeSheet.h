#pragma once
// The mail sheet: subject, recipients and body handed over by the
// application, shown as a simple card with Cancel and Send. No mail leaves
// from here: each presented sheet is recorded, and the user (a tap) or a test
// finishes it, which tells the mail delegate. Whether this device has a mail
// account is configured with setCanSendMail.
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/ui/Button.h"
#include "platform/ui/ViewController.h"

namespace platform::ui {

class MailComposeSheet;

enum class MailComposeResult { Cancelled, Saved, Sent, Failed };

class MailComposeSheetDelegate {
public:
    virtual ~MailComposeSheetDelegate() = default;
    virtual void didFinishWithResult(MailComposeSheet& controller, MailComposeResult result,
                                     const foundation::Error* error) = 0;
};

class MailComposeSheet : public ViewController {
public:
    struct Record {
        std::string subject;
        std::vector<std::string> toRecipients, ccRecipients, bccRecipients;
        std::string body;
        bool isHTML = false;
    };

    static bool canSendMail();
    static void setCanSendMail(bool can);

    MailComposeSheet();

    void setSubject(const std::string& s) { record_.subject = s; }
    void setToRecipients(std::vector<std::string> r) { record_.toRecipients = std::move(r); }
    void setCcRecipients(std::vector<std::string> r) { record_.ccRecipients = std::move(r); }
    void setBccRecipients(std::vector<std::string> r) { record_.bccRecipients = std::move(r); }
    void setMessageBody(const std::string& body, bool isHTML) {
        record_.body = body;
        record_.isHTML = isHTML;
    }
    const Record& contents() const { return record_; }

    // Not owned; told the result. Without one the sheet stays until dismissed.
    MailComposeSheetDelegate* mailComposeDelegate() const { return delegate_; }
    void setMailComposeDelegate(MailComposeSheetDelegate* d) { delegate_ = d; }

    // The user's (or a test's) answer; told to the delegate once.
    void finish(MailComposeResult result, const foundation::Error* error = nullptr);
    bool isFinished() const { return finished_; }

    static const std::vector<Record>& recorded();
    static void clearRecorded();

    void loadView() override;
    void viewWillAppear(bool animated) override;

    std::shared_ptr<Button> sendButton() const { return send_; }
    std::shared_ptr<Button> cancelButton() const { return cancel_; }

private:
    Record record_;
    MailComposeSheetDelegate* delegate_ = nullptr;
    bool shown_ = false, finished_ = false;
    std::shared_ptr<Button> send_, cancel_;
};

}  // namespace platform::ui
