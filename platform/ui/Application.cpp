#include "platform/ui/Application.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/graphics/Image.h"
#include "platform/sdl/SdlLibrary.h"
#include "platform/ui/AnimationClock.h"
#include "platform/ui/Device.h"
#include "platform/ui/HeadlessPresenter.h"
#include "platform/ui/InterfaceLoader.h"
#include "platform/ui/NotificationNames.h"
#include "platform/ui/Options.h"
#include "platform/ui/SdlWindowPresenter.h"
#include "platform/ui/Window.h"

extern char** environ;

namespace platform::ui {

using foundation::NotificationCenter;
using foundation::Value;

namespace {

std::unique_ptr<Application> gShared;
// Set while applicationMain runs the main loop; terminate() then ends it.
bool gLoopRunning = false;

void post(const char* name, Value userInfo = Value()) {
    NotificationCenter::defaultCenter().post(name, &Application::shared(), std::move(userInfo));
}

std::string schemeOf(const std::string& url) {
    const size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || !isalpha(static_cast<unsigned char>(url[0]))) return "";
    std::string scheme = url.substr(0, colon);
    for (char& c : scheme) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return "";
        c = char(tolower(static_cast<unsigned char>(c)));
    }
    return scheme;
}

// The program's path when `name` is an executable file on the PATH (or a path itself).
std::string findProgram(const std::string& name) {
    auto executable = [](const std::string& p) {
        struct stat st {};
        return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string::npos) return executable(name) ? name : "";
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty()) dir = ".";
        if (executable(dir + "/" + name)) return dir + "/" + name;
        start = end + 1;
    }
    return "";
}

}  // namespace

// ---- the application

Application& Application::shared() {
    if (!gShared) gShared = std::make_unique<Application>();
    return *gShared;
}

void Application::resetShared() { gShared.reset(); }

Application::Application() { setIdleTimerDisabled(false); }

Application::~Application() {
    if (screenSaverHeldOff_) setIdleTimerDisabled(false);
}

void Application::declareConnections(ConnectionTable& table) {
    table.outlet("delegate", [this](const std::shared_ptr<View>&, const std::shared_ptr<NibObject>& o, bool apply) {
        auto d = std::dynamic_pointer_cast<ApplicationDelegate>(o);
        if (d && apply) delegate_ = d;
        return d != nullptr;
    });
}

Window* Application::keyWindow() const { return Window::keyWindow(); }

bool Application::finishLaunching(const Value& options) {
    if (launched_) return true;
    launched_ = true;
    const bool result = delegate_ ? delegate_->didFinishLaunchingWithOptions(*this, options) : true;
    post(kApplicationDidFinishLaunchingNotification, options.isDictionary() && options.size() ? options : Value());
    return result;
}

bool Application::launch(const Value& options) {
    const bool result = finishLaunching(options);
    if (Window* w = keyWindow()) windowDidBecomeVisible(*w);
    becomeActive();
    return result;
}

void Application::becomeActive() {
    if (state_ == ApplicationState::Active || terminated_) return;
    if (state_ == ApplicationState::Background) {
        enterForeground();
        return;
    }
    state_ = ApplicationState::Active;
    if (delegate_) delegate_->applicationDidBecomeActive(*this);
    post(kApplicationDidBecomeActiveNotification);
}

void Application::resignActive() {
    if (state_ != ApplicationState::Active) return;
    state_ = ApplicationState::Inactive;
    if (delegate_) delegate_->applicationWillResignActive(*this);
    post(kApplicationWillResignActiveNotification);
}

void Application::enterBackground() {
    resignActive();
    if (state_ != ApplicationState::Inactive) return;
    state_ = ApplicationState::Background;
    applyIdleTimer();
    if (delegate_) delegate_->applicationDidEnterBackground(*this);
    post(kApplicationDidEnterBackgroundNotification);
}

