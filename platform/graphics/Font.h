#pragma once
// A font: a face (family, bold) and a size in points, laid out with Pango.
#include <limits>
#include <string>

#include "platform/graphics/Geometry.h"

namespace platform::graphics {

enum class TextAlignment { Left, Center, Right };
enum class LineBreakMode { WordWrap, CharWrap, Clip, TruncateHead, TruncateTail, TruncateMiddle };

class Font {
public:
    Font() = default;
    // A named face: "Helvetica-Bold" and other names with "Bold" are bold; every
    // face maps to the system's sans-serif family.
    Font(std::string name, double pointSize);

    static Font systemFont(double size);
    static Font boldSystemFont(double size);

    const std::string& fontName() const { return name_; }
    double pointSize() const { return size_; }
    bool isBold() const { return bold_; }
    Font withSize(double size) const;  // same face, another size

    // Vertical metrics in points.
    double ascender() const;
    double descender() const;  // positive, below the baseline
    double lineHeight() const;

    // The size text takes when laid out no wider than `maxWidth` (no limit by
    // default), on at most `lines` lines (0: no limit). Widths and heights are
    // rounded up to whole points.
    Size sizeOfText(const std::string& text, double maxWidth = std::numeric_limits<double>::infinity(), int lines = 1,
                    LineBreakMode mode = LineBreakMode::WordWrap) const;

    // Editing geometry for `text` laid out as drawText lays it out at `width`
    // (infinite: one unwrapped line), relative to the text's origin: the
    // caret's rectangle (zero width) before byte `index`, and the byte index of
    // the character boundary nearest to `p`.
    Rect caretRect(const std::string& text, size_t index, double width = std::numeric_limits<double>::infinity(),
                   TextAlignment alignment = TextAlignment::Left) const;
    size_t indexAtPoint(const std::string& text, Point p, double width = std::numeric_limits<double>::infinity(),
                        TextAlignment alignment = TextAlignment::Left) const;

    bool operator==(const Font&) const = default;

private:
    std::string name_ = "System";
    double size_ = 17;
    bool bold_ = false;
};

}  // namespace platform::graphics
