#pragma once
// Per-class appearance values: a class's proxy holds what every instance of
// that class shows unless the instance sets its own (tint, bar tint, title
// text attributes by control state...). The bars and controls of this folder
// read them when they are made and when they draw.
//     Appearance::forClass(Appearance::kNavigationBar).setBarTintColor(tint);
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/graphics/Color.h"
#include "platform/graphics/Font.h"
#include "platform/graphics/Image.h"

namespace platform::ui {

// What a title is drawn with; unset members leave the class's own choice.
struct TextAttributes {
    std::optional<graphics::Color> foregroundColor;
    std::optional<graphics::Font> font;
    bool operator==(const TextAttributes&) const = default;
};

class Appearance {
public:
    // Class names of the proxies the platform's bars and controls read.
    static constexpr const char* kButton = "Button";
    static constexpr const char* kSwitch = "Switch";
    static constexpr const char* kToolbar = "Toolbar";
    static constexpr const char* kNavigationBar = "NavigationBar";
    static constexpr const char* kBarItem = "BarItem";
    static constexpr const char* kBarButtonItem = "BarButtonItem";
    static constexpr const char* kTabBar = "TabBar";
    static constexpr const char* kTabBarItem = "TabBarItem";

    // The proxy of a class, made on first use (main thread only).
    static Appearance& forClass(const std::string& className);
    // Forgets every class's values (tests).
    static void resetAll();

    std::optional<graphics::Color> tintColor() const { return tint_; }
    void setTintColor(std::optional<graphics::Color> c) { tint_ = c; }
    std::optional<graphics::Color> barTintColor() const { return barTint_; }
    void setBarTintColor(std::optional<graphics::Color> c) { barTint_ = c; }
    std::optional<graphics::Color> onTintColor() const { return onTint_; }
    void setOnTintColor(std::optional<graphics::Color> c) { onTint_ = c; }
    std::optional<graphics::Color> selectedImageTintColor() const { return selectedImageTint_; }
    void setSelectedImageTintColor(std::optional<graphics::Color> c) { selectedImageTint_ = c; }
    std::optional<graphics::Color> backgroundColor() const { return background_; }
    void setBackgroundColor(std::optional<graphics::Color> c) { background_ = c; }

    // Title text attributes by control state (kControlStateNormal, ...).
    std::optional<TextAttributes> titleTextAttributes(unsigned state) const;
    void setTitleTextAttributes(const TextAttributes& attributes, unsigned state);

    // An image set to none is still "set": it replaces the class's default.
    // Outer nullopt: not set; inner null: explicitly none.
    std::optional<std::shared_ptr<graphics::Image>> shadowImage() const { return shadowImage_; }
    void setShadowImage(std::shared_ptr<graphics::Image> image) { shadowImage_ = std::move(image); }
    std::optional<std::shared_ptr<graphics::Image>> selectionIndicatorImage() const { return selectionIndicator_; }
    void setSelectionIndicatorImage(std::shared_ptr<graphics::Image> image) { selectionIndicator_ = std::move(image); }

private:
    std::optional<graphics::Color> tint_, barTint_, onTint_, selectedImageTint_, background_;
    std::map<unsigned, TextAttributes> titleAttributes_;
    std::optional<std::shared_ptr<graphics::Image>> shadowImage_, selectionIndicator_;
};

}  // namespace platform::ui
