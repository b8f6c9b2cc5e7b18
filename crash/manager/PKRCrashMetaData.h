#pragma once
// What a user typed about a crash, handed to the crash manager with the
// answer to the approval question.
#include <optional>
#include <string>

class PKRCrashMetaData {
public:
    using OptionalString = std::optional<std::string>;

    const OptionalString& userDescription() const { return userDescription_; }
    void setUserDescription(OptionalString v) { userDescription_ = std::move(v); }
    const OptionalString& userName() const { return userName_; }
    void setUserName(OptionalString v) { userName_ = std::move(v); }
    const OptionalString& userEmail() const { return userEmail_; }
    void setUserEmail(OptionalString v) { userEmail_ = std::move(v); }
    const OptionalString& userID() const { return userID_; }
    void setUserID(OptionalString v) { userID_ = std::move(v); }

private:
    OptionalString userDescription_, userName_, userEmail_, userID_;
};
