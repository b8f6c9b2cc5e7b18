#include "platform/graphics/Context.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "platform/graphics/TextLayout.h"

namespace platform::graphics {

namespace {

thread_local std::vector<Context*> tCurrent;

cairo_operator_t toOperator(BlendMode m) {
    switch (m) {
    case BlendMode::Normal: return CAIRO_OPERATOR_OVER;
    case BlendMode::Multiply: return CAIRO_OPERATOR_MULTIPLY;
    case BlendMode::Screen: return CAIRO_OPERATOR_SCREEN;
    case BlendMode::Overlay: return CAIRO_OPERATOR_OVERLAY;
    case BlendMode::Darken: return CAIRO_OPERATOR_DARKEN;
    case BlendMode::Lighten: return CAIRO_OPERATOR_LIGHTEN;
    case BlendMode::ColorDodge: return CAIRO_OPERATOR_COLOR_DODGE;
    case BlendMode::ColorBurn: return CAIRO_OPERATOR_COLOR_BURN;
    case BlendMode::SoftLight: return CAIRO_OPERATOR_SOFT_LIGHT;
    case BlendMode::HardLight: return CAIRO_OPERATOR_HARD_LIGHT;
    case BlendMode::Difference: return CAIRO_OPERATOR_DIFFERENCE;
    case BlendMode::Exclusion: return CAIRO_OPERATOR_EXCLUSION;
    case BlendMode::Hue: return CAIRO_OPERATOR_HSL_HUE;
    case BlendMode::Saturation: return CAIRO_OPERATOR_HSL_SATURATION;
    case BlendMode::Color: return CAIRO_OPERATOR_HSL_COLOR;
    case BlendMode::Luminosity: return CAIRO_OPERATOR_HSL_LUMINOSITY;
    case BlendMode::Clear: return CAIRO_OPERATOR_CLEAR;
    case BlendMode::Copy: return CAIRO_OPERATOR_SOURCE;
    case BlendMode::SourceIn: return CAIRO_OPERATOR_IN;
    case BlendMode::SourceOut: return CAIRO_OPERATOR_OUT;
    case BlendMode::SourceAtop: return CAIRO_OPERATOR_ATOP;
    case BlendMode::DestinationOver: return CAIRO_OPERATOR_DEST_OVER;
    case BlendMode::DestinationIn: return CAIRO_OPERATOR_DEST_IN;
    case BlendMode::DestinationOut: return CAIRO_OPERATOR_DEST_OUT;
    case BlendMode::DestinationAtop: return CAIRO_OPERATOR_DEST_ATOP;
    case BlendMode::XOR: return CAIRO_OPERATOR_XOR;
    case BlendMode::PlusLighter: return CAIRO_OPERATOR_ADD;
    }
    return CAIRO_OPERATOR_OVER;
}

// Pattern over `image` mapping `r` to its pixels, upright or bottom-up.
cairo_pattern_t* imagePattern(const Image& image, const Rect& r, bool bottomUp) {
    cairo_pattern_t* p = cairo_pattern_create_for_surface(image.surface());
    double sx = image.pixelWidth() / r.width(), sy = image.pixelHeight() / r.height();
    cairo_matrix_t m;
    if (bottomUp)
        cairo_matrix_init(&m, sx, 0, 0, -sy, -r.x() * sx, (r.y() + r.height()) * sy);
    else
        cairo_matrix_init(&m, sx, 0, 0, sy, -r.x() * sx, -r.y() * sy);
    cairo_pattern_set_matrix(p, &m);
    cairo_pattern_set_extend(p, CAIRO_EXTEND_PAD);
    // Sampling at pixel centres keeps 1:1 draws exact; shrinking a lot needs a box filter.
    cairo_pattern_set_filter(p, (sx > 2 || sy > 2) ? CAIRO_FILTER_GOOD : CAIRO_FILTER_BILINEAR);
    return p;
}

// Three box blurs of an A8/ARGB32 surface's alpha, in place (about a Gaussian).
void blurAlpha(cairo_surface_t* s, int radius) {
    if (radius <= 0) return;
    cairo_surface_flush(s);
    int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    int stride = cairo_image_surface_get_stride(s);
    unsigned char* data = cairo_image_surface_get_data(s);
    std::vector<int> a(size_t(w) * h), tmp(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint32_t v;
            std::memcpy(&v, data + size_t(y) * stride + size_t(x) * 4, 4);
            a[size_t(y) * w + x] = int(v >> 24);
        }
    auto pass = [&](std::vector<int>& src, std::vector<int>& dst, bool horizontal) {
        int n = horizontal ? w : h, lines = horizontal ? h : w;
        for (int l = 0; l < lines; ++l) {
            auto at = [&](int i) -> int& { return horizontal ? src[size_t(l) * w + i] : src[size_t(i) * w + l]; };
            auto out = [&](int i) -> int& { return horizontal ? dst[size_t(l) * w + i] : dst[size_t(i) * w + l]; };
            long sum = 0;
            for (int i = -radius; i <= radius; ++i) sum += (i >= 0 && i < n) ? at(i) : 0;
            for (int i = 0; i < n; ++i) {
                out(i) = int(sum / (2 * radius + 1));
                int add = i + radius + 1, sub = i - radius;
                if (add < n) sum += at(add);
                if (sub >= 0) sum -= at(sub);
            }
        }
    };
    for (int k = 0; k < 3; ++k) {
        pass(a, tmp, true);
        pass(tmp, a, false);
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint32_t v = uint32_t(std::clamp(a[size_t(y) * w + x], 0, 255)) << 24;
            std::memcpy(data + size_t(y) * stride + size_t(x) * 4, &v, 4);
        }
    cairo_surface_mark_dirty(s);
}

}  // namespace

struct Context::MaskGroup {
    std::shared_ptr<const Image> mask;
    Rect rect;
    cairo_matrix_t ctm;
};

std::unique_ptr<Context> Context::beginImageContext(Size size, bool opaque, double scale) {
    if (scale <= 0) scale = Image::screenScale();
    int pw = std::max(0, int(std::ceil(size.width * scale - 1e-9)));
    int ph = std::max(0, int(std::ceil(size.height * scale - 1e-9)));
    std::unique_ptr<Context> c(new Context());
    c->ownedSurface_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pw, ph);
    c->cr_ = cairo_create(c->ownedSurface_);
    if (opaque) {
        cairo_set_source_rgb(c->cr_, 0, 0, 0);
        cairo_paint(c->cr_);
    }
    cairo_scale(c->cr_, scale, scale);
    c->size_ = size;
    c->scale_ = scale;
    c->current_ = true;
    tCurrent.push_back(c.get());
    return c;
}

