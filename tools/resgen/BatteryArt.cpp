#include "tools/resgen/BatteryArt.h"

#include <cmath>

#include "tools/resgen/Canvas.h"

namespace resgen {

namespace {

double sq(double v) { return v * v; }

// Across the liquid: darker at the walls, brightest a little left of the
// middle, so the multiplied colour reads as a lit cylinder.
double liquidGrey(double u) {
    const double body = 0.58 + 0.34 * std::pow(std::sin(M_PI * u), 0.6);
    const double gleam = 0.10 * std::exp(-sq((u - 0.3) / 0.07));
    return std::min(1.0, body + gleam);
}

// The liquid's upper surface, seen a little from above: lighter than its side.
double surfaceGrey(double u) { return 0.82 + 0.16 * std::pow(std::sin(M_PI * u), 0.5); }

void fillLiquid(cairo_t* cr, const BatteryGeometry& g, const std::function<double(double)>& grey) {
    cairo_pattern_t* p = greyRamp(g.inset(), g.width - g.inset(), grey);
    cairo_set_source(cr, p);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(p);
}

void drawFillMiddle(cairo_t* cr, const BatteryGeometry& g) {
    cairo_rectangle(cr, g.inset(), 0, g.width - 2 * g.inset(), BatteryGeometry::kMiddleStrip);
    fillLiquid(cr, g, liquidGrey);
    cairo_new_path(cr);
}

void drawFillBottom(cairo_t* cr, const BatteryGeometry& g) {
    const double lw = g.width - 2 * g.inset();
    const double r = g.cap * 0.85;
    cairo_rectangle(cr, 0, 0, g.width, g.cap);
    cairo_clip(cr);
    roundedRect(cr, g.inset(), -r, lw, g.cap + r, r);
    fillLiquid(cr, g, liquidGrey);
    cairo_new_path(cr);
    // A little deeper towards the bottom; ATOP keeps the shape and the greys grey.
    cairo_pattern_t* shade = cairo_pattern_create_linear(0, 0, 0, g.cap);
    cairo_pattern_add_color_stop_rgba(shade, 0.0, 0, 0, 0, 0.0);
    cairo_pattern_add_color_stop_rgba(shade, 1.0, 0, 0, 0, 0.16);
    cairo_set_operator(cr, CAIRO_OPERATOR_ATOP);
    cairo_set_source(cr, shade);
    cairo_paint(cr);
    cairo_pattern_destroy(shade);
}

void ellipsePath(cairo_t* cr, double cx, double cy, double rx, double ry) {
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_scale(cr, rx, ry);
    cairo_new_sub_path(cr);
    cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
    cairo_restore(cr);
}

void drawFillTop(cairo_t* cr, const BatteryGeometry& g) {
    const double lw = g.width - 2 * g.inset();
    const double cx = g.width / 2, cy = g.cap / 2;
    const double rx = lw / 2, ry = g.cap / 2 - 0.5;
    // The side of the column up to the surface's middle line.
    cairo_rectangle(cr, g.inset(), cy, lw, g.cap - cy);
    ellipsePath(cr, cx, cy, rx, ry);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
    fillLiquid(cr, g, liquidGrey);
    cairo_new_path(cr);
    // The surface, with a rim where it meets the front wall.
    ellipsePath(cr, cx, cy, rx - 1.0, ry - 1.0);
    fillLiquid(cr, g, surfaceGrey);
    cairo_new_path(cr);
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_scale(cr, rx - 1.0, ry - 1.0);
    cairo_arc(cr, 0, 0, 1, 0.08 * M_PI, 0.92 * M_PI);
    cairo_restore(cr);
    cairo_set_source_rgba(cr, 0.62, 0.62, 0.62, 1.0);
    cairo_set_line_width(cr, std::max(1.0, g.cap * 0.08));
    cairo_stroke(cr);
    // A soft light on the surface.
    cairo_pattern_t* glow =
        cairo_pattern_create_radial(cx - rx * 0.3, cy - ry * 0.2, 0, cx - rx * 0.3, cy - ry * 0.2, rx * 0.55);
    cairo_pattern_add_color_stop_rgba(glow, 0.0, 1, 1, 1, 0.55);
    cairo_pattern_add_color_stop_rgba(glow, 1.0, 1, 1, 1, 0.0);
    ellipsePath(cr, cx, cy, rx - 1.5, ry - 1.5);
    cairo_set_source(cr, glow);
    cairo_fill(cr);
    cairo_pattern_destroy(glow);
}

struct Body {
    double left, top, right, bottom, radius;
};

Body bodyOf(const BatteryGeometry& g) {
    const double wall = g.width * 0.015;
    return {wall, g.cap * 0.65, g.width - wall, g.natural() + g.cap * 0.4, g.cap * 1.3};
}

double backHeight(const BatteryGeometry& g) { return std::round(g.natural() * 1.17); }

void drawBackShade(cairo_t* cr, const BatteryGeometry& g) {
    const Body b = bodyOf(g);
    const double bw = b.right - b.left, bh = b.bottom - b.top;
    // Light on the floor under the battery.
    const double floorY = b.bottom + (backHeight(g) - b.bottom) * 0.45;
    cairo_save(cr);
    cairo_translate(cr, g.width / 2, floorY);
    cairo_scale(cr, g.width * 0.48, g.cap * 0.55);
    cairo_pattern_t* floor = cairo_pattern_create_radial(0, 0, 0, 0, 0, 1);
    cairo_pattern_add_color_stop_rgba(floor, 0.0, 1, 1, 1, 0.22);
    cairo_pattern_add_color_stop_rgba(floor, 1.0, 1, 1, 1, 0.0);
    cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
    cairo_set_source(cr, floor);
    cairo_fill(cr);
    cairo_pattern_destroy(floor);
    cairo_restore(cr);

    // The terminal.
    const double nubW = g.width * 0.3;
    roundedRect(cr, (g.width - nubW) / 2, g.cap * 0.05, nubW, b.top + 3 - g.cap * 0.05, g.cap * 0.22);
    cairo_pattern_t* nub = cairo_pattern_create_linear((g.width - nubW) / 2, 0, (g.width + nubW) / 2, 0);
    cairo_pattern_add_color_stop_rgba(nub, 0.0, 0.75, 0.75, 0.78, 0.65);
    cairo_pattern_add_color_stop_rgba(nub, 0.35, 0.97, 0.97, 0.98, 0.85);
    cairo_pattern_add_color_stop_rgba(nub, 1.0, 0.70, 0.70, 0.72, 0.65);
    cairo_set_source(cr, nub);
    cairo_fill(cr);
    cairo_pattern_destroy(nub);

    // The glass: faintly lit inside, darker at the walls.
    roundedRect(cr, b.left, b.top, bw, bh, b.radius);
    cairo_pattern_t* glass = cairo_pattern_create_linear(0, b.top, 0, b.bottom);
    cairo_pattern_add_color_stop_rgba(glass, 0.0, 1, 1, 1, 0.16);
    cairo_pattern_add_color_stop_rgba(glass, 1.0, 1, 1, 1, 0.07);
    cairo_set_source(cr, glass);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(glass);
    cairo_pattern_t* walls = cairo_pattern_create_linear(b.left, 0, b.right, 0);
    cairo_pattern_add_color_stop_rgba(walls, 0.0, 0, 0, 0, 0.28);
    cairo_pattern_add_color_stop_rgba(walls, 0.18, 0, 0, 0, 0.0);
    cairo_pattern_add_color_stop_rgba(walls, 0.82, 0, 0, 0, 0.0);
    cairo_pattern_add_color_stop_rgba(walls, 1.0, 0, 0, 0, 0.32);
    cairo_set_source(cr, walls);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(walls);
    const double stroke = g.cap * 0.17;
    cairo_new_path(cr);
    roundedRect(cr, b.left + stroke / 2, b.top + stroke / 2, bw - stroke, bh - stroke, b.radius - stroke / 2);
    cairo_set_source_rgba(cr, 0.92, 0.93, 0.95, 0.75);
    cairo_set_line_width(cr, stroke);
    cairo_stroke(cr);
    const double lip = stroke + 1.5;
    roundedRect(cr, b.left + lip, b.top + lip, bw - 2 * lip, bh - 2 * lip, b.radius - lip);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.14);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
}

void drawShine(cairo_t* cr, const BatteryGeometry& g) {
    const Body b = bodyOf(g);
    const double bw = b.right - b.left;
    auto stripe = [&](double x0, double x1, double alpha) {
        const double w = x1 - x0;
        roundedRect(cr, x0, b.top + g.cap * 0.9, w, g.natural() - b.top - g.cap * 1.4, w / 2);
        cairo_pattern_t* p = cairo_pattern_create_linear(x0, 0, x1, 0);
        cairo_pattern_add_color_stop_rgba(p, 0.0, 1, 1, 1, 0.0);
        cairo_pattern_add_color_stop_rgba(p, 0.4, 1, 1, 1, alpha);
        cairo_pattern_add_color_stop_rgba(p, 1.0, 1, 1, 1, alpha * 0.1);
        cairo_set_source(cr, p);
        cairo_fill(cr);
        cairo_pattern_destroy(p);
    };
    stripe(b.left + bw * 0.08, b.left + bw * 0.21, 0.6);
    stripe(b.left + bw * 0.80, b.left + bw * 0.86, 0.22);
    // Light caught by the top edge of the glass.
    const double r = b.radius, y = b.top + 1.2;
    cairo_arc(cr, b.left + r + 0.8, y + r, r, 1.15 * M_PI, 1.5 * M_PI);
    cairo_arc(cr, b.right - r - 0.8, y + r, r, 1.5 * M_PI, 1.85 * M_PI);
    cairo_pattern_t* rim = cairo_pattern_create_linear(b.left, 0, b.right, 0);
    cairo_pattern_add_color_stop_rgba(rim, 0.0, 1, 1, 1, 0.1);
    cairo_pattern_add_color_stop_rgba(rim, 0.3, 1, 1, 1, 0.85);
    cairo_pattern_add_color_stop_rgba(rim, 1.0, 1, 1, 1, 0.15);
    cairo_set_source(cr, rim);
    cairo_set_line_width(cr, 1.2);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_stroke(cr);
    cairo_pattern_destroy(rim);
}

}  // namespace

