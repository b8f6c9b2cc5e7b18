#pragma once
// The text being edited in a text field or text view and its caret. The
// caret and ranges count UTF-8 bytes and always sit on character boundaries,
// so composed and non-ASCII characters are inserted, stepped over and
// deleted whole.
#include <cstddef>
#include <optional>
#include <string>

namespace platform::ui {

struct TextRange {
    size_t location = 0;
    size_t length = 0;
    bool operator==(const TextRange&) const = default;
};

class EditableText {
public:
    const std::string& text() const { return text_; }
    // Replaces the text (invalid UTF-8 replaced by U+FFFD); the caret goes to the end.
    void setText(const std::string& text);
    size_t caret() const { return caret_; }
    // Moves the caret to the boundary at or before `index`.
    void setCaret(size_t index);

    // What an edit would replace, without doing it: the caller asks its
    // delegate first. Empty when there is nothing to delete.
    TextRange insertionRange() const { return {caret_, 0}; }
    std::optional<TextRange> backwardDeletionRange() const;
    std::optional<TextRange> forwardDeletionRange() const;
    // Replaces `range` with `replacement`; the caret goes after it.
    void replace(TextRange range, const std::string& replacement);

    void moveLeft();
    void moveRight();
    // The start and end of the caret's line ("\n"-separated).
    void moveToLineStart();
    void moveToLineEnd();

    // The boundary before / after byte `index`.
    size_t previousBoundary(size_t index) const;
    size_t nextBoundary(size_t index) const;

    // `s` with invalid UTF-8 sequences replaced by U+FFFD.
    static std::string sanitized(const std::string& s);

private:
    std::string text_;
    size_t caret_ = 0;
};

}  // namespace platform::ui
