#include "platform/foundation/Locale.h"

#include <cstdlib>

#include "platform/foundation/UserDefaults.h"

namespace platform::foundation {

std::string Locale::currentLocaleIdentifier() {
    std::string stored = UserDefaults::standard().stringForKey("AppleLocale");
    if (!stored.empty()) return stored;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (!value || !*value) continue;
        std::string identifier(value);
        identifier.resize(identifier.find_first_of(".@") == std::string::npos ? identifier.size()
                                                                              : identifier.find_first_of(".@"));
        if (identifier.empty() || identifier == "C" || identifier == "POSIX") break;
        return identifier;
    }
    return kDefaultIdentifier;
}

}  // namespace platform::foundation