void writeBatteryParts(const std::string& dir, const BatteryGeometry& g, const std::string& suffix) {
    writePicture(dir, "new-filltop" + suffix, g.width, g.cap, [&](cairo_t* cr) { drawFillTop(cr, g); });
    writePicture(dir, "new-fillmiddle" + suffix, g.width, BatteryGeometry::kMiddleStrip,
                 [&](cairo_t* cr) { drawFillMiddle(cr, g); });
    writePicture(dir, "new-fillbottom" + suffix, g.width, g.cap, [&](cairo_t* cr) { drawFillBottom(cr, g); });
    writePicture(dir, "backshade" + suffix, g.width, backHeight(g), [&](cairo_t* cr) { drawBackShade(cr, g); });
    writePicture(dir, "top" + suffix, g.width, g.natural(), [&](cairo_t* cr) { drawShine(cr, g); });
}

void writeChargingMark(const std::string& dir) {
    writePicture(dir, "charging", 30, 46, [](cairo_t* cr) {
        auto bolt = [&](double dx, double dy) {
            const double pts[][2] = {{19, 2}, {5, 26}, {14, 26}, {10, 44}, {26, 17}, {16.5, 17}, {23, 2}};
            cairo_move_to(cr, pts[0][0] + dx, pts[0][1] + dy);
            for (const auto& p : pts) cairo_line_to(cr, p[0] + dx, p[1] + dy);
            cairo_close_path(cr);
        };
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        bolt(0, 1.2);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.3);
        cairo_set_line_width(cr, 2.0);
        cairo_stroke_preserve(cr);
        cairo_fill(cr);
        bolt(0, 0);
        cairo_pattern_t* p = cairo_pattern_create_linear(0, 2, 0, 44);
        cairo_pattern_add_color_stop_rgb(p, 0.0, 1.0, 1.0, 1.0);
        cairo_pattern_add_color_stop_rgb(p, 1.0, 0.86, 0.88, 0.9);
        cairo_set_source(cr, p);
        cairo_fill_preserve(cr);
        cairo_pattern_destroy(p);
        cairo_set_source_rgba(cr, 0.35, 0.35, 0.38, 0.6);
        cairo_set_line_width(cr, 0.8);
        cairo_stroke(cr);
    });
}

