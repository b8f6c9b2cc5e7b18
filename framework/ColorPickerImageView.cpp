#include "framework/ColorPickerImageView.h"

#include <cmath>
#include <cstdio>
#include <new>

#include "framework/TwkUtils.h"

using platform::graphics::Image;
using platform::ui::ImageView;
using platform::ui::Responder;
using platform::ui::TouchPhase;

void ColorPickerImageView::awakeFromNib() { setImage(TwkUtils::getBundleImage("colors.png")); }

void ColorPickerImageView::showMarkerImage(const char* name) {
    if (viewImageSelector_) viewImageSelector_->setImage(TwkUtils::getBundleImage(name));
}

void ColorPickerImageView::passOn(void (Responder::*fn)(const TouchSet&, const Event*), const TouchSet& touches,
                                  const Event* event) {
    if (Responder* next = nextResponder()) (next->*fn)(touches, event);
}

void ColorPickerImageView::touchesBegan(const TouchSet& touches, const Event* event) {
    if (isHidden()) return passOn(&Responder::touchesBegan, touches, event);
    touchesCommon(touches, event);
    showMarkerImage("selector.png");
}

void ColorPickerImageView::touchesMoved(const TouchSet& touches, const Event* event) {
    if (isHidden()) return passOn(&Responder::touchesMoved, touches, event);
    touchesCommon(touches, event);
}

void ColorPickerImageView::touchesEnded(const TouchSet& touches, const Event* event) {
    showMarkerImage("selector-off.png");
    if (isHidden()) return passOn(&Responder::touchesEnded, touches, event);
    touchesCommon(touches, event);
}

void ColorPickerImageView::touchesCancelled(const TouchSet& touches, const Event* event) {
    // The finger did not choose where it was taken away: no pick, the marker rests.
    showMarkerImage("selector-off.png");
    if (isHidden()) passOn(&Responder::touchesCancelled, touches, event);
}

void ColorPickerImageView::touchesCommon(const TouchSet& touches, const Event*) {
    if (touches.empty()) return;
    std::lock_guard guard(lock_);
    const auto& touch = touches.front();
    if (auto c = getPixelColorAtLocation(touch->locationInView(this))) lastColor_ = c;
    if (!lastColor_) return;
    const TouchPhase phase = touch->phase();
    const bool lowRes = phase != TouchPhase::Ended && phase != TouchPhase::Cancelled;
    std::weak_ptr<ColorPickerImageViewDelegate> weakDelegate = pickedColorDelegate_;
    Color color = *lastColor_;
    TwkUtils::runOnMainSafely([weakDelegate, color, lowRes] {
        if (auto d = weakDelegate.lock()) {
            d->pickedColorUseLowRes(lowRes);
            d->pickedColor(color);
        }
    });
}

void ColorPickerImageView::pixelForLocation(Point p, double scale, int pixelWidth, int pixelHeight, float& x,
                                            float& y) {
    // Floored at full precision, then kept as floats: a point just short of a
    // pixel's edge stays in that pixel.
    x = float(std::floor((p.x - kOffsetX) * scale));
    y = float(std::floor((p.y - kOffsetY) * scale));
    if (x < 0)
        x = 0;
    else if (x >= float(pixelWidth))
        x = float(pixelWidth - 1);
    if (y < 0)
        y = 0;
    else if (y >= float(pixelHeight))
        y = float(pixelHeight - 1);
}

bool ColorPickerImageView::ensureBitmap() {
    auto picture = image();
    if (!data_.empty() && bitmapSource_ == picture) return true;
    data_.clear();
    const int w = picture->pixelWidth(), h = picture->pixelHeight();
    if (w <= 0 || h <= 0) {
        std::fputs("Context not created!", stderr);
        return false;
    }
    try {
        data_.resize(size_t(w) * size_t(h) * 4);
    } catch (const std::bad_alloc&) {
        std::fputs("Memory not allocated!", stderr);
        return false;
    }
    for (int row = 0; row < h; ++row) {
        for (int col = 0; col < w; ++col) {
            Image::Pixel px = picture->pixelAt(col, row);
            uint8_t* out = &data_[(size_t(row) * w + col) * 4];
            out[0] = px.a;
            out[1] = px.r;
            out[2] = px.g;
            out[3] = px.b;
        }
    }
    bitmapWidth_ = w;
    bitmapHeight_ = h;
    bitmapSource_ = picture;
    return true;
}

std::optional<ColorPickerImageView::Color> ColorPickerImageView::getPixelColorAtLocation(Point p) {
    if (!image()) return Color::black();
    const double k = image()->scale() > 0 ? image()->scale() : 1.0;
    if (!ensureBitmap()) return std::nullopt;

    float x, y;
    pixelForLocation(p, k, bitmapWidth_, bitmapHeight_, x, y);
    const int32_t offset = int32_t(4 * (x + float(bitmapWidth_) * y));
    const uint8_t a = data_[offset], r = data_[offset + 1], g = data_[offset + 2], b = data_[offset + 3];
    if (r == 0 && g == 0 && b == 0) return std::nullopt;
    Color result = Color::rgba(r / 255.0, g / 255.0, b / 255.0, a / 255.0);
    selectorPosition_ = p;
    setPositionForPicker(p);
    return result;
}

void ColorPickerImageView::placeMarker(Point p) {
    if (!viewImageSelector_) {
        viewImageSelector_ = std::make_shared<ImageView>(TwkUtils::getBundleImage("selector-off.png"));
        addSubview(viewImageSelector_);
    }
    const double x = std::min(std::max(p.x, kOffsetX), bounds().width() + kOffsetX);
    const double y = std::min(std::max(p.y, kOffsetY), bounds().height() + kOffsetY);
    viewImageSelector_->layer()->setAnchorPoint({1, 1});
    viewImageSelector_->setCenter({x, y});
}

void ColorPickerImageView::setPositionForPicker(Point p) { placeMarker(p); }

void ColorPickerImageView::forcePositionForPicker(Point p) {
    placeMarker(p);
    showMarkerImage("selector-off.png");
}

void ColorPickerImageView::setPositionForPickerToCenter() {
    placeMarker(Point{kOffsetX, kOffsetY});
    showMarkerImage("selector-off.png");
    auto marker = viewImageSelector_->image();
    const double mw = marker ? marker->size().width : 0, mh = marker ? marker->size().height : 0;
    viewImageSelector_->layer()->setAnchorPoint({0, 0});
    viewImageSelector_->setCenter(
        {frame().width() * 0.5 + (mw - kOffsetX) * -1.5, frame().height() * 0.5 + (mh - kOffsetY) * -2.0});
}
