#pragma once
// Puts back, when it goes out of scope, every process-wide setting that a test
// may change: the main bundle and its Info.plist, the sandbox home and the
// standard user defaults, the clock, the main run loop's pending work, the
// shared application (and the root controllers of the windows that went with
// it), device and screen (what the application's options set),
// the image screen scale and named-image cache, the controls' appearance, the
// detected device index, and the analytics usage letters.
// A fixture holds one for the length of each test, declared after the
// temporary folders it uses so that it restores before they go; tests then
// pass in any order. A program that uses it also lets the analytics thread
// finish its work and stop after its last test, as the application does.
#include <memory>
#include <string>

namespace platform::foundation {
class Clock;
}

namespace qmtest {

class GlobalStateGuard {
public:
    GlobalStateGuard();
    ~GlobalStateGuard();
    GlobalStateGuard(const GlobalStateGuard&) = delete;
    GlobalStateGuard& operator=(const GlobalStateGuard&) = delete;

private:
    std::string bundlePath_, infoPlistPath_, home_;
    std::shared_ptr<platform::foundation::Clock> clock_;
    double screenScale_;
};

}  // namespace qmtest
