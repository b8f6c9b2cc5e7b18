#pragma once
// A picture of colours on which the user picks one by touching and dragging:
// the colour under the finger goes to the delegate while the finger moves and
// once more when it lifts, and a marker follows the finger.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/ui/ImageView.h"

class ColorPickerImageViewDelegate {
public:
    virtual ~ColorPickerImageViewDelegate() = default;
    virtual void pickedColor(const platform::graphics::Color& /*color*/) {}
    // true while the finger is still down, false once the touch is over.
    virtual void pickedColorUseLowRes(bool /*lowRes*/) {}
};

class ColorPickerImageView : public platform::ui::ImageView {
public:
    using Color = platform::graphics::Color;
    using Point = platform::graphics::Point;
    using TouchSet = platform::ui::TouchSet;
    using Event = platform::ui::Event;

    // The picture's pixel (0, 0) lies this far left of and above the touch
    // point, so the finger does not cover the marker that shows it.
    static constexpr double kOffsetX = 52.0;
    static constexpr double kOffsetY = 22.0;

    using ImageView::ImageView;

    void awakeFromNib() override;
    void touchesBegan(const TouchSet& touches, const Event* event) override;
    void touchesMoved(const TouchSet& touches, const Event* event) override;
    void touchesEnded(const TouchSet& touches, const Event* event) override;
    // A cancelled touch picks nothing; the marker returns to rest.
    void touchesCancelled(const TouchSet& touches, const Event* event) override;
    void touchesCommon(const TouchSet& touches, const Event* event);

    // The colour at `p` (view points): black without a picture, none on a
    // black or transparent spot. Moves the marker there when the picture
    // gives a colour.
    std::optional<Color> getPixelColorAtLocation(Point p);

    void setPositionForPicker(Point p);
    void forcePositionForPicker(Point p);
    void setPositionForPickerToCenter();

    const std::optional<Color>& lastColor() const { return lastColor_; }
    void setLastColor(std::optional<Color> c) { lastColor_ = std::move(c); }
    std::shared_ptr<ColorPickerImageViewDelegate> pickedColorDelegate() const { return pickedColorDelegate_.lock(); }
    // Held weakly: the delegate (the settings sheet) owns this picker.
    void setPickedColorDelegate(std::weak_ptr<ColorPickerImageViewDelegate> d) { pickedColorDelegate_ = std::move(d); }
    Point selectorPosition() const { return selectorPosition_; }
    void setSelectorPosition(Point p) { selectorPosition_ = p; }
    std::shared_ptr<platform::ui::ImageView> viewImageSelector() const { return viewImageSelector_; }

    // The pixel column and row sampled for a touch at `p` in a picture of
    // `pixelWidth` x `pixelHeight` pixels at `scale`.
    static void pixelForLocation(Point p, double scale, int pixelWidth, int pixelHeight, float& x, float& y);

private:
    void passOn(void (platform::ui::Responder::*fn)(const TouchSet&, const Event*), const TouchSet& touches,
                const Event* event);
    void placeMarker(Point p);
    bool ensureBitmap();
    void showMarkerImage(const char* name);

    std::optional<Color> lastColor_;
    std::shared_ptr<platform::ui::ImageView> viewImageSelector_;
    // The picture's pixels, alpha first and premultiplied, built on the first lookup.
    std::vector<uint8_t> data_;
    int bitmapWidth_ = 0, bitmapHeight_ = 0;
    std::shared_ptr<platform::graphics::Image> bitmapSource_;
    std::weak_ptr<ColorPickerImageViewDelegate> pickedColorDelegate_;
    Point selectorPosition_;
    std::recursive_mutex lock_;
};
