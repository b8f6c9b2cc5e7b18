#include "platform/ui/Compositor.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

namespace platform::ui {

namespace {

template <class T>
T as(const PropertyValue& v, T fallback = T{}) {
    if (auto* p = std::get_if<T>(&v)) return *p;
    return fallback;
}

// The presentation geometry and appearance of a layer at one instant.
struct Shown {
    Rect bounds;
    AffineTransform toSuper;
    double opacity;
    std::optional<Color> background;
    double cornerRadius;
};

Shown shownAt(const Layer& l, double time) {
    Shown s;
    bool animating = l.hasAnimations();
    auto value = [&](const char* key) { return animating ? l.presentationValue(key, time) : l.valueForKey(key); };
    s.bounds = as<Rect>(value("bounds"));
    Point a = as<Point>(value("anchorPoint"), Point{0.5, 0.5});
    Point p = as<Point>(value("position"));
    auto t = as<AffineTransform>(value("transform"));
    s.toSuper =
        AffineTransform::translation(-s.bounds.x() - a.x * s.bounds.width(), -s.bounds.y() - a.y * s.bounds.height())
            .concat(t)
            .concat(AffineTransform::translation(p.x, p.y));
    s.opacity = std::clamp(as<double>(value("opacity"), 1.0), 0.0, 1.0);
    PropertyValue bg = value("backgroundColor");
    if (auto* c = std::get_if<Color>(&bg)) s.background = *c;
    s.cornerRadius = as<double>(value("cornerRadius"));
    return s;
}

bool animatesDisplayKey(const Layer& l) {
    for (auto& a : l.runningAnimations()) {
        if (a.finishedReported && a.anim->fillMode() != FillMode::Forwards && a.anim->fillMode() != FillMode::Both)
            continue;
        if (auto* b = dynamic_cast<BasicAnimation*>(a.anim.get()); b && l.needsDisplayForKey(b->keyPath())) return true;
    }
    return false;
}

// Where an image of `size` points goes in `b` under a gravity.
Rect placed(ContentsGravity g, Size size, const Rect& b) {
    double w = size.width, h = size.height;
    switch (g) {
    case ContentsGravity::Resize: return b;
    case ContentsGravity::ResizeAspect:
    case ContentsGravity::ResizeAspectFill: {
        if (w <= 0 || h <= 0) return b;
        double sx = b.width() / w, sy = b.height() / h;
        double s = g == ContentsGravity::ResizeAspect ? std::min(sx, sy) : std::max(sx, sy);
        return {b.midX() - w * s / 2, b.midY() - h * s / 2, w * s, h * s};
    }
    default: break;
    }
    double x = b.midX() - w / 2, y = b.midY() - h / 2;
    switch (g) {
    case ContentsGravity::Top: y = b.minY(); break;
    case ContentsGravity::Bottom: y = b.maxY() - h; break;
    case ContentsGravity::Left: x = b.minX(); break;
    case ContentsGravity::Right: x = b.maxX() - w; break;
    case ContentsGravity::TopLeft:
        x = b.minX();
        y = b.minY();
        break;
    case ContentsGravity::TopRight:
        x = b.maxX() - w;
        y = b.minY();
        break;
    case ContentsGravity::BottomLeft:
        x = b.minX();
        y = b.maxY() - h;
        break;
    case ContentsGravity::BottomRight:
        x = b.maxX() - w;
        y = b.maxY() - h;
        break;
    default: break;
    }
    return {x, y, w, h};
}

void roundedRectPath(cairo_t* cr, const Rect& r, double radius) {
    cairo_new_path(cr);
    radius = std::min({radius, r.width() / 2, r.height() / 2});
    if (radius <= 0) {
        cairo_rectangle(cr, r.x(), r.y(), r.width(), r.height());
        return;
    }
    double x0 = r.minX(), y0 = r.minY(), x1 = r.maxX(), y1 = r.maxY();
    cairo_arc(cr, x1 - radius, y0 + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, x1 - radius, y1 - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, x0 + radius, y1 - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, x0 + radius, y0 + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

void paintImage(cairo_t* cr, const Image& image, const Rect& dst, double alpha) {
    if (dst.width() <= 0 || dst.height() <= 0) return;
    cairo_pattern_t* p = cairo_pattern_create_for_surface(image.surface());
    double sx = image.pixelWidth() / dst.width(), sy = image.pixelHeight() / dst.height();
    cairo_matrix_t m;
    cairo_matrix_init(&m, sx, 0, 0, sy, -dst.x() * sx, -dst.y() * sy);
    cairo_pattern_set_matrix(p, &m);
    cairo_pattern_set_extend(p, CAIRO_EXTEND_PAD);
    // Exact for 1:1 copies; smooth otherwise.
    cairo_matrix_t ctm;
    cairo_get_matrix(cr, &ctm);
    bool unit = std::fabs(ctm.xx / sx - 1) < 1e-9 && std::fabs(ctm.yy / sy - 1) < 1e-9 && ctm.xy == 0 && ctm.yx == 0 &&
                std::fabs(ctm.x0 + dst.x() * ctm.xx - std::round(ctm.x0 + dst.x() * ctm.xx)) < 1e-9 &&
                std::fabs(ctm.y0 + dst.y() * ctm.yy - std::round(ctm.y0 + dst.y() * ctm.yy)) < 1e-9;
    cairo_pattern_set_filter(p, unit                 ? CAIRO_FILTER_NEAREST
                                : (sx > 2 || sy > 2) ? CAIRO_FILTER_GOOD
                                                     : CAIRO_FILTER_BILINEAR);
    cairo_save(cr);
    cairo_new_path(cr);
    cairo_rectangle(cr, dst.x(), dst.y(), dst.width(), dst.height());
    cairo_clip(cr);
    cairo_set_source(cr, p);
    cairo_paint_with_alpha(cr, alpha);
    cairo_restore(cr);
    cairo_pattern_destroy(p);
}

// Bounding box of a layer's subtree in its own space (model geometry is close
// enough for sizing the group of a translucent layer).
Rect subtreeExtent(const Layer& l, double time) {
    Shown s = shownAt(l, time);
    Rect r = s.bounds;
    if (!l.masksToBounds()) {
        for (auto& sub : l.sublayers()) {
            if (sub->isHidden()) continue;
            Shown ss = shownAt(*sub, time);
            r = r.unionWith(ss.toSuper.apply(subtreeExtent(*sub, time)));
        }
    }
    return r;
}

void renderLayer(const Layer& l, cairo_t* cr, double time, const Compositor::Survey* survey) {
    Compositor::Appearance computed;
    const Compositor::Appearance* found = nullptr;
    if (survey) {
        found = survey->find(l);
        if (!found) return;
    } else {
        computed = Compositor::appearance(l, time);
        if (!computed.visible) return;
        found = &computed;
    }
    const Compositor::Appearance& s = *found;
    cairo_save(cr);
    cairo_matrix_t m;
    cairo_matrix_init(&m, s.toSuper.a, s.toSuper.b, s.toSuper.c, s.toSuper.d, s.toSuper.tx, s.toSuper.ty);
    cairo_transform(cr, &m);

    const auto& content = s.content;
    bool group = s.group;
    double alpha = group ? 1.0 : s.opacity;
    if (group) {
        Rect e = subtreeExtent(l, time);
        cairo_new_path(cr);
        cairo_rectangle(cr, e.x(), e.y(), e.width(), e.height());
        cairo_clip(cr);
        cairo_push_group(cr);
    }
    const Rect& b = s.bounds;
    bool rounded = s.cornerRadius > 0;
    if (s.background && !s.background->isClear()) {
        const Color& c = *s.background;
        roundedRectPath(cr, b, s.cornerRadius);
        cairo_set_source_rgba(cr, c.redValue(), c.greenValue(), c.blueValue(), c.alpha() * alpha);
        cairo_fill(cr);
    }
    if (l.masksToBounds()) {
        roundedRectPath(cr, b, rounded ? s.cornerRadius : 0);
        cairo_clip(cr);
    }
    if (content) paintImage(cr, *content, s.contentRect, alpha);
    for (auto& sub : l.sublayers()) renderLayer(*sub, cr, time, survey);
    if (s.border) {
        const Color& c = l.borderColor();
        double w = l.borderWidth();
        roundedRectPath(cr, b.insetBy(w / 2, w / 2), std::max(0.0, s.cornerRadius - w / 2));
        cairo_set_line_width(cr, w);
        cairo_set_source_rgba(cr, c.redValue(), c.greenValue(), c.blueValue(), c.alpha() * alpha);
        cairo_stroke(cr);
    }
    if (group) {
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, s.opacity);
    }
    cairo_restore(cr);
}

}  // namespace

Compositor::Appearance Compositor::appearance(const Layer& l, double time) {
    Appearance a;
    if (l.isHidden()) return a;
    Shown s = shownAt(l, time);
    if (s.opacity <= 0) return a;
    a.visible = true;
    a.bounds = s.bounds;
    a.toSuper = s.toSuper;
    a.opacity = s.opacity;
    a.background = s.background;
    a.cornerRadius = s.cornerRadius;
    a.content = l.drawsContent() && l.backingImage() ? l.backingImage() : l.contents();
    if (a.content) {
        if (a.content == l.backingImage()) {
            a.contentRect = s.bounds;
        } else {
            double cs = l.contentsScale() > 0 ? l.contentsScale() : 1;
            Size size{a.content->pixelWidth() / cs, a.content->pixelHeight() / cs};
            a.contentRect = placed(l.contentsGravity(), size, s.bounds);
        }
    }
    a.border = l.borderWidth() > 0 && !l.borderColor().isClear();
    a.group = paintsAsGroup(l, a);
    return a;
}

bool Compositor::paintsAsGroup(const Layer& l, const Appearance& a) {
    if (a.opacity >= 1) return false;
    int parts = (a.background && !a.background->isClear()) + (a.content != nullptr) + a.border;
    for (auto& sub : l.sublayers()) {
        if (parts > 1) break;
        parts += !sub->isHidden();
    }
    return parts > 1;
}

void Compositor::displayTree(Layer& root, double time) {
    if (root.isHidden()) return;
    if (root.needsDisplay() || (root.drawsContent() && animatesDisplayKey(root) && root.animatedDrawingChanged(time)))
        root.display();
    // Copy: drawing may change the tree.
    auto subs = root.sublayers();
    for (auto& sub : subs) displayTree(*sub, time);
}

void Compositor::render(Layer& root, Context& ctx, double time, const Survey* survey) {
    renderLayer(root, ctx.cairo(), time, survey);
}

std::shared_ptr<Image> Compositor::compose(Layer& root, Size size, double scale, double time) {
    displayTree(root, time);
    auto ctx = Context::beginImageContext(size, false, scale);
    render(root, *ctx, time);
    return ctx->takeImage();
}

}  // namespace platform::ui
