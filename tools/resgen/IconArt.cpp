#include "tools/resgen/IconArt.h"

#include <cmath>

#include "tools/resgen/Canvas.h"

namespace resgen {

namespace {

constexpr double kIcon = 30.0;   // row icons and buttons, points square
constexpr double kStroke = 1.8;  // one stroke width for every line icon

void lineStyle(cairo_t* cr, double grey, double alpha) {
    cairo_set_source_rgba(cr, grey, grey, grey, alpha);
    cairo_set_line_width(cr, kStroke);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
}

void rowStyle(cairo_t* cr) { lineStyle(cr, 1.0, 1.0); }

void ellipse(cairo_t* cr, double cx, double cy, double rx, double ry, double angle = 0) {
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_rotate(cr, angle);
    cairo_scale(cr, rx, ry);
    cairo_new_sub_path(cr);
    cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
    cairo_restore(cr);
}

void line(cairo_t* cr, double x0, double y0, double x1, double y1) {
    cairo_move_to(cr, x0, y0);
    cairo_line_to(cr, x1, y1);
}

void music(cairo_t* cr) {
    rowStyle(cr);
    ellipse(cr, 9.5, 22.5, 4.2, 3.0, -0.4);
    ellipse(cr, 21.5, 19.5, 4.2, 3.0, -0.4);
    cairo_fill(cr);
    line(cr, 13.2, 21.6, 13.2, 8.0);
    line(cr, 25.2, 18.6, 25.2, 5.0);
    cairo_stroke(cr);
    cairo_move_to(cr, 13.2, 7.0);
    cairo_line_to(cr, 25.2, 4.0);
    cairo_line_to(cr, 25.2, 7.6);
    cairo_line_to(cr, 13.2, 10.6);
    cairo_close_path(cr);
    cairo_fill(cr);
}

void web(cairo_t* cr) {
    rowStyle(cr);
    const double c = 15, r = 11.5;
    cairo_arc(cr, c, c, r, 0, 2 * M_PI);
    cairo_stroke(cr);
    ellipse(cr, c, c, 5.0, r);
    cairo_stroke(cr);
    line(cr, c - r, c, c + r, c);
    const double dy = r * 0.5, half = std::sqrt(r * r - dy * dy) - 0.6;
    line(cr, c - half, c - dy, c + half, c - dy);
    line(cr, c - half, c + dy, c + half, c + dy);
    cairo_stroke(cr);
}

void video(cairo_t* cr) {
    rowStyle(cr);
    roundedRect(cr, 3.5, 6.5, 23, 16, 3);
    cairo_stroke(cr);
    cairo_move_to(cr, 12.5, 10.5);
    cairo_line_to(cr, 19.5, 14.5);
    cairo_line_to(cr, 12.5, 18.5);
    cairo_close_path(cr);
    cairo_fill_preserve(cr);
    cairo_stroke(cr);
    line(cr, 10.5, 26.5, 19.5, 26.5);
    cairo_stroke(cr);
}

void talk(cairo_t* cr) {
    rowStyle(cr);
    // A handset: the handle bows towards the lower left, ear and mouth pads
    // turn in towards the face.
    cairo_set_line_width(cr, 4.2);
    cairo_arc_negative(cr, 23.5, 6.5, 16.0, M_PI, M_PI / 2);
    cairo_stroke(cr);
    cairo_set_line_width(cr, 6.4);
    line(cr, 7.3, 5.2, 11.0, 4.4);
    line(cr, 24.8, 22.7, 25.6, 19.0);
    cairo_stroke(cr);
}

void chargeTime(cairo_t* cr) {
    rowStyle(cr);
    roundedRect(cr, 2.5, 8.5, 21.5, 13, 2.5);
    cairo_stroke(cr);
    roundedRect(cr, 24.5, 12.3, 3.2, 5.4, 1.2);
    cairo_fill(cr);
    cairo_move_to(cr, 14.8, 10.0);
    cairo_line_to(cr, 8.6, 15.8);
    cairo_line_to(cr, 12.8, 15.8);
    cairo_line_to(cr, 11.2, 20.0);
    cairo_line_to(cr, 17.6, 14.0);
    cairo_line_to(cr, 13.4, 14.0);
    cairo_close_path(cr);
    cairo_set_line_width(cr, 0.8);
    cairo_fill_preserve(cr);
    cairo_stroke(cr);
}

void photo(cairo_t* cr) {
    rowStyle(cr);
    cairo_move_to(cr, 10.0, 9.0);
    cairo_line_to(cr, 12.0, 5.5);
    cairo_line_to(cr, 18.0, 5.5);
    cairo_line_to(cr, 20.0, 9.0);
    roundedRect(cr, 3.0, 9.0, 24.0, 16.0, 3.0);
    cairo_stroke(cr);
    cairo_arc(cr, 15, 17, 5.0, 0, 2 * M_PI);
    cairo_stroke(cr);
    cairo_arc(cr, 22.8, 12.6, 1.2, 0, 2 * M_PI);
    cairo_fill(cr);
}

void flashlight(cairo_t* cr) {
    rowStyle(cr);
    cairo_move_to(cr, 8.5, 11.0);
    cairo_line_to(cr, 21.5, 11.0);
    cairo_line_to(cr, 18.5, 16.5);
    cairo_line_to(cr, 18.5, 27.0);
    cairo_line_to(cr, 11.5, 27.0);
    cairo_line_to(cr, 11.5, 16.5);
    cairo_close_path(cr);
    cairo_stroke(cr);
    line(cr, 15, 19.5, 15, 22.0);
    line(cr, 15, 2.5, 15, 6.5);
    line(cr, 7.0, 4.5, 9.5, 7.5);
    line(cr, 23.0, 4.5, 20.5, 7.5);
    cairo_stroke(cr);
}

void gear(cairo_t* cr) {
    const double c = 15, outer = 12.5, inner = 9.8, hole = 4.0;
    constexpr int kTeeth = 8;
    for (int i = 0; i < kTeeth * 4; ++i) {
        const double a = (i - 0.5) * 2 * M_PI / (kTeeth * 4);
        // Each tooth: rise, top, fall, valley.
        const double r = (i % 4 == 1 || i % 4 == 2) ? outer : inner;
        const double x = c + r * std::cos(a), y = c + r * std::sin(a);
        if (i == 0)
            cairo_move_to(cr, x, y);
        else
            cairo_line_to(cr, x, y);
    }
    cairo_close_path(cr);
    cairo_new_sub_path(cr);
    cairo_arc_negative(cr, c, c, hole, 2 * M_PI, 0);
    cairo_set_source_rgba(cr, 0.78, 0.79, 0.81, 1.0);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_width(cr, 1.0);
    cairo_fill_preserve(cr);
    cairo_stroke(cr);
}

void info(cairo_t* cr) {
    lineStyle(cr, 0.78, 1.0);
    cairo_set_source_rgba(cr, 0.78, 0.79, 0.81, 1.0);
    cairo_arc(cr, 15, 15, 12.0, 0, 2 * M_PI);
    cairo_stroke(cr);
    cairo_arc(cr, 15, 9.3, 1.7, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_set_line_width(cr, 2.6);
    line(cr, 15, 13.8, 15, 21.5);
    cairo_stroke(cr);
}

// Hue in [0, 1) to fully saturated RGB.
void hueToRgb(double h, double rgb[3]) {
    for (int i = 0; i < 3; ++i) {
        const double k = std::fmod(h * 6.0 + (i == 0 ? 5.0 : i == 1 ? 3.0 : 1.0), 6.0);
        rgb[i] = 1.0 - std::clamp(std::min(k, 4.0 - k), 0.0, 1.0);
    }
}

}  // namespace

void writeRowIcons(const std::string& dir) {
    // Drawn opaque and laid down at once, so crossing strokes do not add up.
    auto icon = [&](const std::string& name, void (*draw)(cairo_t*)) {
        writePicture(dir, name, kIcon, kIcon, [draw](cairo_t* cr) {
            cairo_push_group(cr);
            draw(cr);
            cairo_pop_group_to_source(cr);
            cairo_paint_with_alpha(cr, 0.92);
        });
    };
    icon("icon_music", music);
    icon("icon_web", web);
    icon("icon_video", video);
    icon("icon_talk", talk);
    icon("icon_chargetime", chargeTime);
    icon("icon_photo", photo);
    icon("icon_flashlight", flashlight);
}

void writeButtons(const std::string& dir) {
    writePicture(dir, "settingsgray", kIcon, kIcon, gear);
    writePicture(dir, "moreappsgray", kIcon, kIcon, info);
}

void writeColorSpectrum(const std::string& frameworkDir) {
    // Hue runs left to right; the top band fades to white, the bottom band
    // darkens, but never to black: a black pixel would pick nothing.
    constexpr double kW = 220, kH = 150;
    writePicture(frameworkDir, "colors", kW, kH, [](cairo_t* cr) {
        cairo_pattern_t* hue = cairo_pattern_create_linear(0, 0, kW, 0);
        constexpr int kStops = 36;
        for (int i = 0; i <= kStops; ++i) {
            double rgb[3];
            hueToRgb(static_cast<double>(i % kStops) / kStops, rgb);
            cairo_pattern_add_color_stop_rgb(hue, static_cast<double>(i) / kStops, rgb[0], rgb[1], rgb[2]);
        }
        roundedRect(cr, 0, 0, kW, kH, 6);
        cairo_clip(cr);
        cairo_set_source(cr, hue);
        cairo_paint(cr);
        cairo_pattern_destroy(hue);
        cairo_pattern_t* light = cairo_pattern_create_linear(0, 0, 0, kH);
        cairo_pattern_add_color_stop_rgba(light, 0.0, 1, 1, 1, 0.85);
        cairo_pattern_add_color_stop_rgba(light, 0.4, 1, 1, 1, 0.0);
        cairo_pattern_add_color_stop_rgba(light, 0.6, 0, 0, 0, 0.0);
        cairo_pattern_add_color_stop_rgba(light, 1.0, 0, 0, 0, 0.7);
        cairo_set_source(cr, light);
        cairo_paint(cr);
        cairo_pattern_destroy(light);
    });
}

void writePickerMarkers(const std::string& frameworkDir) {
    // The picker samples the colour 52 x 22 points up and left of the touch
    // and hangs the marker from the touch by its bottom-right corner, so the
    // marker is that size and points with its top-left corner.
    constexpr double kW = 52, kH = 22;
    auto marker = [](bool touching) {
        return [touching](cairo_t* cr) {
            const double pts[][2] = {{0.8, 0.8},   {0.8, 17.5}, {5.0, 13.6}, {8.2, 20.6},
                                     {11.4, 19.2}, {8.3, 12.3}, {14.0, 12.3}};
            cairo_move_to(cr, pts[0][0], pts[0][1]);
            for (const auto& p : pts) cairo_line_to(cr, p[0], p[1]);
            cairo_close_path(cr);
            cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
            cairo_set_source_rgba(cr, 1, 1, 1, touching ? 1.0 : 0.8);
            cairo_fill_preserve(cr);
            cairo_set_source_rgba(cr, 0.1, 0.1, 0.12, touching ? 0.9 : 0.6);
            cairo_set_line_width(cr, 1.2);
            cairo_stroke(cr);
        };
    };
    writePicture(frameworkDir, "selector", kW, kH, marker(true));
    writePicture(frameworkDir, "selector-off", kW, kH, marker(false));
}

void writeAppIcon(const std::string& dir) {
    auto draw = [](double size) {
        return [size](cairo_t* cr) {
            const double k = size / 100.0;  // drawn on a 100-unit grid
            cairo_scale(cr, k, k);
            roundedRect(cr, 0, 0, 100, 100, 18);
            cairo_pattern_t* bg = cairo_pattern_create_linear(0, 0, 0, 100);
            cairo_pattern_add_color_stop_rgb(bg, 0.0, 0.19, 0.23, 0.29);
            cairo_pattern_add_color_stop_rgb(bg, 1.0, 0.04, 0.05, 0.07);
            cairo_set_source(cr, bg);
            cairo_fill(cr);
            cairo_pattern_destroy(bg);
            // An upright battery, three quarters full of green.
            roundedRect(cr, 43, 12, 14, 8, 2);
            cairo_set_source_rgb(cr, 0.85, 0.87, 0.9);
            cairo_fill(cr);
            roundedRect(cr, 31, 20, 38, 68, 8);
            cairo_set_source_rgba(cr, 1, 1, 1, 0.1);
            cairo_fill_preserve(cr);
            cairo_set_source_rgb(cr, 0.88, 0.9, 0.93);
            cairo_set_line_width(cr, 3.2);
            cairo_stroke(cr);
            roundedRect(cr, 36, 38, 28, 45, 4.5);
            cairo_pattern_t* fill = cairo_pattern_create_linear(36, 0, 64, 0);
            cairo_pattern_add_color_stop_rgb(fill, 0.0, 0.0, 0.5, 0.08);
            cairo_pattern_add_color_stop_rgb(fill, 0.3, 0.35, 0.95, 0.35);
            cairo_pattern_add_color_stop_rgb(fill, 1.0, 0.0, 0.55, 0.1);
            cairo_set_source(cr, fill);
            cairo_fill(cr);
            cairo_pattern_destroy(fill);
            cairo_move_to(cr, 53, 43);
            cairo_line_to(cr, 42, 62);
            cairo_line_to(cr, 49.5, 62);
            cairo_line_to(cr, 46.5, 78);
            cairo_line_to(cr, 58.5, 56);
            cairo_line_to(cr, 51, 56);
            cairo_line_to(cr, 56, 43);
            cairo_close_path(cr);
            cairo_set_source_rgb(cr, 1, 1, 1);
            cairo_fill(cr);
            // The gloss of an application icon.
            cairo_rectangle(cr, 0, 0, 100, 50);
            cairo_clip(cr);
            roundedRect(cr, 0, 0, 100, 100, 18);
            cairo_pattern_t* gloss = cairo_pattern_create_linear(0, 0, 0, 50);
            cairo_pattern_add_color_stop_rgba(gloss, 0.0, 1, 1, 1, 0.16);
            cairo_pattern_add_color_stop_rgba(gloss, 1.0, 1, 1, 1, 0.02);
            cairo_set_source(cr, gloss);
            cairo_fill(cr);
            cairo_pattern_destroy(gloss);
        };
    };
    writePicture(dir, "Icon", 57, 57, draw(57));
    writePicture(dir, "Icon-ipad", 72, 72, draw(72));
}

}  // namespace resgen
