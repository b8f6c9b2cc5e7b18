#pragma once
// A tab bar item: the title, image and tag that a tab bar shows for one of its
// controllers. An image is tinted by the bar (its alpha as a mask) unless the
// item keeps its own colours.
#include <memory>
#include <string>

#include "platform/graphics/Image.h"

namespace platform::ui {

class ViewController;

class TabBarItem {
public:
    TabBarItem() = default;
    TabBarItem(std::string title, std::shared_ptr<graphics::Image> image, int64_t tag)
        : title_(std::move(title)), image_(std::move(image)), tag_(tag) {}

    const std::string& title() const { return title_; }
    void setTitle(const std::string& t) { title_ = t; }
    std::shared_ptr<graphics::Image> image() const { return image_; }
    void setImage(std::shared_ptr<graphics::Image> i) { image_ = std::move(i); }
    // Null: the image.
    std::shared_ptr<graphics::Image> selectedImage() const { return selectedImage_ ? selectedImage_ : image_; }
    void setSelectedImage(std::shared_ptr<graphics::Image> i) { selectedImage_ = std::move(i); }
    int64_t tag() const { return tag_; }
    void setTag(int64_t t) { tag_ = t; }
    const std::string& badgeValue() const { return badge_; }
    void setBadgeValue(const std::string& b) { badge_ = b; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool e) { enabled_ = e; }
    // True: drawn in the image's own colours, not tinted by the bar.
    bool keepsOriginalColors() const { return original_; }
    void setKeepsOriginalColors(bool o) { original_ = o; }

private:
    std::string title_;
    std::shared_ptr<graphics::Image> image_, selectedImage_;
    int64_t tag_ = 0;
    std::string badge_;
    bool enabled_ = true;
    bool original_ = false;
};

// The item a controller shows in a tab bar; made (untitled, tag 0) on first ask.
std::shared_ptr<TabBarItem> tabBarItem(const ViewController& controller);
void setTabBarItem(const ViewController& controller, std::shared_ptr<TabBarItem> item);

}  // namespace platform::ui
