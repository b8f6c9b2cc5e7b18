#pragma once
// The application's sandbox: Documents/, Library/Caches/, Library/Preferences/,
// Library/Keychains/ and tmp/ under a home folder (--home, or
// $XDG_DATA_HOME/quenmira, or ~/.local/share/quenmira).
#include <string>

namespace platform::foundation {

class Sandbox {
public:
    static std::string home();
    static void setHome(const std::string& path);  // creates the folders
    static std::string documents();
    static std::string library();
    static std::string caches();
    static std::string preferences();
    static std::string keychains();
    static std::string tmp();
};

}  // namespace platform::foundation
