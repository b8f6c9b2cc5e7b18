#include "tools/resgen/Canvas.h"

#include <cmath>
#include <stdexcept>

namespace resgen {

namespace {

void writeAtScale(const std::string& path, double width, double height, double scale, const DrawFn& draw) {
    const int pw = static_cast<int>(std::lround(width * scale));
    const int ph = static_cast<int>(std::lround(height * scale));
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pw, ph);
    cairo_t* cr = cairo_create(surface);
    cairo_scale(cr, scale, scale);
    draw(cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    const cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        throw std::runtime_error("cannot write " + path + ": " + cairo_status_to_string(status));
}

}  // namespace

void writePicture(const std::string& dir, const std::string& name, double width, double height, const DrawFn& draw) {
    writeAtScale(dir + "/" + name + ".png", width, height, 1.0, draw);
    writeAtScale(dir + "/" + name + "@2x.png", width, height, 2.0, draw);
}

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    r = std::min(r, std::min(w, h) / 2);
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

cairo_pattern_t* greyRamp(double x0, double x1, const std::function<double(double)>& grey) {
    cairo_pattern_t* p = cairo_pattern_create_linear(x0, 0, x1, 0);
    constexpr int kStops = 48;
    for (int i = 0; i <= kStops; ++i) {
        const double u = static_cast<double>(i) / kStops;
        const double g = grey(u);
        cairo_pattern_add_color_stop_rgba(p, u, g, g, g, 1.0);
    }
    return p;
}

}  // namespace resgen
