#pragma once
// Presents nothing on screen: counts changes and writes the composed picture
// as PNG on request.
#include <string>

#include "platform/ui/Window.h"

namespace platform::ui {

class HeadlessPresenter : public WindowPresenter {
public:
    void attach(Window* window) override { window_ = window; }
    void windowChanged() override { ++changes_; }
    bool wantsFrames() const override { return false; }
    // Composes (when changed) and writes the picture.
    bool snapshot(const std::string& path, foundation::Error* error = nullptr);
    uint64_t changeCount() const { return changes_; }

private:
    Window* window_ = nullptr;
    uint64_t changes_ = 0;
};

}  // namespace platform::ui
