#pragma once
// Pango layouts shared by text measuring (Font) and drawing (Context), so a
// text is drawn exactly where its measured size says.
#include <string>

#include "platform/graphics/Font.h"

typedef struct _cairo cairo_t;
typedef struct _PangoLayout PangoLayout;

namespace platform::graphics::text {

// A layout of `text` for `cr` (null: a measuring context of this thread),
// wrapped at `width` points (infinite: no wrapping), at most `lines` lines
// (0: any). Release with g_object_unref.
PangoLayout* makeLayout(cairo_t* cr, const std::string& text, const Font& font, double width, int lines,
                        LineBreakMode mode, TextAlignment alignment);
// The size of the first `lines` lines (0: all), in points, not rounded.
Size layoutSize(PangoLayout* layout, int lines);

}  // namespace platform::graphics::text
