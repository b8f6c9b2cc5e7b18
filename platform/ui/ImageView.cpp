#include "platform/ui/ImageView.h"

#include <cmath>

#include "platform/foundation/Clock.h"
#include "platform/ui/InterfaceProperties.h"

namespace platform::ui {

namespace {
ContentsGravity gravityFor(ContentMode m) {
    switch (m) {
    case ContentMode::ScaleToFill:
    case ContentMode::Redraw: return ContentsGravity::Resize;
    case ContentMode::ScaleAspectFit: return ContentsGravity::ResizeAspect;
    case ContentMode::ScaleAspectFill: return ContentsGravity::ResizeAspectFill;
    case ContentMode::Center: return ContentsGravity::Center;
    case ContentMode::Top: return ContentsGravity::Top;
    case ContentMode::Bottom: return ContentsGravity::Bottom;
    case ContentMode::Left: return ContentsGravity::Left;
    case ContentMode::Right: return ContentsGravity::Right;
    case ContentMode::TopLeft: return ContentsGravity::TopLeft;
    case ContentMode::TopRight: return ContentsGravity::TopRight;
    case ContentMode::BottomLeft: return ContentsGravity::BottomLeft;
    case ContentMode::BottomRight: return ContentsGravity::BottomRight;
    }
    return ContentsGravity::Resize;
}
}  // namespace

ImageView::ImageView(const Rect& frame) : View(frame) {
    setUserInteractionEnabled(false);
    setOpaque(false);
}

ImageView::ImageView(std::shared_ptr<Image> image) : ImageView(Rect{}) {
    if (image) setFrame({0, 0, image->size().width, image->size().height});
    setImage(std::move(image));
}

const InterfaceProperties& ImageView::interfaceProperties() const {
    static const InterfaceProperties table = InterfaceProperties::Of<ImageView>(View::interfaceProperties())
                                                 .add<std::shared_ptr<Image>>("image", &ImageView::setImage);
    return table;
}

ImageView::~ImageView() {
    if (timer_) timer_->invalidate();
}

void ImageView::setImage(std::shared_ptr<Image> image) {
    image_ = std::move(image);
    if (!isAnimating()) showImage(image_);
}

void ImageView::showImage(const std::shared_ptr<Image>& image) {
    if (image) layer()->setContentsScale(image->scale());
    layer()->setContents(image);
}

void ImageView::setContentMode(ContentMode m) {
    View::setContentMode(m);
    layer()->setContentsGravity(gravityFor(m));
}

Size ImageView::sizeThatFits(Size) const { return image_ ? image_->size() : Size{}; }

void ImageView::setAnimationImages(std::vector<std::shared_ptr<Image>> images) {
    stopAnimating();
    animationImages_ = std::move(images);
}

void ImageView::startAnimating() {
    if (animationImages_.empty() || isAnimating()) return;
    size_t n = animationImages_.size();
    double total = animationDuration_ > 0 ? animationDuration_ : n / 30.0;
    double perImage = total / double(n);
    animationStart_ = foundation::Clock::current().monotonic();
    showImage(animationImages_[0]);
    std::weak_ptr<View> weak = weak_from_this();
    timer_ = foundation::Timer::scheduled(perImage, true, [this, weak, total, perImage, n](foundation::Timer&) {
        if (weak.expired()) return;
        // The timer fires on the frame boundaries; a little slack absorbs the
        // clock's rounding there.
        double elapsed = foundation::Clock::current().monotonic() - animationStart_ + perImage * 1e-3;
        if (repeatCount_ > 0 && elapsed >= total * repeatCount_) {
            stopAnimating();
            return;
        }
        size_t frame = size_t(std::floor(std::fmod(elapsed, total) / perImage)) % n;
        showImage(animationImages_[frame]);
    });
}

void ImageView::stopAnimating() {
    if (!timer_) return;
    timer_->invalidate();
    timer_.reset();
    showImage(image_);
}

}  // namespace platform::ui
