#pragma once
// Waits for an event another thread or process brings about: asks `done`
// until it holds or `seconds` of real time have passed, a bound that only a
// hang reaches however loaded the machine is, looking again every `pause`
// (longer where asking is costly). Answers `done` as last asked.
#include <chrono>
#include <thread>

namespace qmtest {

template <class Pred>
bool waitUntil(Pred done, double seconds = 60, std::chrono::milliseconds pause = std::chrono::milliseconds(1)) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return done();
        std::this_thread::sleep_for(pause);
    }
    return true;
}

}  // namespace qmtest
