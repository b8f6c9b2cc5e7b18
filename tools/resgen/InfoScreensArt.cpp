#include "tools/resgen/InfoScreensArt.h"

#include <cmath>
#include <string>

#include "tools/resgen/Canvas.h"

namespace resgen {

namespace {

constexpr int kLogoFrames = 30;

// A lightning bolt inside a ring; a bright arc runs once round the ring over
// the 30 frames, and the bolt glows brighter as the arc passes the top.
void logoFrame(cairo_t* cr, int frame) {
    const double c = 40, r = 32;
    const double phase = 2 * M_PI * frame / kLogoFrames;
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.35);
    cairo_set_line_width(cr, 6);
    cairo_arc(cr, c, c, r, 0, 2 * M_PI);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 1, 0.76, 0.16);
    cairo_arc(cr, c, c, r, phase - M_PI / 2, phase - M_PI / 2 + M_PI * 0.6);
    cairo_stroke(cr);
    const double glow = 0.75 + 0.25 * std::cos(phase);
    cairo_set_source_rgb(cr, glow, glow, glow);
    cairo_move_to(cr, 45, 14);
    cairo_line_to(cr, 27, 43);
    cairo_line_to(cr, 39, 43);
    cairo_line_to(cr, 34, 66);
    cairo_line_to(cr, 54, 35);
    cairo_line_to(cr, 42, 35);
    cairo_close_path(cr);
    cairo_fill(cr);
}

void lettering(cairo_t* cr, const char* text, double r, double g, double b) {
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 26);
    cairo_text_extents_t e;
    cairo_text_extents(cr, text, &e);
    cairo_set_source_rgb(cr, r, g, b);
    cairo_move_to(cr, (180 - e.width) / 2 - e.x_bearing, (40 - e.height) / 2 - e.y_bearing);
    cairo_show_text(cr, text);
}

// The brand's mark: a rounded square with its name beside it.
void brandLogo(cairo_t* cr) {
    cairo_set_source_rgb(cr, 0.47, 0.33, 0.28);
    roundedRect(cr, 2, 2, 36, 36, 8);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_arc(cr, 20, 20, 9, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_translate(cr, 30, 0);
    cairo_scale(cr, 150.0 / 180, 1);
    lettering(cr, "ulmarok", 0.47, 0.33, 0.28);
}

// The icon placeholder of a row whose icon has not come (yet).
void whiteCircle(cairo_t* cr) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_arc(cr, 28.5, 28.5, 26, 0, 2 * M_PI);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.8, 0.86, 0.9);
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
}

// The store badge on a loaded icon: a blue disc with a downward arrow.
void storeBadge(cairo_t* cr) {
    cairo_set_source_rgb(cr, 0.01, 0.47, 0.74);
    cairo_arc(cr, 10, 10, 9.5, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_set_line_width(cr, 2);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_move_to(cr, 10, 5);
    cairo_line_to(cr, 10, 14);
    cairo_move_to(cr, 6, 10.5);
    cairo_line_to(cr, 10, 14.5);
    cairo_line_to(cr, 14, 10.5);
    cairo_stroke(cr);
}

}  // namespace

void writeInfoScreensArt(const std::string& dir) {
    for (int i = 0; i < kLogoFrames; ++i)
        writePicture(dir, "logo" + std::to_string(i), 80, 80, [i](cairo_t* cr) { logoFrame(cr, i); });
    writePicture(dir, "logo_lettering", 180, 40, [](cairo_t* cr) { lettering(cr, "tarnowick", 1, 1, 1); });
    writePicture(dir, "ulmarok_logo", 180, 40, brandLogo);
    writePicture(dir, "whitecircle", 57, 57, whiteCircle);
    writePicture(dir, "more-apps-store", 20, 20, storeBadge);
}

}  // namespace resgen