void writeBubble(const std::string& dir) {
    writePicture(dir, "bubble", 24, 24, [](cairo_t* cr) {
        const double c = 12, r = 11;
        cairo_pattern_t* body = cairo_pattern_create_radial(c, c, 0, c, c, r);
        cairo_pattern_add_color_stop_rgba(body, 0.0, 1, 1, 1, 0.04);
        cairo_pattern_add_color_stop_rgba(body, 0.75, 1, 1, 1, 0.12);
        cairo_pattern_add_color_stop_rgba(body, 1.0, 1, 1, 1, 0.4);
        cairo_arc(cr, c, c, r, 0, 2 * M_PI);
        cairo_set_source(cr, body);
        cairo_fill_preserve(cr);
        cairo_pattern_destroy(body);
        cairo_set_source_rgba(cr, 1, 1, 1, 0.75);
        cairo_set_line_width(cr, 1.1);
        cairo_stroke(cr);
        cairo_save(cr);
        cairo_translate(cr, 8, 7.5);
        cairo_rotate(cr, -0.6);
        cairo_scale(cr, 3.6, 2.0);
        cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
        cairo_restore(cr);
        cairo_set_source_rgba(cr, 1, 1, 1, 0.9);
        cairo_fill(cr);
    });
}

}  // namespace resgen
