#pragma once
// A text with attributes (font, foreground colour) over ranges of it, for
// labels and measuring. Ranges count bytes of the UTF-8 text; a later
// attribute over a range overrides an earlier one there.
#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics/Color.h"
#include "platform/graphics/Font.h"

namespace platform::graphics {

struct TextAttributes {
    std::optional<Font> font;
    std::optional<Color> foregroundColor;
};

class AttributedString {
public:
    struct Run {
        size_t location = 0, length = 0;
        TextAttributes attributes;
    };

    explicit AttributedString(std::string text = "") : string_(std::move(text)) {}
    const std::string& string() const { return string_; }
    size_t length() const { return string_.size(); }
    const std::vector<Run>& runs() const { return runs_; }

    // Ranges past the end are cut to it.
    void addAttributes(const TextAttributes& attributes, size_t location, size_t length) {
        if (location >= string_.size()) return;
        length = std::min(length, string_.size() - location);
        if (length) runs_.push_back({location, length, attributes});
    }
    // The attributes in effect at `index`.
    TextAttributes attributesAtIndex(size_t index) const {
        TextAttributes out;
        for (const Run& r : runs_)
            if (index >= r.location && index < r.location + r.length) {
                if (r.attributes.font) out.font = r.attributes.font;
                if (r.attributes.foregroundColor) out.foregroundColor = r.attributes.foregroundColor;
            }
        return out;
    }

private:
    std::string string_;
    std::vector<Run> runs_;
};

}  // namespace platform::graphics
