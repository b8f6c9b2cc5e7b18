#include "platform/graphics/Font.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <cmath>

#include "platform/graphics/TextLayout.h"

namespace platform::graphics {

namespace {

constexpr const char* kFamily = "DejaVu Sans";

// Metrics must not depend on the device scale: no hinting of metrics or outlines.
void setUnhinted(PangoContext* ctx) {
    cairo_font_options_t* o = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
    pango_cairo_context_set_font_options(ctx, o);
    cairo_font_options_destroy(o);
}

PangoContext* measuringContext() {
    struct Holder {
        PangoContext* ctx;
        Holder() {
            ctx = pango_font_map_create_context(pango_cairo_font_map_get_default());
            setUnhinted(ctx);
        }
        ~Holder() { g_object_unref(ctx); }
    };
    thread_local Holder holder;
    return holder.ctx;
}

PangoFontDescription* describe(const Font& font) {
    PangoFontDescription* d = pango_font_description_new();
    pango_font_description_set_family(d, kFamily);
    pango_font_description_set_weight(d, font.isBold() ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_font_description_set_absolute_size(d, font.pointSize() * PANGO_SCALE);
    return d;
}

}  // namespace

namespace text {

PangoLayout* makeLayout(cairo_t* cr, const std::string& str, const Font& font, double width, int lines,
                        LineBreakMode mode, TextAlignment alignment) {
    PangoLayout* layout;
    if (cr) {
        layout = pango_cairo_create_layout(cr);
        setUnhinted(pango_layout_get_context(layout));
        pango_layout_context_changed(layout);
    } else {
        layout = pango_layout_new(measuringContext());
    }
    PangoFontDescription* d = describe(font);
    pango_layout_set_font_description(layout, d);
    pango_font_description_free(d);
    pango_layout_set_text(layout, str.c_str(), int(str.size()));
    bool bounded = std::isfinite(width) && width > 0;
    if (bounded) pango_layout_set_width(layout, int(std::lround(width * PANGO_SCALE)));
    pango_layout_set_wrap(layout, mode == LineBreakMode::CharWrap ? PANGO_WRAP_CHAR : PANGO_WRAP_WORD_CHAR);
    if (lines == 1 && mode != LineBreakMode::WordWrap && mode != LineBreakMode::CharWrap) {
        // One line: no wrapping; truncate or clip what does not fit.
        pango_layout_set_height(layout, -1);
    } else if (lines > 0) {
        pango_layout_set_height(layout, -lines);
    }
    PangoEllipsizeMode e = PANGO_ELLIPSIZE_NONE;
    if (bounded) {
        switch (mode) {
        case LineBreakMode::TruncateHead: e = PANGO_ELLIPSIZE_START; break;
        case LineBreakMode::TruncateMiddle: e = PANGO_ELLIPSIZE_MIDDLE; break;
        case LineBreakMode::TruncateTail: e = PANGO_ELLIPSIZE_END; break;
        default: break;
        }
    }
    pango_layout_set_ellipsize(layout, e);
    pango_layout_set_alignment(layout, alignment == TextAlignment::Center  ? PANGO_ALIGN_CENTER
                                       : alignment == TextAlignment::Right ? PANGO_ALIGN_RIGHT
                                                                           : PANGO_ALIGN_LEFT);
    return layout;
}

Size layoutSize(PangoLayout* layout, int lines) {
    PangoLayoutIter* it = pango_layout_get_iter(layout);
    double w = 0, h = 0;
    int n = 0;
    do {
        PangoRectangle logical;
        pango_layout_iter_get_line_extents(it, nullptr, &logical);
        w = std::max(w, double(logical.width) / PANGO_SCALE);
        h = double(logical.y + logical.height) / PANGO_SCALE;
        ++n;
    } while ((lines <= 0 || n < lines) && pango_layout_iter_next_line(it));
    pango_layout_iter_free(it);
    return {w, h};
}

}  // namespace text

Font::Font(std::string name, double pointSize) : name_(std::move(name)), size_(pointSize) {
    bold_ = name_.find("Bold") != std::string::npos || name_.find("bold") != std::string::npos;
}

Font Font::systemFont(double size) { return Font("System", size); }
Font Font::boldSystemFont(double size) { return Font("System-Bold", size); }

Font Font::withSize(double size) const {
    Font f = *this;
    f.size_ = size;
    return f;
}

namespace {
PangoFontMetrics* metricsOf(const Font& font) {
    PangoFontDescription* d = describe(font);
    PangoFontMetrics* m = pango_context_get_metrics(measuringContext(), d, nullptr);
    pango_font_description_free(d);
    return m;
}
}  // namespace

double Font::ascender() const {
    PangoFontMetrics* m = metricsOf(*this);
    double v = double(pango_font_metrics_get_ascent(m)) / PANGO_SCALE;
    pango_font_metrics_unref(m);
    return v;
}

double Font::descender() const {
    PangoFontMetrics* m = metricsOf(*this);
    double v = double(pango_font_metrics_get_descent(m)) / PANGO_SCALE;
    pango_font_metrics_unref(m);
    return v;
}

double Font::lineHeight() const {
    PangoLayout* l = text::makeLayout(nullptr, "Ag", *this, INFINITY, 1, LineBreakMode::Clip, TextAlignment::Left);
    double h = text::layoutSize(l, 1).height;
    g_object_unref(l);
    return h;
}

Size Font::sizeOfText(const std::string& str, double maxWidth, int lines, LineBreakMode mode) const {
    if (str.empty()) return {0, 0};
    PangoLayout* l = text::makeLayout(nullptr, str, *this, maxWidth, lines, mode, TextAlignment::Left);
    Size s = text::layoutSize(l, lines);
    g_object_unref(l);
    return {std::ceil(s.width - 1e-9), std::ceil(s.height - 1e-9)};
}

namespace {
// Editing lays text out as a multi-line drawText does (wrapped words) or,
// unbounded, on one clipped line.
PangoLayout* editingLayout(const Font& font, const std::string& str, double width, TextAlignment alignment) {
    const bool wraps = std::isfinite(width) && width > 0;
    return text::makeLayout(nullptr, str, font, width, wraps ? 0 : 1,
                            wraps ? LineBreakMode::WordWrap : LineBreakMode::Clip, alignment);
}
}  // namespace

Rect Font::caretRect(const std::string& str, size_t index, double width, TextAlignment alignment) const {
    // An empty text still has a line: measure a space's line, at its start.
    const std::string& laid = str.empty() ? std::string(" ") : str;
    PangoLayout* l = editingLayout(*this, laid, width, alignment);
    PangoRectangle strong;
    pango_layout_get_cursor_pos(l, int(std::min(index, str.size())), &strong, nullptr);
    g_object_unref(l);
    Rect r{double(strong.x) / PANGO_SCALE, double(strong.y) / PANGO_SCALE, 0, double(strong.height) / PANGO_SCALE};
    if (str.empty() && std::isfinite(width) && width > 0) {
        if (alignment == TextAlignment::Center)
            r.origin.x = width / 2;
        else if (alignment == TextAlignment::Right)
            r.origin.x = width;
        else
            r.origin.x = 0;
    }
    return r;
}

size_t Font::indexAtPoint(const std::string& str, Point p, double width, TextAlignment alignment) const {
    if (str.empty()) return 0;
    PangoLayout* l = editingLayout(*this, str, width, alignment);
    int index = 0, trailing = 0;
    pango_layout_xy_to_index(l, int(std::lround(p.x * PANGO_SCALE)), int(std::lround(p.y * PANGO_SCALE)), &index,
                             &trailing);
    // `trailing` counts characters past the one hit: step over them whole.
    const char* text = pango_layout_get_text(l);
    size_t at = size_t(index);
    for (; trailing > 0 && at < str.size(); --trailing) at = size_t(g_utf8_next_char(text + at) - text);
    g_object_unref(l);
    return std::min(at, str.size());
}

}  // namespace platform::graphics