void Application::enterForeground() {
    if (state_ != ApplicationState::Background || terminated_) return;
    state_ = ApplicationState::Inactive;
    applyIdleTimer();
    if (delegate_) delegate_->applicationWillEnterForeground(*this);
    post(kApplicationWillEnterForegroundNotification);
    becomeActive();
}

void Application::terminate() {
    if (terminated_) return;
    enterBackground();
    terminated_ = true;
    if (delegate_) delegate_->applicationWillTerminate(*this);
    post(kApplicationWillTerminateNotification);
    foundation::UserDefaults::standard().synchronize();
    if (gLoopRunning) foundation::RunLoop::main().stop();
}

void Application::receiveMemoryWarning() {
    forgetClosedWindows();
    if (delegate_) delegate_->applicationDidReceiveMemoryWarning(*this);
    post(kApplicationDidReceiveMemoryWarningNotification);  // view controllers listen for it
}

bool Application::rotateTo(InterfaceOrientation orientation, double duration) {
    Screen& screen = Screen::main();
    Window* w = keyWindow();
    const InterfaceOrientation from = screen.orientation();
    if (from == orientation || Device::current().userInterfaceIdiom() != UserInterfaceIdiom::Pad || !w) return false;
    auto root = rootViewController(*w);
    if (root && !root->shouldAutorotateToInterfaceOrientation(orientation)) return false;
    std::vector<std::shared_ptr<ViewController>> chain;
    for (auto vc = root; vc; vc = vc->presentedViewController()) chain.push_back(vc);
    for (auto& vc : chain) vc->willRotateToInterfaceOrientation(orientation, duration);
    screen.setOrientation(orientation);
    w->setFrame(screen.bounds());
    for (const auto& sub : w->subviews()) sub->setFrame(w->bounds());
    for (auto& vc : chain) vc->didRotateFromInterfaceOrientation(from);
    return true;
}

bool Application::rotateBy(int direction) {
    // Counter-clockwise order: a device turned left shows its home button on the right.
    static constexpr InterfaceOrientation kLeftward[] = {
        InterfaceOrientation::Portrait, InterfaceOrientation::LandscapeRight, InterfaceOrientation::PortraitUpsideDown,
        InterfaceOrientation::LandscapeLeft};
    const InterfaceOrientation from = Screen::main().orientation();
    int i = 0;
    while (i < 4 && kLeftward[i] != from) ++i;
    return rotateTo(kLeftward[((i % 4) + (direction < 0 ? 1 : 3)) % 4]);
}

void Application::registerURLHandler(const std::string& scheme, URLHandler handler) {
    const std::string s = foundation::lowercased(scheme);
    if (handler)
        handlers_[s] = std::move(handler);
    else
        handlers_.erase(s);
}

bool Application::canOpenURL(const std::string& url) const {
    const std::string scheme = schemeOf(url);
    if (scheme == "http" || scheme == "https") return !findProgram(browser_).empty();
    return !scheme.empty() && handlers_.count(scheme);
}

bool Application::openURL(const std::string& url) {
    const std::string scheme = schemeOf(url);
    auto cannot = [&url](const std::string& why) {
        foundation::log("Cannot open " + url + ": " + why);
        return false;
    };
    if (scheme == "http" || scheme == "https") {
        const std::string program = findProgram(browser_);
        if (program.empty()) return cannot(browser_ + " is not installed (Debian: xdg-utils)");
        // Started directly, so nothing in the URL is read by a shell; what it
        // prints is its own business, and a failure is said here in one line.
        std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>(url.c_str()), nullptr};
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&quiet, STDOUT_FILENO, STDERR_FILENO);
        pid_t pid = 0;
        const int rc = posix_spawn(&pid, program.c_str(), &quiet, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&quiet);
        if (rc != 0) return cannot("cannot start " + program + ": " + strerror(rc));
        std::thread([pid, url, program] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
                foundation::log("Cannot open " + url + ": " + program + " ended with status " +
                                std::to_string(WEXITSTATUS(status)));
        }).detach();
        return true;
    }
    auto it = handlers_.find(scheme);
    if (scheme.empty()) return cannot("it is not a URL");
    if (it == handlers_.end()) return cannot("nothing here opens " + scheme + " links");
    URLHandler handler = it->second;  // the handler may register others
    return handler(url);
}

