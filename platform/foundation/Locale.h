#pragma once
// The user's current locale, as the platform reports it to applications.
// Its identifier ("de_AT") comes from the "AppleLocale" default, else from the
// environment (LC_ALL, LC_MESSAGES, LANG); the C and POSIX locales, and no
// setting at all, are the platform's default locale "en_US", which has a region.
#include <string>

namespace platform::foundation {

class Locale {
public:
    Locale() = delete;
    static constexpr const char* kDefaultIdentifier = "en_US";
    // "de_AT" for LANG=de_AT.UTF-8@euro.
    static std::string currentLocaleIdentifier();
};

}  // namespace platform::foundation
