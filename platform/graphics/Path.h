#pragma once
// A path of lines, curves, rectangles and ellipses, in user-space points.
#include <vector>

#include "platform/graphics/AffineTransform.h"
#include "platform/graphics/Geometry.h"

namespace platform::graphics {

class Path {
public:
    enum class Op { Move, Line, Curve, Close };
    struct Element {
        Op op;
        Point p[3];
    };

    void moveTo(Point p);
    void lineTo(Point p);
    void curveTo(Point c1, Point c2, Point end);
    void closeSubpath();
    void addRect(const Rect& r);
    void addEllipseInRect(const Rect& r);
    void addRoundedRect(const Rect& r, double radius);
    void addArc(Point center, double radius, double startAngle, double endAngle, bool clockwise);
    void addLines(const std::vector<Point>& points);  // a polygon outline, not closed

    static Path rect(const Rect& r);
    static Path ellipse(const Rect& r);
    static Path roundedRect(const Rect& r, double radius);

    bool isEmpty() const { return elements_.empty(); }
    const std::vector<Element>& elements() const { return elements_; }
    Rect boundingBox() const;  // of the points, control points included
    Path transformed(const AffineTransform& t) const;

private:
    std::vector<Element> elements_;
};

}  // namespace platform::graphics
