#pragma once
// Drives running layer animations: while any runs and something shows frames,
// a frame timer on the main run loop tells their layers to advance
// (completions, redraws). When nothing shows frames (headless), in-flight
// values are computed on demand, so the timer only wakes at the next
// completion. The timer follows the process clock (a clock swapped in by a
// test gets a timer of its own). Idle, it holds no timer. Main thread only.
#include <functional>
#include <memory>
#include <string>

#include "platform/ui/Animation.h"

namespace platform::ui {

class Layer;
class Animation;

class AnimationClock {
public:
    static AnimationClock& shared();
    static constexpr double kFrameInterval = 1.0 / 60;

    void layerStartedAnimating(Layer* layer);
    void layerGone(Layer* layer);
    bool isRunning() const;
    // Advances every animating layer to the current media time now.
    void tick();

    // Whoever shows frames (a window and its presenter) says whether it wants
    // one per display refresh while animations run. With no one registered,
    // frames run (a layer tree that no window shows still ticks as before).
    void setFramesWanted(const void* consumer, bool wanted);
    void removeFrameConsumer(const void* consumer);
    bool framesWanted() const;
    // Whether the timer ticks every frame (false: at completions only, or none).
    bool ticksFrames() const;
    bool hasTimer() const;

    // The action for a change of `key` on `layer` inside the innermost open
    // view animation block, or null outside blocks.
    std::shared_ptr<Animation> blockAction(Layer& layer, const std::string& key);

    // View animation blocks (nested blocks inherit the outer one's settings).
    struct BlockSettings {
        double duration = 0.2;
        double delay = 0;
        TimingFunction timing = TimingFunction::named(TimingFunction::Name::EaseInEaseOut);
        bool fromCurrentState = false;
    };
    void beginBlock(const std::string& id, void* context);
    void commitBlock();
    BlockSettings* currentBlock();  // null outside blocks
    void setBlockDidStop(std::function<void(const std::string&, bool, void*)> fn);
    void setBlockCompletion(std::function<void(bool)> fn);
    bool animationsEnabled() const;
    void setAnimationsEnabled(bool enabled);

private:
    AnimationClock() = default;
    struct State;
    State& state();
    const State& state() const { return const_cast<AnimationClock*>(this)->state(); }
    // Brings the timer in line with the layers, the clock and the frame demand.
    void reschedule();
};

}  // namespace platform::ui