void Application::setIdleTimerDisabled(bool disabled) {
    idleTimerDisabled_ = disabled;
    applyIdleTimer();
}

void Application::applyIdleTimer() {
    // As on the platform, the setting holds only while the application is in the foreground.
    const bool holdOff = idleTimerDisabled_ && state_ != ApplicationState::Background && !terminated_;
    screenSaverHeldOff_ = holdOff;
    // The video subsystem reads the hint when it starts (and on its own would
    // hold the screen saver off for as long as any window is open).
    sdl::SdlLibrary::setHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, holdOff ? "0" : "1");
    const sdl::SdlLibrary* lib = sdl::SdlLibrary::loaded();
    if (lib && lib->WasInit(SDL_INIT_VIDEO)) {
        if (holdOff)
            lib->DisableScreenSaver();
        else
            lib->EnableScreenSaver();
    }
}

void Application::setStatusBarStyle(StatusBarStyle style, bool) { statusBarStyle_ = style; }

void Application::setStatusBarHidden(bool hidden, bool) { statusBarHidden_ = hidden; }

// ---- signals

namespace {

// SIGINT, SIGTERM, SIGHUP (the terminal closed) and SIGUSR1 become work on
// the main run loop: the handler only writes the signal's number into a pipe;
// a thread reads it and hands it on. A SIGHUP or SIGINT the process was
// started ignoring stays ignored.
class SignalBridge {
public:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1};
    SignalBridge() {
        if (pipe2(fds_, O_CLOEXEC) != 0) return;
        gWriteFd = fds_[1];
        struct sigaction sa {};
        sa.sa_handler = &SignalBridge::handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (int s : kSignals) {
            sigaction(s, nullptr, &old_[s]);
            // Started under nohup, or in the background by a shell: that ignore was asked for.
            if ((s == SIGHUP || s == SIGINT) && !(old_[s].sa_flags & SA_SIGINFO) && old_[s].sa_handler == SIG_IGN)
                continue;
            sigaction(s, &sa, nullptr);
        }
        reader_ = std::thread([fd = fds_[0]] {
            unsigned char sig;
            for (;;) {
                const ssize_t n = read(fd, &sig, 1);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return;
                foundation::RunLoop::main().perform([sig] { deliver(sig); });
            }
        });
    }
    ~SignalBridge() {
        if (fds_[1] < 0) return;
        for (int s : kSignals) sigaction(s, &old_[s], nullptr);
        gWriteFd = -1;
        close(fds_[1]);
        if (reader_.joinable()) reader_.join();
        close(fds_[0]);
    }

private:
    static void handler(int sig) {
        const int saved = errno;
        const unsigned char b = static_cast<unsigned char>(sig);
        if (gWriteFd >= 0) {
            ssize_t ignored = write(gWriteFd, &b, 1);
            (void)ignored;
        }
        errno = saved;
    }
    static void deliver(int sig) {
        Application& app = Application::shared();
        if (sig == SIGUSR1) {
            app.receiveMemoryWarning();
        } else {
            const char* name = sig == SIGINT ? "SIGINT" : sig == SIGHUP ? "SIGHUP" : "SIGTERM";
            foundation::log(std::string("Received ") + name + ", terminating");
            app.terminate();
        }
    }
    static inline volatile sig_atomic_t gWriteFd = -1;
    int fds_[2] = {-1, -1};
    struct sigaction old_[NSIG] {};
    std::thread reader_;
};

