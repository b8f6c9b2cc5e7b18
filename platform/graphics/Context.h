#pragma once
// A drawing context over Cairo, in points with the y axis down. Image contexts
// draw into a bitmap at a scale; the layer tree draws through contexts over its
// backing stores. Each thread has a stack of current contexts (drawRect and
// image contexts push theirs) for code that draws without being handed one.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics/AffineTransform.h"
#include "platform/graphics/Color.h"
#include "platform/graphics/Font.h"
#include "platform/graphics/Geometry.h"
#include "platform/graphics/Image.h"
#include "platform/graphics/Path.h"

typedef struct _cairo cairo_t;

namespace platform::graphics {

enum class BlendMode {
    Normal,
    Multiply,
    Screen,
    Overlay,
    Darken,
    Lighten,
    ColorDodge,
    ColorBurn,
    SoftLight,
    HardLight,
    Difference,
    Exclusion,
    Hue,
    Saturation,
    Color,
    Luminosity,
    Clear,
    Copy,
    SourceIn,
    SourceOut,
    SourceAtop,
    DestinationOver,
    DestinationIn,
    DestinationOut,
    DestinationAtop,
    XOR,
    PlusLighter
};

enum class LineCap { Butt, Round, Square };
enum class LineJoin { Miter, Round, Bevel };

// Extend the end colours beyond the gradient's start and end points.
enum GradientDrawingOptions : unsigned { kGradientDrawsBeforeStart = 1, kGradientDrawsAfterEnd = 2 };

class Context {
public:
    // A bitmap context of `size` points at `scale` pixels per point (0: the
    // screen's scale, Image::screenScale()). Not opaque: starts transparent;
    // opaque: starts black. It is the thread's current context while it lives.
    static std::unique_ptr<Context> beginImageContext(Size size, bool opaque = false, double scale = 0);
    // The innermost current context of this thread, or null.
    static Context* current();

    // Draws through `cr` (not owned; its state is saved and restored around the
    // context's life). `size` is the drawing area in points, `scale` its pixels
    // per point. Pushed as current when `makeCurrent`.
    Context(cairo_t* cr, Size size, double scale, bool makeCurrent = false);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    Size size() const { return size_; }
    double scale() const { return scale_; }
    cairo_t* cairo() const { return cr_; }

    // A snapshot of an image context's bitmap (null for other contexts).
    std::shared_ptr<Image> image() const;
    // The image context's bitmap itself, without a copy, when nothing more is
    // drawn into it: drawing after this goes to an empty bitmap.
    std::shared_ptr<Image> takeImage();

    // Graphics state.
    void save();
    void restore();
    void translate(double x, double y);
    void scaleBy(double sx, double sy);
    void rotate(double radians);
    void concat(const AffineTransform& t);
    AffineTransform ctm() const;  // user space to the context's points
    void setFillColor(const Color& c);
    void setStrokeColor(const Color& c);
    void setLineWidth(double w);
    void setLineCap(LineCap cap);
    void setLineJoin(LineJoin join);
    void setAlpha(double alpha);  // multiplies everything drawn
    void setBlendMode(BlendMode mode);
    void setShouldAntialias(bool on);
    // A shadow under everything drawn until the state is restored; blur in points.
    void setShadow(Size offset, double blur, std::optional<Color> color = Color::white(0, 1.0 / 3));
    void clearShadow();

    // The current path (consumed by fill, stroke and clip).
    void beginPath();
    void moveTo(Point p);
    void addLineTo(Point p);
    void addCurveTo(Point c1, Point c2, Point end);
    void closePath();
    void addRect(const Rect& r);
    void addEllipseInRect(const Rect& r);
    void addPath(const Path& path);
    void fillPath(bool evenOdd = false);
    void strokePath();
    void clip(bool evenOdd = false);

    // Shapes.
    void fillRect(const Rect& r);
    void strokeRect(const Rect& r);
    void clearRect(const Rect& r);  // makes the area transparent
    void fillEllipseInRect(const Rect& r);
    void strokeEllipseInRect(const Rect& r);
    void fill(const Path& path, bool evenOdd = false);
    void stroke(const Path& path);
    void strokeLine(Point from, Point to);

    void clipToRect(const Rect& r);
    // Limits drawing to where `mask` is opaque (its alpha channel), the mask
    // stretched over `r`. The mask is mapped bottom-up, like drawImageBottomUp:
    // its first row lies along r's max-y edge.
    void clipToMask(const Rect& r, const Image& mask);

    // Draws `image` upright, stretched over `r` (its first row along r's min-y
    // edge), with the current blend mode and alpha.
    void drawImage(const Image& image, const Rect& r);
    // Draws `image` with its first row along r's max-y edge, the way bitmap
    // spaces with y up place it: on a y-down context it appears upside down,
    // on a flipped one (translate by height, scale y by -1) upright.
    void drawImageBottomUp(const Image& image, const Rect& r);

    // A linear gradient from `start` to `end`; `locations` empty spreads the
    // colours evenly. Clipped to the current clip.
    void drawLinearGradient(const std::vector<Color>& colors, const std::vector<double>& locations, Point start,
                            Point end, unsigned options = 0);

    // Text laid out in `r` (wrapped to its width; `lines` 0: no limit), top-aligned,
    // with the given colour. Returns the size it took.
    Size drawText(const std::string& text, const Rect& r, const Font& font, const Color& color,
                  TextAlignment alignment = TextAlignment::Left, int lines = 0,
                  LineBreakMode mode = LineBreakMode::WordWrap);
    // One line of text with its top-left at `p`.
    Size drawText(const std::string& text, Point p, const Font& font, const Color& color);

private:
    void paintImage(const Image& image, const Rect& r, bool bottomUp);
    Context() = default;
    void applySource(const Color& c);
    cairo_t* cr_ = nullptr;
    cairo_surface_t* ownedSurface_ = nullptr;
    Size size_;
    double scale_ = 1;
    bool current_ = false;
    Color fill_ = Color::black();
    Color stroke_ = Color::black();
    double alpha_ = 1;
    BlendMode blend_ = BlendMode::Normal;
    struct Shadow {
        Size offset;
        double blur;
        Color color;
    };
    std::optional<Shadow> shadow_;
    struct MaskGroup;
    struct State {
        Color fill, stroke;
        double alpha;
        BlendMode blend;
        std::optional<Shadow> shadow;
        size_t masks;  // mask groups open when the state was saved
    };
    std::vector<State> stack_;
    std::vector<std::shared_ptr<MaskGroup>> masks_;
    void popMask();
    template <class Draw>
    void withShadow(Draw&& draw);
};

}  // namespace platform::graphics