Context* Context::current() { return tCurrent.empty() ? nullptr : tCurrent.back(); }

Context::Context(cairo_t* cr, Size size, double scale, bool makeCurrent) : cr_(cr), size_(size), scale_(scale) {
    cairo_save(cr_);
    if (makeCurrent) {
        current_ = true;
        tCurrent.push_back(this);
    }
}

Context::~Context() {
    while (!masks_.empty()) popMask();
    if (current_) {
        auto it = std::find(tCurrent.begin(), tCurrent.end(), this);
        if (it != tCurrent.end()) tCurrent.erase(it);
    }
    if (ownedSurface_) {
        cairo_destroy(cr_);
        cairo_surface_destroy(ownedSurface_);
    } else {
        cairo_restore(cr_);
    }
}

std::shared_ptr<Image> Context::image() const {
    if (!ownedSurface_) return nullptr;
    auto* self = const_cast<Context*>(this);
    while (!self->masks_.empty()) self->popMask();
    cairo_surface_flush(ownedSurface_);
    int w = cairo_image_surface_get_width(ownedSurface_), h = cairo_image_surface_get_height(ownedSurface_);
    cairo_surface_t* copy = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_surface_flush(copy);
    int stride = cairo_image_surface_get_stride(copy);
    std::memcpy(cairo_image_surface_get_data(copy), cairo_image_surface_get_data(ownedSurface_), size_t(stride) * h);
    cairo_surface_mark_dirty(copy);
    return std::make_shared<Image>(copy, scale_);
}

