#include "tools/resgen/InfoArt.h"

#include <cmath>

#include "tools/resgen/Canvas.h"

namespace resgen {

namespace {

// Tab pictures are white: the tab bar itself wears the framework's tint.
void tint(cairo_t* cr, double alpha = 1.0) { cairo_set_source_rgba(cr, 1, 1, 1, alpha); }

// A speech bubble with three dots.
void feedback(cairo_t* cr) {
    tint(cr);
    roundedRect(cr, 2, 4, 26, 17, 5);
    cairo_fill(cr);
    cairo_move_to(cr, 8, 20);
    cairo_line_to(cr, 7, 27);
    cairo_line_to(cr, 15, 20);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);  // the dots are holes
    for (int i = 0; i < 3; ++i) {
        cairo_arc(cr, 9 + 6 * i, 12.5, 1.8, 0, 2 * M_PI);
        cairo_fill(cr);
    }
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
}

// Four rounded tiles.
void list(cairo_t* cr) {
    tint(cr);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) {
            roundedRect(cr, 3 + 13 * c, 3 + 13 * r, 11, 11, 3);
            cairo_fill(cr);
        }
}

// A circled "i".
void about(cairo_t* cr) {
    tint(cr);
    cairo_set_line_width(cr, 2.5);
    cairo_arc(cr, 15, 15, 11.5, 0, 2 * M_PI);
    cairo_stroke(cr);
    cairo_arc(cr, 15, 9, 2, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_rectangle(cr, 13.5, 13, 3, 10);
    cairo_fill(cr);
}

// A soft glow, brightest in the middle, fading out at the edge.
void shine(cairo_t* cr, double size) {
    const double c = size / 2;
    cairo_pattern_t* p = cairo_pattern_create_radial(c, c, 0, c, c, c);
    cairo_pattern_add_color_stop_rgba(p, 0.0, 1, 0.93, 0.45, 0.95);
    cairo_pattern_add_color_stop_rgba(p, 0.55, 1, 0.8, 0.2, 0.55);
    cairo_pattern_add_color_stop_rgba(p, 1.0, 1, 0.75, 0.1, 0.0);
    cairo_set_source(cr, p);
    cairo_arc(cr, c, c, c, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_pattern_destroy(p);
}

// A light bulb: a round glass over a small base.
void lamp(cairo_t* cr, double size) {
    const double s = size / 30;
    cairo_scale(cr, s, s);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_arc(cr, 15, 12, 7, M_PI * 0.8, M_PI * 2.2);
    cairo_line_to(cr, 18.5, 21);
    cairo_line_to(cr, 11.5, 21);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.35, 0.35, 0.35);
    cairo_rectangle(cr, 11.5, 22, 7, 2);
    cairo_rectangle(cr, 12, 25, 6, 2);
    cairo_fill(cr);
}

}  // namespace

void writeInfoArt(const std::string& dir) {
    writePicture(dir, "more-apps-feedback", 30, 30, feedback);
    writePicture(dir, "more-apps-list", 30, 30, list);
    writePicture(dir, "more-apps-about", 30, 30, about);
    writePicture(dir, "review_popup_shine", 44, 44, [](cairo_t* cr) { shine(cr, 44); });
    writePicture(dir, "review_popup_lamp", 44, 44, [](cairo_t* cr) { lamp(cr, 44); });
    // The idea mark is a 24-point picture (48 pixels in its @2x file).
    writePicture(dir, "appidea", 24, 24, [](cairo_t* cr) {
        shine(cr, 24);
        lamp(cr, 24);
    });
}

}  // namespace resgen