// Draws until no layer asks for another pass, without moving time: a layer
// that renders off the main thread shows its picture on the pass after.
void finishDrawing() {
    auto& loop = foundation::RunLoop::main();
    for (int pass = 0; pass < 8; ++pass) {
        loop.runUntilIdle();
        Window* window = Window::keyWindow();
        if (!window || !window->needsComposition()) return;
        window->prepareFrame();
    }
}

// The launch has settled when the main run loop has nothing ready, no
// animation runs and the screen no longer changes. Time moves on the manual
// clock in frame steps meanwhile, with the layout of each frame; the layers
// are drawn once nothing animates (a frame in between is never seen, and a
// gliding battery would render each one), and no picture is painted: only the
// one written is. An ambient animation (rising bubbles) never stops; the limit
// then decides, and the layers are drawn as they are then.
void settle() {
    constexpr double kFrame = 1.0 / 60, kLimit = 5;
    auto& loop = foundation::RunLoop::main();
    for (double t = 0; t < kLimit; t += kFrame) {
        loop.runUntilIdle();
        Window* window = Window::keyWindow();
        if (AnimationClock::shared().isRunning()) {
            if (window) window->layoutIfNeeded();
        } else {
            if (window && window->needsComposition()) {
                window->prepareFrame();
                loop.runUntilIdle();
            }
            if (!(window && window->needsComposition())) return;
        }
        loop.runFor(kFrame);
    }
    finishDrawing();
}

}  // namespace

int applicationMain(int argc, char** argv) {
    const ParsedOptions parsed = parseOptions(argc, argv);
    return parsed.exitCode ? finishWithoutLaunch(parsed) : applicationMain(parsed.configuration);
}

