#pragma once
// Small drawing helpers shared by the pictures: every picture is drawn once in
// points and written at each pixel scale the bundle carries.
#include <cairo.h>

#include <functional>
#include <string>

namespace resgen {

using DrawFn = std::function<void(cairo_t*)>;

// Draws a width x height point picture at scale 1 and 2 into
// `dir`/`name`.png and `dir`/`name`@2x.png. Throws on a write failure.
void writePicture(const std::string& dir, const std::string& name, double width, double height, const DrawFn& draw);

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r);

// A horizontal gradient of greys sampled from `grey(u)` for u in [0, 1],
// running from x0 to x1, opaque.
cairo_pattern_t* greyRamp(double x0, double x1, const std::function<double(double)>& grey);

}  // namespace resgen