std::shared_ptr<Image> Context::takeImage() {
    if (!ownedSurface_) return nullptr;
    while (!masks_.empty()) popMask();
    cairo_surface_t* drawn = ownedSurface_;
    cairo_surface_flush(drawn);
    cairo_surface_mark_dirty(drawn);
    ownedSurface_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 0, 0);
    cairo_destroy(cr_);
    cr_ = cairo_create(ownedSurface_);
    return std::make_shared<Image>(drawn, scale_);
}

void Context::save() {
    cairo_save(cr_);
    stack_.push_back({fill_, stroke_, alpha_, blend_, shadow_, masks_.size()});
}

void Context::restore() {
    if (stack_.empty()) return;
    State s = stack_.back();
    stack_.pop_back();
    while (masks_.size() > s.masks) popMask();
    cairo_restore(cr_);
    fill_ = s.fill;
    stroke_ = s.stroke;
    alpha_ = s.alpha;
    blend_ = s.blend;
    shadow_ = s.shadow;
}

void Context::translate(double x, double y) { cairo_translate(cr_, x, y); }
void Context::scaleBy(double sx, double sy) { cairo_scale(cr_, sx, sy); }
void Context::rotate(double radians) { cairo_rotate(cr_, radians); }
void Context::concat(const AffineTransform& t) {
    cairo_matrix_t m;
    cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
    cairo_transform(cr_, &m);
}

AffineTransform Context::ctm() const {
    cairo_matrix_t m;
    cairo_get_matrix(cr_, &m);
    AffineTransform t{m.xx, m.yx, m.xy, m.yy, m.x0, m.y0};
    // In points, not pixels.
    return t.concat(AffineTransform::scale(1 / scale_, 1 / scale_));
}

