// Typing into a real window on a virtual X display: xdotool's keystrokes
// reach a text field through SDL, backspace and arrows edit, a click
// elsewhere ends editing and moves the focus. (Characters beyond the virtual
// keyboard's keymap, such as "é", reach SDL only when xdotool's momentary key
// for them outlives SDL's reading of the stroke, so they are not typed here;
// what follows SDL's text event is the same for every character and is tested
// with "é", "€" and wider characters without a display.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/platform/ui/app_test_support.h"
#include "tests/support/ShellTools.h"
#include "tests/support/VirtualDisplay.h"

namespace {

using qmtest::readAll;
using qmtest::run;
using qmtest::within;

TEST(KeyboardInWindow, TypedTextReachesTheFocusedFieldAndAClickElsewhereEndsEditing) {
    for (const char* tool : {"Xvfb", "xdotool"})
        if (!qmtest::have(tool)) GTEST_SKIP() << tool << " is not installed";
    qmtest::VirtualDisplay xvfb("800x600x24");
    ASSERT_TRUE(xvfb.started());
    qmtest::TempDir out;
    const std::string log = out.file("textdemo.log");
    const pid_t demo = fork();
    if (demo == 0) {
        if (!freopen(log.c_str(), "w", stdout)) _exit(126);
        setenv("DISPLAY", xvfb.name().c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        execl(QM_BUILD_DIR "/tools/textdemo/textdemo", "textdemo", nullptr);
        _exit(127);
    }
    auto x = [&](std::vector<std::string> command) {
        return run(std::move(command), qmtest::RunOptions().adding({"DISPLAY=" + xvfb.name()})).out;
    };
    std::string window;
    ASSERT_TRUE(within(60, [&] {
        window = x({"xdotool", "search", "--pid", std::to_string(demo)});
        window = window.substr(0, window.find('\n'));
        return !window.empty();
    }));
    auto saw = [&](const std::string& line) {
        return within(60, [&] { return readAll(log).find(line + "\n") != std::string::npos; });
    };

    const auto type = [&](const std::string& text) { x({"xdotool", "type", "--delay", "50", text}); };
    // A click before the window shows is lost: click until the field has focus.
    ASSERT_TRUE(within(60, [&] {
        x({"xdotool", "mousemove", "--window", window, "100", "30", "click", "1"});
        return within(1, [&] { return readAll(log).find("field began\n") != std::string::npos; });
    })) << readAll(log);
    type("abc");
    EXPECT_TRUE(saw("field: abc")) << readAll(log);
    x({"xdotool", "key", "--delay", "50", "BackSpace", "Left"});
    type("x");
    EXPECT_TRUE(saw("field: axb")) << readAll(log);

    // A click in the text view below ends the field's editing; typing goes there.
    x({"xdotool", "mousemove", "--window", window, "160", "150", "click", "1"});
    EXPECT_TRUE(saw("field ended: axb")) << readAll(log);
    ASSERT_TRUE(saw("view began")) << readAll(log);
    type("x");
    EXPECT_TRUE(saw("view: x")) << readAll(log);

    kill(demo, SIGTERM);
    int status = 0;
    EXPECT_TRUE(within(60, [&] { return waitpid(demo, &status, WNOHANG) == demo; }));
}

}  // namespace
