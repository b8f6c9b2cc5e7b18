#include "platform/foundation/Calendar.h"

#include <cmath>
#include <ctime>

namespace platform::foundation {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back (valid for
// every year an int64 day count holds).
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int64_t& y, int64_t& m, int64_t& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp + (mp < 10 ? 3 : -9);
    y = yoe + era * 400 + (m <= 2);
}

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

Calendar::Calendar() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local)) offset_ = local.tm_gmtoff;
}

Calendar::Components Calendar::components(double date) const {
    const int64_t t = static_cast<int64_t>(std::floor(date)) + offset_;
    const int64_t days = floorDiv(t, 86400);
    const int64_t secs = t - days * 86400;
    Components c;
    civilFromDays(days, c.year, c.month, c.day);
    c.hour = secs / 3600;
    c.minute = secs / 60 % 60;
    c.second = secs % 60;
    c.weekday = ((days % 7) + 7 + 4) % 7 + 1;  // 1970-01-01 was a Thursday
    return c;
}

double Calendar::dateFromComponents(const Components& c) const {
    const int64_t months = c.year * 12 + (c.month - 1);
    const int64_t year = floorDiv(months, 12), month = months - year * 12 + 1;
    const int64_t days = daysFromCivil(year, month, 1) + (c.day - 1);
    return double(days * 86400 + c.hour * 3600 + c.minute * 60 + c.second - offset_);
}

}  // namespace platform::foundation