int applicationMain(const LaunchConfiguration& o) {
    auto failure = [](const std::string& message) {
        std::cerr << "Quenmira: " << foundation::escapingControls(message) << std::endl;
        return 1;
    };

    if (!o.bundlePath.empty() || !o.infoPlist.empty())
        foundation::Bundle::setMainBundlePath(
            o.bundlePath.empty() ? foundation::Bundle::mainBundlePathSetting() : o.bundlePath, o.infoPlist);
    const foundation::Bundle& bundle = foundation::Bundle::main();
    if (const std::string problem = bundle.infoDictionaryProblem(); !problem.empty())
        return failure("the Info.plist " + bundle.infoPlistPath() + " cannot be read (" + problem + ")");
    if (const Value id = bundle.objectForInfoDictionaryKey("CFBundleIdentifier");
        id.isString() && !id.string().empty() && !foundation::Bundle::isUsableIdentifier(id.string()))
        return failure("the Info.plist " + bundle.infoPlistPath() + " gives the CFBundleIdentifier \"" + id.string() +
                       "\", which may not contain \"/\" or \"..\"");

    // Nothing the application does would be kept: say so once, before it starts.
    foundation::Error homeError;
    if (!(o.home.empty() ? foundation::Sandbox::prepare(&homeError)
                         : foundation::Sandbox::setHome(o.home, &homeError))) {
        // The line names the home once; the error, the place in it that failed.
        const std::string home = foundation::Sandbox::home();
        std::string reason = homeError.localizedDescription();
        if (home.empty()) return failure("no sandbox: " + reason);
        if (reason.rfind(home + "/", 0) == 0)
            reason.erase(0, home.size() + 1);
        else if (reason.rfind(home + ": ", 0) == 0)
            reason.erase(0, home.size() + 2);
        return failure("the sandbox " + home + " cannot be written (" + reason + "); nothing could be saved");
    }
    // One application runs once on its sandbox: a second one would overwrite the first one's settings and stores.
    if (!foundation::Sandbox::claim(&homeError)) return failure(homeError.localizedDescription());
    foundation::UserDefaults::resetStandard();

    Device& device = Device::current();
    if (!o.device.empty()) device.setHardwareIdentifier(o.device);
    if (!o.battery.empty()) {
        device.setBatterySource(std::shared_ptr<BatterySource>(parseBatterySpec(o.battery, nullptr)));
    } else {
        auto sysfs = std::make_shared<SysfsBatterySource>();
        if (sysfs->hasBattery()) {
            device.setBatterySource(sysfs);
        } else {
            auto sim = std::make_shared<SimulatedBatterySource>(0.75f, BatteryState::Unplugged);
            foundation::log("No battery in /sys/class/power_supply: playing a " + sim->description());
            device.setBatterySource(sim);
        }
    }
    Screen& screen = Screen::main();
    screen.configure(device.profile());
    if (o.brightness) screen.setSimulatedBrightness(*o.brightness);
    graphics::Image::setScreenScale(screen.scale());

    const bool snapshot = !o.snapshot.empty();
    const bool headless = o.headless || snapshot || !SdlWindowPresenter::isDisplayAvailable();
    if (snapshot)  // simulated time: the picture does not depend on the machine's speed
        foundation::Clock::setCurrent(std::make_shared<foundation::ManualClock>(foundation::SystemClock().now()));

    SignalBridge signals;
    Application& app = Application::shared();
    const Value nib = bundle.objectForInfoDictionaryKey("NSMainNibFile");
    if (!nib.isString() || nib.string().empty())
        return failure("the Info.plist " + bundle.infoPlistPath() +
                       " names no main interface file (\"NSMainNibFile\")");
    foundation::Error error;
    auto contents = InterfaceLoader::load(nib.string(), &bundle, &app, &error);
    if (!contents) return failure(error.localizedDescription());
    if (!app.delegate())
        return failure(nib.string() +
                       ".json: no application delegate (connect one to the owner's outlet \"delegate\")");

    // An interface file the launch loads (the main screen's) that cannot be
    // read or used ends it as an unreadable Info.plist does: one line, no crash.
    try {
        app.finishLaunching(Value::emptyDictionary());
        Window* window = app.keyWindow();
        if (!window) foundation::log("Warning: no window was made key and visible during the launch");
        std::shared_ptr<HeadlessPresenter> offscreen;
        if (window) {
            if (headless) {
                offscreen = std::make_shared<HeadlessPresenter>();
                window->setPresenter(offscreen);
            } else {
                const Value name = bundle.objectForInfoDictionaryKey("CFBundleDisplayName");
                auto presenter = std::make_shared<SdlWindowPresenter>(name.isString() ? name.string() : "Quenmira",
                                                                      [&app] { app.terminate(); });
                presenter->setRotationHandler([&app](int direction) { app.rotateBy(direction); });
                window->setPresenter(presenter);
            }
            windowDidBecomeVisible(*window);
        }
        app.becomeActive();
        screen.setMonitoring(true);

        auto& loop = foundation::RunLoop::main();
        int status = 0;
        if (snapshot) {
            if (o.after) {
                loop.runFor(*o.after);
                finishDrawing();
            } else {
                settle();
            }
            if (!window || !offscreen)
                status = failure("no window to take a snapshot of");
            else if (!offscreen->snapshot(o.snapshot, &error))
                status = failure(error.localizedDescription());
            app.terminate();
            loop.runUntilIdle();
        } else {
            gLoopRunning = true;
            while (!app.isTerminated()) loop.run();
            gLoopRunning = false;
        }
        screen.setMonitoring(false);
        device.setBatteryMonitoringEnabled(false);
        if (window) window->setPresenter(nullptr);
        return status;
    } catch (const InterfaceFileException& e) {
        const int status = failure(e.error().localizedDescription());
        // What the launch had set going (requests, stores, other threads) may
        // still be at work on objects an orderly end would destroy under it:
        // a launch that failed half-way ends here, its files as safe as at a
        // kill, nothing torn down.
        std::cout.flush();
        std::fflush(nullptr);
        std::_Exit(status);
    }
}

}  // namespace platform::ui
