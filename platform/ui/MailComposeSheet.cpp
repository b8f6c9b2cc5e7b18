#include "platform/ui/MailComposeSheet.h"

#include "platform/ui/ComposeSheet.h"

namespace platform::ui {

namespace {
bool& canSend() {
    static bool c = false;
    return c;
}
std::vector<MailComposeSheet::Record>& records() {
    static std::vector<MailComposeSheet::Record> r;
    return r;
}
std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& e : v) s += (s.empty() ? "" : ", ") + e;
    return s;
}
}  // namespace

bool MailComposeSheet::canSendMail() { return canSend(); }
void MailComposeSheet::setCanSendMail(bool can) { canSend() = can; }

MailComposeSheet::MailComposeSheet() = default;

void MailComposeSheet::loadView() {
    std::string body = "To: " + join(record_.toRecipients) + "\n";
    if (!record_.ccRecipients.empty()) body += "Cc: " + join(record_.ccRecipients) + "\n";
    body += "Subject: " + record_.subject + "\n\n" + record_.body;
    auto v = makeSheetCard(record_.subject.empty() ? "New Message" : record_.subject, body, cancel_, send_, "Send");
    cancel_->addTarget(
        this, [this](Control&, const Event*) { finish(MailComposeResult::Cancelled); }, kControlEventTouchUpInside);
    send_->addTarget(
        this, [this](Control&, const Event*) { finish(MailComposeResult::Sent); }, kControlEventTouchUpInside);
    setView(v);
}

void MailComposeSheet::viewWillAppear(bool) {
    if (shown_) return;
    shown_ = true;
    records().push_back(record_);
}

void MailComposeSheet::finish(MailComposeResult result, const foundation::Error* error) {
    if (finished_) return;
    finished_ = true;
    auto keep = shared_from_this();
    if (delegate_) delegate_->didFinishWithResult(*this, result, error);
}

const std::vector<MailComposeSheet::Record>& MailComposeSheet::recorded() { return records(); }
void MailComposeSheet::clearRecorded() { records().clear(); }

}  // namespace platform::ui
