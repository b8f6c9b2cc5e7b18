// A text field above a text view, in a window: type into either after a click.
// Every change and the end of editing are printed on standard output
// ("field began", "field: TEXT", "field ended: TEXT", "view began",
// "view: TEXT"), so that a script
// driving the window with a keyboard can check what arrived.
#include <cstdio>
#include <memory>
#include <string>

#include "platform/foundation/RunLoop.h"
#include "platform/ui/SdlWindowPresenter.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextView.h"
#include "platform/ui/Window.h"

using namespace platform::ui;
using platform::foundation::RunLoop;
using platform::graphics::Font;

namespace {

struct Printer : TextFieldDelegate, TextViewDelegate {
    void textFieldDidBeginEditing(TextField&) override { say("field began", nullptr); }
    void textFieldDidEndEditing(TextField& f) override { say("field ended", f.text().c_str()); }
    void textViewDidBeginEditing(TextView&) override { say("view began", nullptr); }
    void textViewDidChange(TextView& v) override { say("view", v.text().c_str()); }
    static void say(const char* what, const char* text) {
        if (text)
            std::printf("%s: %s\n", what, text);
        else
            std::printf("%s\n", what);
        std::fflush(stdout);
    }
};

}  // namespace

int main() {
    if (!SdlWindowPresenter::isDisplayAvailable()) {
        std::fprintf(stderr, "textdemo: no display\n");
        return 1;
    }
    auto win = std::make_shared<Window>(Size{320, 240}, 1);
    auto root = std::make_shared<View>(Rect{0, 0, 320, 240});
    root->setBackgroundColor(Color::white(0.9));
    win->setRootView(root);

    Printer printer;
    auto field = std::make_shared<TextField>(Rect{10, 10, 300, 40});
    field->setBackgroundColor(Color::whiteColor());
    field->setFont(Font::systemFont(24));
    field->setPlaceholder("Type here");
    field->setDelegate(&printer);
    field->addTarget(
        nullptr, [&](Control&, const Event*) { Printer::say("field", field->text().c_str()); },
        kControlEventEditingChanged);
    root->addSubview(field);
    auto view = std::make_shared<TextView>(Rect{10, 70, 300, 160});
    view->setFont(Font::systemFont(18));
    view->setDelegate(&printer);
    root->addSubview(view);

    win->setPresenter(std::make_shared<SdlWindowPresenter>("textdemo", [] { RunLoop::current().stop(); }));
    win->makeKeyAndVisible();
    RunLoop::current().run();
    return 0;
}
