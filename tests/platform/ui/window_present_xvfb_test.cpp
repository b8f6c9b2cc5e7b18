// A window on a real (virtual) X display presents a frame only when its
// picture changed: idle, it composes and presents nothing; an animation is
// shown at most at the display rate. The window lives in a child run of this
// executable with DISPLAY set, so the display connection never outlives its
// Xvfb inside the main test process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Animation.h"
#include "platform/ui/SdlWindowPresenter.h"
#include "platform/ui/View.h"
#include "platform/ui/Window.h"
#include "tests/support/ChildTest.h"
#include "tests/support/VirtualDisplay.h"

namespace pf = platform::foundation;
using namespace platform::ui;

namespace {

const char* const kChildEnv = "QM_AUDIT_IDLE_PRESENT_OUT";

// Runs in the child: writes "presented-after-show compositions idle-presented
// idle-compositions after-change after-animation rate".
QM_CHILD_TEST(WindowPresentChild, Measure) {
    const char* out = std::getenv(kChildEnv);
    if (!out) GTEST_SKIP() << "runs only as the child of WindowPresent";
    auto clock = std::make_shared<pf::ManualClock>();
    pf::Clock::setCurrent(clock);
    auto& loop = pf::RunLoop::current();
    ASSERT_TRUE(SdlWindowPresenter::isDisplayAvailable());
    auto win = std::make_shared<Window>(Size{120, 100}, 1);
    win->setBackgroundColor(Color::whiteColor());
    auto root = std::make_shared<View>(Rect{0, 0, 120, 100});
    win->setRootView(root);
    auto box = std::make_shared<View>(Rect{10, 10, 30, 30});
    box->setBackgroundColor(Color::rgba(1, 0, 0));
    root->addSubview(box);
    auto presenter = std::make_shared<SdlWindowPresenter>(
        "audit", [] {}, 1);
    win->setPresenter(presenter);

    std::ostringstream r;
    loop.runFor(0.5);
    r << presenter->presentedFrames() << ' ' << win->compositionCount() << ' ';
    loop.runFor(5);  // idle: only the event polling runs
    r << presenter->presentedFrames() << ' ' << win->compositionCount() << ' ';
    box->setBackgroundColor(Color::rgba(0, 0, 1));
    loop.runFor(0.5);
    r << presenter->presentedFrames() << ' ';
    auto move = BasicAnimation::withKeyPath("position");
    move->setFromValue(Point{25, 25});
    move->setToValue(Point{95, 75});
    move->setDuration(1);
    box->layer()->addAnimation(move, "move");
    loop.runFor(2);
    r << presenter->presentedFrames() << ' ' << presenter->displayRate() << '\n';
    std::ofstream(out) << r.str();
    std::fflush(nullptr);
    _exit(0);  // leave the display connection to the process's end
}

TEST(WindowPresent, IdleWindowPresentsNothingAndAnimationsAtMostAtTheDisplayRate) {
    if (std::getenv(kChildEnv)) GTEST_SKIP();
    if (!qmtest::VirtualDisplay::installed()) GTEST_SKIP() << "Xvfb is not installed";
    auto xvfb = std::make_unique<qmtest::VirtualDisplay>("640x480x24");
    const std::string result = ::testing::TempDir() + "window_present_" + std::to_string(getpid()) + ".txt";
    std::remove(result.c_str());
    int status = -1;
    if (xvfb->started()) {
        const pid_t child = fork();
        if (child == 0) {
            setenv("DISPLAY", xvfb->name().c_str(), 1);
            unsetenv("WAYLAND_DISPLAY");
            setenv(kChildEnv, result.c_str(), 1);
            if (!freopen("/dev/null", "w", stdout)) _exit(126);
            execl("/proc/self/exe", "child", "--gtest_filter=WindowPresentChild.Measure", nullptr);
            _exit(127);
        }
        // Bounded: the child is killed if it has not ended after 30 s.
        for (int i = 0; i < 3000 && waitpid(child, &status, WNOHANG) != child; ++i) usleep(10000);
        if (!WIFEXITED(status)) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
    }
    const bool started = xvfb->started();
    xvfb.reset();
    ASSERT_TRUE(started) << "Xvfb did not start";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed, status " << status;

    std::ifstream in(result);
    uint64_t shown = 0, composed = 0, idleShown = 0, idleComposed = 0, changed = 0, animated = 0;
    double rate = 0;
    ASSERT_TRUE(in >> shown >> composed >> idleShown >> idleComposed >> changed >> animated >> rate);
    std::remove(result.c_str());
    EXPECT_EQ(shown, 1u);  // the first picture
    EXPECT_EQ(idleShown, shown);
    EXPECT_EQ(idleComposed, composed);
    EXPECT_EQ(changed, shown + 1);
    // A one-second animation: more than a couple of frames, never more than
    // the display gives, plus the final state.
    EXPECT_GT(animated - changed, 5u);
    EXPECT_LE(double(animated - changed), rate * 1 + 2);
}

}  // namespace
