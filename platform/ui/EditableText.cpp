#include "platform/ui/EditableText.h"

#include <glib.h>

#include <algorithm>

namespace platform::ui {

std::string EditableText::sanitized(const std::string& s) {
    if (g_utf8_validate(s.data(), gssize(s.size()), nullptr)) return s;
    gchar* valid = g_utf8_make_valid(s.data(), gssize(s.size()));
    std::string out(valid);
    g_free(valid);
    return out;
}

void EditableText::setText(const std::string& text) {
    text_ = sanitized(text);
    caret_ = text_.size();
}

size_t EditableText::previousBoundary(size_t index) const {
    if (index == 0) return 0;
    index = std::min(index, text_.size());
    const char* p = g_utf8_find_prev_char(text_.data(), text_.data() + index);
    return p ? size_t(p - text_.data()) : 0;
}

size_t EditableText::nextBoundary(size_t index) const {
    if (index >= text_.size()) return text_.size();
    return std::min(text_.size(), size_t(g_utf8_next_char(text_.data() + index) - text_.data()));
}

void EditableText::setCaret(size_t index) {
    index = std::min(index, text_.size());
    // A continuation byte is no boundary: back up to its character's start.
    while (index > 0 && index < text_.size() && (static_cast<unsigned char>(text_[index]) & 0xC0) == 0x80) --index;
    caret_ = index;
}

std::optional<TextRange> EditableText::backwardDeletionRange() const {
    if (caret_ == 0) return std::nullopt;
    size_t from = previousBoundary(caret_);
    return TextRange{from, caret_ - from};
}

std::optional<TextRange> EditableText::forwardDeletionRange() const {
    if (caret_ >= text_.size()) return std::nullopt;
    return TextRange{caret_, nextBoundary(caret_) - caret_};
}

void EditableText::replace(TextRange range, const std::string& replacement) {
    range.location = std::min(range.location, text_.size());
    range.length = std::min(range.length, text_.size() - range.location);
    const std::string clean = sanitized(replacement);
    text_.replace(range.location, range.length, clean);
    caret_ = range.location + clean.size();
}

void EditableText::moveLeft() { caret_ = previousBoundary(caret_); }
void EditableText::moveRight() { caret_ = nextBoundary(caret_); }

void EditableText::moveToLineStart() {
    size_t nl = caret_ == 0 ? std::string::npos : text_.rfind('\n', caret_ - 1);
    caret_ = nl == std::string::npos ? 0 : nl + 1;
}

void EditableText::moveToLineEnd() {
    size_t nl = text_.find('\n', caret_);
    caret_ = nl == std::string::npos ? text_.size() : nl;
}

}  // namespace platform::ui
