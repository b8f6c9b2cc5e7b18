#pragma once
// An immutable bitmap with a scale factor (pixels per point), backed by a
// Cairo ARGB32 surface (premultiplied alpha).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics/Geometry.h"

typedef struct _cairo_surface cairo_surface_t;

namespace platform::foundation {
class Bundle;
}

namespace platform::graphics {

class Image {
public:
    // The named image from a bundle (the main bundle by default), cached for the
    // process; thread-safe. `name` may carry ".png" or not. At a screen scale of 2
    // or more "name@2x.png" is preferred (scale 2); otherwise "name.png" (scale 1),
    // falling back to the other one. Names such as "top-ipad.png" are looked up as
    // given. Null when no file is found or it is not a readable PNG.
    static std::shared_ptr<Image> named(const std::string& name, const foundation::Bundle* bundle = nullptr);
    static void clearNamedCache();

    // The screen's scale: the scale of named-image lookup and of image contexts
    // opened with scale 0. Set by the screen at start-up (default 1).
    static double screenScale();
    static void setScreenScale(double scale);

    // A PNG (or JPEG) file; the scale is taken from an "@2x"/"@3x" suffix of the file's
    // stem when `scale` is 0. Null when unreadable, and (with a log line) when
    // its header declares more than 16384 pixels a side or 32 Mi pixels in all;
    // the same holds for the readers of bytes below.
    static std::shared_ptr<Image> fromFile(const std::string& path, double scale = 0);
    static std::shared_ptr<Image> fromPNGData(const std::vector<uint8_t>& bytes, double scale = 1.0);
    // Baseline or progressive JPEG (greyscale, RGB or CMYK), opaque. Null when unreadable.
    static std::shared_ptr<Image> fromJPEGData(const std::vector<uint8_t>& bytes, double scale = 1.0);
    // PNG or JPEG, told apart by their signatures.
    static std::shared_ptr<Image> fromData(const std::vector<uint8_t>& bytes, double scale = 1.0);
    // The width and height in pixels that a PNG or JPEG header declares, read
    // without decoding the picture; nullopt for anything else.
    static std::optional<std::pair<int, int>> declaredPixelSize(const std::vector<uint8_t>& bytes);
    // Takes a reference to `surface` (must be an image surface).
    static std::shared_ptr<Image> fromSurface(cairo_surface_t* surface, double scale = 1.0);

    ~Image();
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    Size size() const { return {pixelWidth_ / scale_, pixelHeight_ / scale_}; }  // points
    double scale() const { return scale_; }
    int pixelWidth() const { return pixelWidth_; }
    int pixelHeight() const { return pixelHeight_; }

    // A pixel (0 when outside), components 0..255, premultiplied alpha.
    struct Pixel {
        uint8_t a = 0, r = 0, g = 0, b = 0;
        bool operator==(const Pixel&) const = default;
    };
    Pixel pixelAt(int x, int y) const;

    std::vector<uint8_t> pngData() const;
    bool writePNG(const std::string& path) const;

    // Cairo surface for drawing (do not modify it).
    cairo_surface_t* surface() const { return surface_; }

    explicit Image(cairo_surface_t* surfaceAdopted, double scale);

private:
    cairo_surface_t* surface_;
    double scale_;
    int pixelWidth_, pixelHeight_;
};

using ImagePtr = std::shared_ptr<Image>;

}  // namespace platform::graphics
