#pragma once
// Points, sizes, rectangles and edge insets in points (doubles). The y axis
// grows downwards, as on the screen.
#include <algorithm>
#include <cmath>

namespace platform::graphics {

struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
    Point operator+(Point o) const { return {x + o.x, y + o.y}; }
    Point operator-(Point o) const { return {x - o.x, y - o.y}; }
};

struct Size {
    double width = 0, height = 0;
    bool operator==(const Size&) const = default;
};

struct EdgeInsets {
    double top = 0, left = 0, bottom = 0, right = 0;
    bool operator==(const EdgeInsets&) const = default;
};

struct Rect {
    Point origin;
    Size size;

    Rect() = default;
    Rect(Point o, Size s) : origin(o), size(s) {}
    Rect(double x, double y, double w, double h) : origin{x, y}, size{w, h} {}
    bool operator==(const Rect&) const = default;

    double x() const { return origin.x; }
    double y() const { return origin.y; }
    double width() const { return size.width; }
    double height() const { return size.height; }
    // Like the platform's rectangle functions, min/max/mid work on the
    // standardized rectangle (negative sizes flipped).
    double minX() const { return std::min(origin.x, origin.x + size.width); }
    double maxX() const { return std::max(origin.x, origin.x + size.width); }
    double minY() const { return std::min(origin.y, origin.y + size.height); }
    double maxY() const { return std::max(origin.y, origin.y + size.height); }
    double midX() const { return origin.x + size.width / 2; }
    double midY() const { return origin.y + size.height / 2; }
    Point center() const { return {midX(), midY()}; }

    Rect standardized() const { return {minX(), minY(), std::fabs(size.width), std::fabs(size.height)}; }
    bool isEmpty() const { return size.width == 0 || size.height == 0; }
    // Half-open on the max edges, like the platform's containment test.
    bool contains(Point p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
    bool intersects(const Rect& r) const { return !intersection(r).isEmpty(); }
    Rect intersection(const Rect& r) const;  // the zero rectangle when disjoint
    Rect unionWith(const Rect& r) const;     // an empty rectangle counts as absent
    Rect insetBy(double dx, double dy) const {
        return {origin.x + dx, origin.y + dy, size.width - 2 * dx, size.height - 2 * dy};
    }
    Rect insetBy(const EdgeInsets& e) const {
        return {origin.x + e.left, origin.y + e.top, size.width - e.left - e.right, size.height - e.top - e.bottom};
    }
    Rect offsetBy(double dx, double dy) const { return {origin.x + dx, origin.y + dy, size.width, size.height}; }
    // Smallest rectangle with whole-number edges that holds this one.
    Rect integral() const;
};

inline Rect Rect::intersection(const Rect& r) const {
    Rect a = standardized(), b = r.standardized();
    double x0 = std::max(a.minX(), b.minX()), y0 = std::max(a.minY(), b.minY());
    double x1 = std::min(a.maxX(), b.maxX()), y1 = std::min(a.maxY(), b.maxY());
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

inline Rect Rect::unionWith(const Rect& r) const {
    if (isEmpty()) return r.standardized();
    if (r.isEmpty()) return standardized();
    double x0 = std::min(minX(), r.minX()), y0 = std::min(minY(), r.minY());
    double x1 = std::max(maxX(), r.maxX()), y1 = std::max(maxY(), r.maxY());
    return {x0, y0, x1 - x0, y1 - y0};
}

inline Rect Rect::integral() const {
    Rect s = standardized();
    double x0 = std::floor(s.minX()), y0 = std::floor(s.minY());
    return {x0, y0, std::ceil(s.maxX()) - x0, std::ceil(s.maxY()) - y0};
}

}  // namespace platform::graphics
