#include "platform/graphics/Path.h"

#include <cmath>

namespace platform::graphics {

namespace {
// Cubic approximation of a circular arc of at most 90 degrees.
void arcSegment(Path& path, Point c, double r, double a0, double a1) {
    double k = 4.0 / 3.0 * std::tan((a1 - a0) / 4);
    Point p0{c.x + r * std::cos(a0), c.y + r * std::sin(a0)};
    Point p3{c.x + r * std::cos(a1), c.y + r * std::sin(a1)};
    Point p1{p0.x - k * r * std::sin(a0), p0.y + k * r * std::cos(a0)};
    Point p2{p3.x + k * r * std::sin(a1), p3.y - k * r * std::cos(a1)};
    path.curveTo(p1, p2, p3);
}
}  // namespace

void Path::moveTo(Point p) { elements_.push_back({Op::Move, {p}}); }
void Path::lineTo(Point p) {
    if (elements_.empty()) return moveTo(p);
    elements_.push_back({Op::Line, {p}});
}
void Path::curveTo(Point c1, Point c2, Point end) {
    if (elements_.empty()) moveTo(c1);
    elements_.push_back({Op::Curve, {c1, c2, end}});
}
void Path::closeSubpath() {
    if (!elements_.empty()) elements_.push_back({Op::Close, {}});
}

void Path::addRect(const Rect& r) {
    moveTo({r.minX(), r.minY()});
    lineTo({r.maxX(), r.minY()});
    lineTo({r.maxX(), r.maxY()});
    lineTo({r.minX(), r.maxY()});
    closeSubpath();
}

void Path::addEllipseInRect(const Rect& rect) {
    Rect r = rect.standardized();
    double rx = r.width() / 2, ry = r.height() / 2;
    if (rx == 0 || ry == 0) return;
    Path unit;
    unit.moveTo({1, 0});
    for (int i = 0; i < 4; ++i) arcSegment(unit, {0, 0}, 1, i * M_PI / 2, (i + 1) * M_PI / 2);
    unit.closeSubpath();
    auto t = AffineTransform::scale(rx, ry).concat(AffineTransform::translation(r.midX(), r.midY()));
    for (auto& e : unit.transformed(t).elements_) elements_.push_back(e);
}

void Path::addRoundedRect(const Rect& rect, double radius) {
    Rect r = rect.standardized();
    radius = std::min({radius, r.width() / 2, r.height() / 2});
    if (radius <= 0) return addRect(r);
    moveTo({r.minX() + radius, r.minY()});
    lineTo({r.maxX() - radius, r.minY()});
    arcSegment(*this, {r.maxX() - radius, r.minY() + radius}, radius, -M_PI / 2, 0);
    lineTo({r.maxX(), r.maxY() - radius});
    arcSegment(*this, {r.maxX() - radius, r.maxY() - radius}, radius, 0, M_PI / 2);
    lineTo({r.minX() + radius, r.maxY()});
    arcSegment(*this, {r.minX() + radius, r.maxY() - radius}, radius, M_PI / 2, M_PI);
    lineTo({r.minX(), r.minY() + radius});
    arcSegment(*this, {r.minX() + radius, r.minY() + radius}, radius, M_PI, 3 * M_PI / 2);
    closeSubpath();
}

void Path::addArc(Point c, double radius, double a0, double a1, bool clockwise) {
    // Clockwise on a y-down screen means growing angles.
    if (clockwise) {
        while (a1 < a0) a1 += 2 * M_PI;
    } else {
        while (a1 > a0) a1 -= 2 * M_PI;
    }
    Point start{c.x + radius * std::cos(a0), c.y + radius * std::sin(a0)};
    if (elements_.empty())
        moveTo(start);
    else
        lineTo(start);
    int n = std::max(1, int(std::ceil(std::fabs(a1 - a0) / (M_PI / 2) - 1e-9)));
    double step = (a1 - a0) / n;
    for (int i = 0; i < n; ++i) arcSegment(*this, c, radius, a0 + i * step, a0 + (i + 1) * step);
}

void Path::addLines(const std::vector<Point>& points) {
    for (size_t i = 0; i < points.size(); ++i) {
        if (i == 0)
            moveTo(points[i]);
        else
            lineTo(points[i]);
    }
}

Path Path::rect(const Rect& r) {
    Path p;
    p.addRect(r);
    return p;
}
Path Path::ellipse(const Rect& r) {
    Path p;
    p.addEllipseInRect(r);
    return p;
}
Path Path::roundedRect(const Rect& r, double radius) {
    Path p;
    p.addRoundedRect(r, radius);
    return p;
}

Rect Path::boundingBox() const {
    bool any = false;
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    for (auto& e : elements_) {
        int n = e.op == Op::Curve ? 3 : e.op == Op::Close ? 0 : 1;
        for (int i = 0; i < n; ++i) {
            Point p = e.p[i];
            if (!any) {
                x0 = x1 = p.x;
                y0 = y1 = p.y;
                any = true;
            }
            x0 = std::min(x0, p.x);
            x1 = std::max(x1, p.x);
            y0 = std::min(y0, p.y);
            y1 = std::max(y1, p.y);
        }
    }
    return any ? Rect{x0, y0, x1 - x0, y1 - y0} : Rect{};
}

Path Path::transformed(const AffineTransform& t) const {
    Path out = *this;
    for (auto& e : out.elements_)
        for (auto& p : e.p) p = t.apply(p);
    return out;
}

}  // namespace platform::graphics