void Context::setFillColor(const Color& c) { fill_ = c; }
void Context::setStrokeColor(const Color& c) { stroke_ = c; }
void Context::setLineWidth(double w) { cairo_set_line_width(cr_, w); }
void Context::setLineCap(LineCap cap) {
    cairo_set_line_cap(cr_, cap == LineCap::Round    ? CAIRO_LINE_CAP_ROUND
                            : cap == LineCap::Square ? CAIRO_LINE_CAP_SQUARE
                                                     : CAIRO_LINE_CAP_BUTT);
}
void Context::setLineJoin(LineJoin join) {
    cairo_set_line_join(cr_, join == LineJoin::Round   ? CAIRO_LINE_JOIN_ROUND
                             : join == LineJoin::Bevel ? CAIRO_LINE_JOIN_BEVEL
                                                       : CAIRO_LINE_JOIN_MITER);
}
void Context::setAlpha(double a) { alpha_ = std::clamp(a, 0.0, 1.0); }
void Context::setBlendMode(BlendMode m) { blend_ = m; }
void Context::setShouldAntialias(bool on) {
    cairo_set_antialias(cr_, on ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
}
void Context::setShadow(Size offset, double blur, std::optional<Color> color) {
    if (!color || color->isClear()) {
        shadow_.reset();
        return;
    }
    shadow_ = Shadow{offset, blur, *color};
}
void Context::clearShadow() { shadow_.reset(); }

void Context::applySource(const Color& c) {
    cairo_set_source_rgba(cr_, c.redValue(), c.greenValue(), c.blueValue(), c.alpha() * alpha_);
    cairo_set_operator(cr_, toOperator(blend_));
}

// Runs `draw` (which paints with the current source and operator) once as a
// blurred shadow in the shadow colour and once itself.
template <class Draw>
void Context::withShadow(Draw&& draw) {
    if (!shadow_) {
        draw();
        return;
    }
    Shadow sh = *shadow_;
    cairo_path_t* path = cairo_copy_path(cr_);
    // The shape alone, into a group in device space.
    cairo_push_group_with_content(cr_, CAIRO_CONTENT_COLOR_ALPHA);
    cairo_append_path(cr_, path);
    draw();
    cairo_pattern_t* shape = cairo_pop_group(cr_);
    cairo_surface_t* src = nullptr;
    cairo_pattern_get_surface(shape, &src);
    double x0, y0, x1, y1;
    cairo_clip_extents(cr_, &x0, &y0, &x1, &y1);
    cairo_user_to_device(cr_, &x0, &y0);
    cairo_user_to_device(cr_, &x1, &y1);
    int pad = int(std::ceil(sh.blur * scale_)) + 2;
    int w = int(std::ceil(std::fabs(x1 - x0))) + 2 * pad, h = int(std::ceil(std::fabs(y1 - y0))) + 2 * pad;
    double ox = std::floor(std::min(x0, x1)) - pad, oy = std::floor(std::min(y0, y1)) - pad;
    if (w > 0 && h > 0 && w < 16384 && h < 16384) {
        cairo_surface_t* blurred = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
        cairo_t* b = cairo_create(blurred);
        cairo_translate(b, -ox, -oy);
        cairo_set_source_surface(b, src, 0, 0);
        cairo_paint(b);
        cairo_destroy(b);
        blurAlpha(blurred, int(std::lround(sh.blur * scale_ / 2)));
        cairo_save(cr_);
        cairo_identity_matrix(cr_);
        cairo_new_path(cr_);
        cairo_set_source_rgba(cr_, sh.color.redValue(), sh.color.greenValue(), sh.color.blueValue(),
                              sh.color.alpha() * alpha_);
        cairo_set_operator(cr_, CAIRO_OPERATOR_OVER);
        cairo_mask_surface(cr_, blurred, ox + sh.offset.width * scale_, oy + sh.offset.height * scale_);
        cairo_restore(cr_);
        cairo_surface_destroy(blurred);
    }
    cairo_new_path(cr_);
    cairo_append_path(cr_, path);
    cairo_path_destroy(path);
    cairo_pattern_destroy(shape);
    draw();
}

void Context::beginPath() { cairo_new_path(cr_); }
void Context::moveTo(Point p) { cairo_move_to(cr_, p.x, p.y); }
void Context::addLineTo(Point p) { cairo_line_to(cr_, p.x, p.y); }
void Context::addCurveTo(Point c1, Point c2, Point e) { cairo_curve_to(cr_, c1.x, c1.y, c2.x, c2.y, e.x, e.y); }
void Context::closePath() { cairo_close_path(cr_); }
void Context::addRect(const Rect& r) { cairo_rectangle(cr_, r.x(), r.y(), r.width(), r.height()); }
void Context::addEllipseInRect(const Rect& r) { addPath(Path::ellipse(r)); }

void Context::addPath(const Path& path) {
    for (auto& e : path.elements()) {
        switch (e.op) {
        case Path::Op::Move: cairo_move_to(cr_, e.p[0].x, e.p[0].y); break;
        case Path::Op::Line: cairo_line_to(cr_, e.p[0].x, e.p[0].y); break;
        case Path::Op::Curve: cairo_curve_to(cr_, e.p[0].x, e.p[0].y, e.p[1].x, e.p[1].y, e.p[2].x, e.p[2].y); break;
        case Path::Op::Close: cairo_close_path(cr_); break;
        }
    }
}

void Context::fillPath(bool evenOdd) {
    cairo_set_fill_rule(cr_, evenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
    applySource(fill_);
    withShadow([&] { cairo_fill_preserve(cr_); });
    cairo_new_path(cr_);
    cairo_set_operator(cr_, CAIRO_OPERATOR_OVER);
}

void Context::strokePath() {
    applySource(stroke_);
    withShadow([&] { cairo_stroke_preserve(cr_); });
    cairo_new_path(cr_);
    cairo_set_operator(cr_, CAIRO_OPERATOR_OVER);
}

void Context::clip(bool evenOdd) {
    cairo_set_fill_rule(cr_, evenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
    cairo_clip(cr_);
}

void Context::fillRect(const Rect& r) {
    cairo_new_path(cr_);
    addRect(r);
    fillPath();
}

void Context::strokeRect(const Rect& r) {
    cairo_new_path(cr_);
    addRect(r);
    strokePath();
}

void Context::clearRect(const Rect& r) {
    cairo_save(cr_);
    cairo_new_path(cr_);
    addRect(r);
    cairo_set_operator(cr_, CAIRO_OPERATOR_CLEAR);
    cairo_fill(cr_);
    cairo_restore(cr_);
}

void Context::fillEllipseInRect(const Rect& r) {
    cairo_new_path(cr_);
    addEllipseInRect(r);
    fillPath();
}

void Context::strokeEllipseInRect(const Rect& r) {
    cairo_new_path(cr_);
    addEllipseInRect(r);
    strokePath();
}

void Context::fill(const Path& path, bool evenOdd) {
    cairo_new_path(cr_);
    addPath(path);
    fillPath(evenOdd);
}

void Context::stroke(const Path& path) {
    cairo_new_path(cr_);
    addPath(path);
    strokePath();
}

void Context::strokeLine(Point from, Point to) {
    cairo_new_path(cr_);
    moveTo(from);
    addLineTo(to);
    strokePath();
}

void Context::clipToRect(const Rect& r) {
    cairo_new_path(cr_);
    addRect(r);
    cairo_clip(cr_);
}

// Cairo has no clip to an image: what follows is drawn into a group that starts
// as a copy of the target; when the state is restored the group replaces the
// target where the mask is opaque (SOURCE through a mask interpolates).
void Context::clipToMask(const Rect& r, const Image& mask) {
    if (r.isEmpty()) {
        clipToRect({});
        return;
    }
    auto group = std::make_shared<MaskGroup>();
    // Keep the mask alive while the group is open.
    cairo_surface_t* copy = cairo_surface_reference(mask.surface());
    group->mask = std::make_shared<Image>(copy, mask.scale());
    group->rect = r;
    cairo_get_matrix(cr_, &group->ctm);
    cairo_surface_t* target = cairo_get_group_target(cr_);
    cairo_push_group(cr_);
    cairo_save(cr_);
    cairo_identity_matrix(cr_);
    double dx, dy;
    cairo_surface_get_device_offset(target, &dx, &dy);
    cairo_set_source_surface(cr_, target, -dx, -dy);
    cairo_set_operator(cr_, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr_);
    cairo_restore(cr_);
    masks_.push_back(group);
}

void Context::popMask() {
    auto group = masks_.back();
    masks_.pop_back();
    cairo_pattern_t* content = cairo_pop_group(cr_);
    cairo_save(cr_);
    cairo_set_source(cr_, content);
    cairo_set_matrix(cr_, &group->ctm);
    cairo_pattern_t* m = imagePattern(*group->mask, group->rect, true);
    cairo_pattern_set_extend(m, CAIRO_EXTEND_NONE);
    cairo_set_operator(cr_, CAIRO_OPERATOR_SOURCE);
    cairo_mask(cr_, m);
    cairo_pattern_destroy(m);
    cairo_restore(cr_);
    cairo_pattern_destroy(content);
}

void Context::drawImage(const Image& image, const Rect& r) { paintImage(image, r, false); }

void Context::drawImageBottomUp(const Image& image, const Rect& r) { paintImage(image, r, true); }

void Context::paintImage(const Image& image, const Rect& r, bool bottomUp) {
    if (r.isEmpty()) return;
    cairo_pattern_t* p = imagePattern(image, r.standardized(), bottomUp);
    cairo_save(cr_);
    cairo_new_path(cr_);
    addRect(r);
    cairo_set_source(cr_, p);
    cairo_set_operator(cr_, toOperator(blend_));
    withShadow([&] {
        cairo_save(cr_);
        cairo_clip_preserve(cr_);
        cairo_paint_with_alpha(cr_, alpha_);
        cairo_restore(cr_);
    });
    cairo_restore(cr_);
    cairo_pattern_destroy(p);
}

void Context::drawLinearGradient(const std::vector<Color>& colors, const std::vector<double>& locations, Point start,
                                 Point end, unsigned options) {
    if (colors.empty()) return;
    cairo_pattern_t* p = cairo_pattern_create_linear(start.x, start.y, end.x, end.y);
    for (size_t i = 0; i < colors.size(); ++i) {
        double loc = i < locations.size() ? locations[i]
                     : colors.size() == 1 ? 0.0
                                          : double(i) / double(colors.size() - 1);
        const Color& c = colors[i];
        cairo_pattern_add_color_stop_rgba(p, loc, c.redValue(), c.greenValue(), c.blueValue(), c.alpha());
    }
    bool before = options & kGradientDrawsBeforeStart, after = options & kGradientDrawsAfterEnd;
    cairo_save(cr_);
    // Padded colours, clipped away on the sides that must not extend.
    cairo_pattern_set_extend(p, CAIRO_EXTEND_PAD);
    double dx = end.x - start.x, dy = end.y - start.y, len = std::hypot(dx, dy);
    if (len > 0) {
        double ux = dx / len, uy = dy / len, big = 1e6;
        // Keeps the side of the line through `edge` (perpendicular to the axis)
        // that lies in direction `sgn` along the axis.
        auto keepSide = [&](Point edge, double sgn) {
            Point a{edge.x - uy * big, edge.y + ux * big}, b{edge.x + uy * big, edge.y - ux * big};
            cairo_new_path(cr_);
            cairo_move_to(cr_, a.x, a.y);
            cairo_line_to(cr_, b.x, b.y);
            cairo_line_to(cr_, b.x + sgn * ux * big, b.y + sgn * uy * big);
            cairo_line_to(cr_, a.x + sgn * ux * big, a.y + sgn * uy * big);
            cairo_close_path(cr_);
            cairo_clip(cr_);
        };
        if (!before) keepSide(start, 1);
        if (!after) keepSide(end, -1);
    }
    cairo_set_source(cr_, p);
    cairo_set_operator(cr_, toOperator(blend_));
    cairo_paint_with_alpha(cr_, alpha_);
    cairo_restore(cr_);
    cairo_pattern_destroy(p);
}

Size Context::drawText(const std::string& str, const Rect& r, const Font& font, const Color& color,
                       TextAlignment alignment, int lines, LineBreakMode mode) {
    if (str.empty()) return {0, 0};
    PangoLayout* layout = text::makeLayout(cr_, str, font, r.width(), lines, mode, alignment);
    Size s = text::layoutSize(layout, lines);
    cairo_save(cr_);
    applySource(color);
    cairo_move_to(cr_, r.x(), r.y());
    withShadow([&] { pango_cairo_show_layout(cr_, layout); });
    cairo_new_path(cr_);
    cairo_restore(cr_);
    g_object_unref(layout);
    return {std::ceil(s.width - 1e-9), std::ceil(s.height - 1e-9)};
}

Size Context::drawText(const std::string& str, Point p, const Font& font, const Color& color) {
    return drawText(str, Rect{p.x, p.y, INFINITY, INFINITY}, font, color, TextAlignment::Left, 1, LineBreakMode::Clip);
}

}  // namespace platform::graphics
