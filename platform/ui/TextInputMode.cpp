#include "platform/ui/TextInputMode.h"

#include <mutex>

namespace platform::ui {

namespace {

std::mutex& modesMutex() {
    static std::mutex m;
    return m;
}

std::vector<std::string>& modes() {
    static std::vector<std::string> m;
    return m;
}

}  // namespace

std::vector<std::string> TextInputMode::activeInputModes() {
    std::lock_guard lock(modesMutex());
    return modes();
}

void TextInputMode::setActiveInputModes(std::vector<std::string> primaryLanguages) {
    std::lock_guard lock(modesMutex());
    modes() = std::move(primaryLanguages);
}

}  // namespace platform::ui
