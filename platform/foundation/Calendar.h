#pragma once
// A calendar: splits dates (seconds since 1970) into year, month, day and time
// of day in its time zone, and back. Only the Gregorian calendar exists, with a
// time zone given as a fixed offset from GMT (no daylight-saving rules).
#include <cstdint>
#include <string>

namespace platform::foundation {

class Calendar {
public:
    static constexpr const char* kGregorian = "gregorian";

    struct Components {
        int64_t year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
        int64_t weekday = 5;  // 1 = Sunday ... 7 = Saturday
        bool operator==(const Components&) const = default;
    };

    // The Gregorian calendar in the machine's current offset from GMT.
    Calendar();
    const std::string& calendarIdentifier() const { return identifier_; }
    int64_t timeZoneSecondsFromGMT() const { return offset_; }
    void setTimeZoneSecondsFromGMT(int64_t seconds) { offset_ = seconds; }

    Components components(double date) const;
    // Fields out of their range carry over (month 13 is January of the next year).
    double dateFromComponents(const Components& c) const;

private:
    std::string identifier_ = kGregorian;
    int64_t offset_ = 0;
};

}  // namespace platform::foundation
