// Text fields and text views: focus from taps, editing from the keyboard with
// whole UTF-8 characters, the delegate's say on each step, the caret's place,
// and their interface-file properties.
#include <string>
#include <vector>

#include "platform/ui/InterfaceLoader.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextView.h"
#include "tests/platform/ui/view_test_support.h"

namespace {

using namespace viewtest;

// Records every delegate call; may refuse to begin or to change.
struct Recorder : TextFieldDelegate, TextViewDelegate {
    std::vector<std::string> calls;
    bool allowBegin = true, allowChange = true;
    bool textFieldShouldBeginEditing(TextField&) override { return note("shouldBegin", allowBegin); }
    void textFieldDidBeginEditing(TextField&) override { calls.push_back("didBegin"); }
    bool shouldChangeCharactersInRange(TextField&, TextRange r, const std::string& s) override {
        return note("change " + std::to_string(r.location) + "+" + std::to_string(r.length) + " '" + s + "'",
                    allowChange);
    }
    bool textFieldShouldReturn(TextField&) override { return note("shouldReturn", true); }
    void textFieldDidEndEditing(TextField&) override { calls.push_back("didEnd"); }
    bool textViewShouldBeginEditing(TextView&) override { return note("shouldBegin", allowBegin); }
    void textViewDidBeginEditing(TextView&) override { calls.push_back("didBegin"); }
    bool shouldChangeTextInRange(TextView&, TextRange r, const std::string& s) override {
        return note("change " + std::to_string(r.location) + "+" + std::to_string(r.length) + " '" + s + "'",
                    allowChange);
    }
    void textViewDidChange(TextView&) override { calls.push_back("didChange"); }
    void textViewDidEndEditing(TextView&) override { calls.push_back("didEnd"); }
    bool note(const std::string& call, bool answer) {
        calls.push_back(call);
        return answer;
    }
};

class TextInputTest : public OnManualClock {
protected:
    void SetUp() override {
        OnManualClock::SetUp();
        window_ = makeWindow(320, 480);
        root_ = std::make_shared<View>(Rect{0, 0, 320, 480});
        window_->setRootView(root_);
    }
    void tap(Point p) {
        window_->sendPointer(PointerPhase::Down, p);
        window_->sendPointer(PointerPhase::Up, p);
    }
    std::shared_ptr<Window> window_;
    std::shared_ptr<View> root_;
    Recorder delegate_;
};

TEST(EditableTextTest, ComposedAndWideCharactersAreInsertedSteppedAndDeletedWhole) {
    EditableText t;
    t.setText("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\x8B");  // a é € 🔋
    EXPECT_EQ(t.caret(), 10u);
    ASSERT_TRUE(t.backwardDeletionRange());
    EXPECT_EQ(*t.backwardDeletionRange(), (TextRange{6, 4}));
    t.moveLeft();
    t.moveLeft();
    EXPECT_EQ(t.caret(), 3u);
    EXPECT_EQ(*t.forwardDeletionRange(), (TextRange{3, 3}));
    t.setCaret(2);  // inside "é": back to its start
    EXPECT_EQ(t.caret(), 1u);
    t.replace({1, 2}, "e");
    EXPECT_EQ(t.text(), "ae\xE2\x82\xAC\xF0\x9F\x94\x8B");
    EXPECT_EQ(t.caret(), 2u);
    t.setCaret(0);
    EXPECT_FALSE(t.backwardDeletionRange());

    t.setText("one\ntwo");
    t.setCaret(5);
    t.moveToLineStart();
    EXPECT_EQ(t.caret(), 4u);
    t.setCaret(1);
    t.moveToLineEnd();
    EXPECT_EQ(t.caret(), 3u);

    t.setText("bad \xFF byte");  // never kept as invalid UTF-8
    EXPECT_EQ(t.text(), "bad \xEF\xBF\xBD byte");
}

TEST_F(TextInputTest, AFieldTakesFocusOnATapEditsFromTheKeyboardAndEndsOnATapElsewhere) {
    auto field = std::make_shared<TextField>(Rect{10, 10, 200, 30});
    field->setDelegate(&delegate_);
    root_->addSubview(field);
    std::vector<std::string> events;
    field->addTarget(
        this, [&](Control&, const Event*) { events.push_back("changed"); }, kControlEventEditingChanged);

    window_->sendText("x");  // nobody has focus: nothing happens
    EXPECT_EQ(field->text(), "");
    tap({50, 25});
    EXPECT_TRUE(field->isEditing());
    window_->sendText("\xC3\xA9");
    window_->sendText("\xE2\x82\xAC");
    window_->sendText("z");
    EXPECT_EQ(field->text(),
              "\xC3\xA9\xE2\x82\xAC"
              "z");
    window_->sendKey(Key::Left);
    window_->sendKey(Key::Backspace);  // the € goes whole
    EXPECT_EQ(field->text(), "\xC3\xA9z");
    window_->sendKey(Key::Home);
    window_->sendText("a");
    window_->sendKey(Key::End);
    window_->sendKey(Key::Delete);  // nothing after the caret: no change asked
    EXPECT_EQ(field->text(), "a\xC3\xA9z");
    EXPECT_EQ(events.size(), 5u);

    tap({300, 400});  // elsewhere
    EXPECT_FALSE(field->isEditing());
    window_->sendText("q");
    EXPECT_EQ(field->text(), "a\xC3\xA9z");
    EXPECT_EQ(delegate_.calls,
              (std::vector<std::string>{"shouldBegin", "didBegin", "change 0+0 '\xC3\xA9'", "change 2+0 '\xE2\x82\xAC'",
                                        "change 5+0 'z'", "change 2+3 ''", "change 0+0 'a'", "didEnd"}));
}

TEST_F(TextInputTest, TheDelegateMayRefuseFocusAndChangesAndReturnEndsEditing) {
    auto field = std::make_shared<TextField>(Rect{10, 10, 200, 30});
    field->setDelegate(&delegate_);
    field->setText("keep");
    root_->addSubview(field);

    delegate_.allowBegin = false;
    tap({50, 25});
    EXPECT_FALSE(field->isEditing());

    delegate_.allowBegin = true;
    delegate_.allowChange = false;
    tap({50, 25});
    ASSERT_TRUE(field->isEditing());
    window_->sendText("x");
    window_->sendKey(Key::Backspace);
    EXPECT_EQ(field->text(), "keep");

    delegate_.allowChange = true;
    window_->sendText("a\nb");  // one line: the break is not kept
    EXPECT_NE(field->text().find("ab"), std::string::npos);
    delegate_.calls.clear();
    window_->sendKey(Key::Return);
    EXPECT_FALSE(field->isEditing());
    EXPECT_EQ(delegate_.calls, (std::vector<std::string>{"shouldReturn", "didEnd"}));

    // A disabled field and a field that leaves the window lose focus too.
    ASSERT_TRUE(field->becomeFirstResponder());
    field->removeFromSuperview();
    EXPECT_FALSE(field->isEditing());
    EXPECT_FALSE(window_->firstResponder());
    field->setEnabled(false);
    root_->addSubview(field);
    EXPECT_FALSE(field->becomeFirstResponder());
}

TEST_F(TextInputTest, ATapPutsTheCaretWhereItLandedAndTheCaretShows) {
    auto field = std::make_shared<TextField>(Rect{0, 0, 300, 40});
    field->setText("abcdefgh");
    field->setTextColor(Color::black());
    root_->addSubview(field);
    const double half = field->font().sizeOfText("abcd").width;
    tap({half, 20});
    EXPECT_EQ(field->caret(), 4u);

    // The caret is drawn in the tint colour where the text measures it.
    field->setTintColor(Color::rgba(1, 0, 0));
    const int caretX = int(field->font().caretRect("abcdefgh", 4).x()) + 1;
    auto p = pixel(*window_, caretX, 20);
    EXPECT_EQ((std::vector<int>{p.r, p.g, p.b}), (std::vector<int>{255, 0, 0}));
    tap({310, 300});
    p = pixel(*window_, caretX, 20);
    EXPECT_NE(p.r == 255 && p.g == 0, true) << "no caret once editing ended";
}

TEST_F(TextInputTest, ATextViewWrapsGrowsWithItsTextMovesByLinesAndKeepsTheCaretInView) {
    auto view = std::make_shared<TextView>(Rect{0, 0, 200, 60});
    view->setDelegate(&delegate_);
    view->setFont(platform::graphics::Font::systemFont(14));
    root_->addSubview(view);
    tap({100, 30});
    ASSERT_TRUE(view->isEditing());
    window_->sendText("first");
    window_->sendKey(Key::Return);
    window_->sendText("second");
    EXPECT_EQ(view->text(), "first\nsecond");
    window_->sendKey(Key::Up);
    EXPECT_LE(view->caret(), 5u);
    window_->sendKey(Key::Down);
    EXPECT_GE(view->caret(), 6u);
    window_->sendKey(Key::Home);
    EXPECT_EQ(view->caret(), 6u);

    const double small = view->contentSize().height;
    for (int i = 0; i < 8; ++i) {
        window_->sendKey(Key::End);
        window_->sendKey(Key::Return);
        window_->sendText("line");
    }
    EXPECT_GT(view->contentSize().height, small + 7 * 14);
    // The caret's line is inside the visible part of the content.
    const Rect caret = view->caretRect();
    EXPECT_GE(caret.y(), view->contentOffset().y);
    EXPECT_LE(caret.y() + caret.height(), view->contentOffset().y + view->bounds().height());
    EXPECT_EQ(std::count(delegate_.calls.begin(), delegate_.calls.end(), "didChange"), 19);

    view->setEditable(false);  // ends editing and takes no more text
    EXPECT_FALSE(view->isEditing());
    EXPECT_FALSE(view->becomeFirstResponder());
}

TEST(TextInputNib, FieldsAndViewsTakeTheirPropertiesFromInterfaceFiles) {
    platform::foundation::Error error;
    auto contents = InterfaceLoader::loadFromText(R"({"objects": [
        {"class": "TextField", "text": "Hi", "placeholder": "Name", "font": {"boldSystem": 15},
         "textColor": "red", "textAlignment": "center", "enabled": false},
        {"class": "TextView", "text": "Long", "editable": false, "font": {"system": 11}, "textAlignment": "right"}]})",
                                                  "T.json", nullptr, nullptr, &error);
    ASSERT_TRUE(contents) << error.localizedDescription();
    auto field = std::dynamic_pointer_cast<TextField>(contents->topLevelObjects[0].view);
    auto view = std::dynamic_pointer_cast<TextView>(contents->topLevelObjects[1].view);
    ASSERT_TRUE(field && view);
    EXPECT_EQ(field->text(), "Hi");
    EXPECT_EQ(field->placeholder(), "Name");
    EXPECT_EQ(field->font(), platform::graphics::Font::boldSystemFont(15));
    EXPECT_EQ(field->textColor(), Color::red());
    EXPECT_EQ(field->textAlignment(), TextAlignment::Center);
    EXPECT_FALSE(field->isEnabled());
    EXPECT_EQ(view->text(), "Long");
    EXPECT_FALSE(view->isEditable());
    EXPECT_EQ(view->font().pointSize(), 11);
    EXPECT_EQ(view->textAlignment(), TextAlignment::Right);
}

}  // namespace
