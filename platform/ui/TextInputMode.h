#pragma once
// The keyboard input sources the user has set up, as the primary languages of
// the platform's text input modes ("en-US", "zh-Hans", ...). This desktop
// stand-in knows none unless it is told (a test, or a port that reads the
// desktop's input-source settings): the list is empty by default.
#include <string>
#include <vector>

namespace platform::ui {

class TextInputMode {
public:
    // The primary language of each active input mode, in the user's order.
    static std::vector<std::string> activeInputModes();
    static void setActiveInputModes(std::vector<std::string> primaryLanguages);
};

}  // namespace platform::ui
