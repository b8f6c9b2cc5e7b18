#pragma once
// The built application in a real window on a virtual X display of its own:
// starting Xvfb and the application, screenshots as PNG, clicks, closing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "platform/graphics/Image.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/ShellTools.h"
#include "tests/support/VirtualDisplay.h"

namespace pg = platform::graphics;
namespace fs = std::filesystem;

namespace {

const std::string kApp = std::string(QM_BUNDLE_DIR) + "/Quenmira";

// Converts an X window dump (TrueColor, 24 or 32 bits a pixel) to PNG, and
// asks a window to close the way a window manager does.
const char* const kXPeer = R"PY(
import sys, struct, zlib, ctypes
def png(src, dst):
    d = open(src, 'rb').read()
    h = struct.unpack('>25I', d[:100])
    size, w, hgt, order, bpp, bpl = h[0], h[4], h[5], h[7], h[11], h[12]
    rm, gm, bm, ncolors = h[14], h[15], h[16], h[19]
    shift = lambda m: (m & -m).bit_length() - 1
    n, off, rows = bpp // 8, size + ncolors * 12, []
    for y in range(hgt):
        line = d[off + y * bpl: off + y * bpl + w * n]
        row = bytearray(b'\0')
        for i in range(0, w * n, n):
            p = int.from_bytes(line[i:i + n], 'little' if order == 0 else 'big')
            row += bytes(((p & rm) >> shift(rm), (p & gm) >> shift(gm), (p & bm) >> shift(bm)))
        rows.append(bytes(row))
    chunk = lambda t, b: struct.pack('>I', len(b)) + t + b + struct.pack('>I', zlib.crc32(t + b))
    open(dst, 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, hgt, 8, 2, 0, 0, 0)) +
                          chunk(b'IDAT', zlib.compress(b''.join(rows))) + chunk(b'IEND', b''))
def close(win):
    x = ctypes.CDLL('libX11.so.6')
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x.XFlush.argtypes = x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    class Message(ctypes.Structure):
        _fields_ = [('type', ctypes.c_int), ('serial', ctypes.c_ulong), ('send_event', ctypes.c_int),
                    ('display', ctypes.c_void_p), ('window', ctypes.c_ulong), ('message_type', ctypes.c_ulong),
                    ('format', ctypes.c_int), ('l', ctypes.c_long * 5)]
    class Event(ctypes.Union):
        _fields_ = [('xclient', Message), ('pad', ctypes.c_long * 24)]
    dpy = x.XOpenDisplay(None)
    e = Event()
    e.xclient.type, e.xclient.window, e.xclient.format = 33, win, 32
    e.xclient.message_type = x.XInternAtom(dpy, b'WM_PROTOCOLS', 0)
    e.xclient.l[0] = x.XInternAtom(dpy, b'WM_DELETE_WINDOW', 0)
    x.XSendEvent(dpy, win, 0, 0, ctypes.byref(e))
    x.XFlush(dpy)
    x.XCloseDisplay(dpy)
png(sys.argv[2], sys.argv[3]) if sys.argv[1] == 'png' else close(int(sys.argv[2]))
)PY";

using qmtest::have;
using qmtest::readAll;
using qmtest::run;
using qmtest::within;

// How long a window test waits for a state it needs: generous, since a loaded
// machine (parallel tests, other builds) slows Xvfb, the application and the
// screenshots alike; a test that passes never waits that long.
constexpr double kWindowBound = 90;

// Polls `done` every 50 ms for at most `seconds` of real time.
bool saturated(pg::Image::Pixel p) { return std::max({p.r, p.g, p.b}) - std::min({p.r, p.g, p.b}) > 80; }

class XvfbWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "xdotool", "xwd"})
            if (!have(tool)) GTEST_SKIP() << tool << " is not installed";
        // Tall enough that the phone's 750 x 1334 pixels fit unscaled.
        xvfb_ = std::make_unique<qmtest::VirtualDisplay>("1280x1440x24");
        ASSERT_TRUE(xvfb_->started()) << "Xvfb did not start";
        display_ = xvfb_->name();
        peer_ = out_.write("xpeer.py", kXPeer);
    }
    void TearDown() override {
        if (app_ > 0) {
            kill(app_, SIGKILL);
            waitpid(app_, nullptr, 0);
        }
        xvfb_.reset();
    }
    // Starts the application with `args` on the display, `env` ("NAME=value")
    // set in its environment.
    void startApp(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        args.insert(args.begin(), kApp);
        args.insert(args.end(), {"--home", home_.path()});
        log_ = out_.file("app.log");
        std::vector<std::string> assignments = env;  // the child points its environment at these
        app_ = fork();
        if (app_ == 0) {
            if (!freopen(log_.c_str(), "w", stdout)) _exit(126);
            dup2(STDOUT_FILENO, STDERR_FILENO);
            setenv("DISPLAY", display_.c_str(), 1);
            unsetenv("WAYLAND_DISPLAY");
            setenv("QUENMIRA_COLLECT_URL", "http://127.0.0.1:9", 1);  // nothing leaves the machine
            setenv("QUENMIRA_CRASH_URL", "http://127.0.0.1:9", 1);
            for (auto& entry : assignments) putenv(entry.data());
            std::vector<char*> p;
            for (auto& a : args) p.push_back(a.data());
            p.push_back(nullptr);
            execv(p[0], p.data());
            _exit(127);
        }
    }
    // An X tool's output, run on this test's display.
    std::string x(std::vector<std::string> command) {
        return run(std::move(command), qmtest::RunOptions().adding({"DISPLAY=" + display_})).out;
    }
    // The id of the started application's first window; empty when none came.
    std::string awaitWindow() {
        std::string window;
        within(kWindowBound, [&] {
            window = x({"xdotool", "search", "--pid", std::to_string(app_)});
            window = window.substr(0, window.find('\n'));
            return !window.empty();
        });
        return window;
    }
    // The window's picture once it shows a phone's main screen (a coloured
    // battery in the middle); null when it does not.
    std::shared_ptr<pg::Image> awaitMainScreen(const std::string& window) {
        std::shared_ptr<pg::Image> main;
        const bool shown = within(kWindowBound, [&] {
            main = screenshot(window, "main");
            return main && main->pixelWidth() == 750 && saturated(main->pixelAt(375, 400));
        });
        return shown ? main : nullptr;
    }
    std::shared_ptr<pg::Image> screenshot(const std::string& window, const std::string& name) {
        const std::string dump = out_.file(name + ".xwd"), png = out_.file(name + ".png");
        fs::remove(png);
        x({"xwd", "-silent", "-id", window, "-out", dump});
        run({"python3", peer_, "png", dump, png});
        return fs::exists(png) ? pg::Image::fromFile(png, 1.0) : nullptr;
    }
    // Waits for the application to end; its exit status, -1 when it does not.
    int waitApp() {
        int status = 0;
        const bool ended = within(kWindowBound, [&] { return waitpid(app_, &status, WNOHANG) == app_; });
        if (!ended) return -1;
        app_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    qmtest::TempDir home_, out_;
    std::unique_ptr<qmtest::VirtualDisplay> xvfb_;
    pid_t app_ = -1;
    std::string display_, peer_, log_;
};

}  // namespace
