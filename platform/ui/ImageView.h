#pragma once
// Shows an image (through its layer's contents) placed by the content mode,
// or cycles through animation images. Does not take touches by default.
#include <memory>
#include <vector>

#include "platform/foundation/Timer.h"
#include "platform/ui/View.h"

namespace platform::ui {

class ImageView : public View {
public:
    explicit ImageView(const Rect& frame = {});
    explicit ImageView(std::shared_ptr<Image> image);  // sized to the image
    const InterfaceProperties& interfaceProperties() const override;
    ~ImageView() override;

    std::shared_ptr<Image> image() const { return image_; }
    virtual void setImage(std::shared_ptr<Image> image);

    // Frame animation: the images in turn, all of them per animationDuration
    // (0: 1/30 s per image), repeatCount times (0: forever).
    const std::vector<std::shared_ptr<Image>>& animationImages() const { return animationImages_; }
    void setAnimationImages(std::vector<std::shared_ptr<Image>> images);
    double animationDuration() const { return animationDuration_; }
    void setAnimationDuration(double d) { animationDuration_ = d; }
    int animationRepeatCount() const { return repeatCount_; }
    void setAnimationRepeatCount(int n) { repeatCount_ = n; }
    void startAnimating();
    void stopAnimating();
    bool isAnimating() const { return timer_ != nullptr; }

    void setContentMode(ContentMode m) override;
    Size sizeThatFits(Size size) const override;

private:
    void showImage(const std::shared_ptr<Image>& image);
    std::shared_ptr<Image> image_;
    std::vector<std::shared_ptr<Image>> animationImages_;
    double animationDuration_ = 0;
    int repeatCount_ = 0;
    double animationStart_ = 0;
    std::shared_ptr<foundation::Timer> timer_;
};

}  // namespace platform::ui
