#include "platform/ui/AnimationClock.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"
#include "platform/ui/Layer.h"

namespace platform::ui {

namespace {

// The animations of one committed block; its callbacks run once all stopped.
struct BlockGroup {
    std::string id;
    void* context = nullptr;
    std::function<void(const std::string&, bool, void*)> didStop;
    std::function<void(bool)> completion;
    int pending = 0;
    bool allFinished = true;
    bool committed = false;
    bool delivered = false;

    void deliver() {
        if (delivered) return;
        delivered = true;
        if (didStop) didStop(id, allFinished, context);
        if (completion) completion(allFinished);
    }
    void stopped(bool finished) {
        allFinished = allFinished && finished;
        if (--pending == 0 && committed) deliver();
    }
};

struct Block {
    AnimationClock::BlockSettings settings;
    std::shared_ptr<BlockGroup> group;
};

}  // namespace

struct AnimationClock::State {
    std::set<Layer*> layers;
    std::shared_ptr<foundation::Timer> timer;
    std::shared_ptr<foundation::Clock> timerClock;  // the clock the timer's date is on
    bool timerTicksFrames = false;
    double timerDate = 0;  // media time of a completion timer
    std::map<const void*, bool> consumers;
    std::vector<Block> blocks;
    bool enabled = true;

    void dropTimer() {
        if (timer) timer->invalidate();
        timer.reset();
        timerClock.reset();
    }
};

AnimationClock& AnimationClock::shared() {
    static AnimationClock clock;
    return clock;
}

AnimationClock::State& AnimationClock::state() {
    static State s;
    return s;
}

void AnimationClock::layerStartedAnimating(Layer* layer) {
    state().layers.insert(layer);
    reschedule();
}

void AnimationClock::layerGone(Layer* layer) {
    auto& s = state();
    if (s.layers.erase(layer) && s.layers.empty()) s.dropTimer();
}

bool AnimationClock::isRunning() const { return !state().layers.empty(); }

void AnimationClock::setFramesWanted(const void* consumer, bool wanted) {
    auto& s = state();
    bool before = framesWanted();
    s.consumers[consumer] = wanted;
    if (framesWanted() != before) reschedule();
}

void AnimationClock::removeFrameConsumer(const void* consumer) {
    auto& s = state();
    bool before = framesWanted();
    s.consumers.erase(consumer);
    if (framesWanted() != before) reschedule();
}

bool AnimationClock::framesWanted() const {
    auto& s = state();
    if (s.consumers.empty()) return true;
    return std::any_of(s.consumers.begin(), s.consumers.end(), [](auto& c) { return c.second; });
}

bool AnimationClock::ticksFrames() const {
    auto& s = state();
    return s.timer && s.timer->isValid() && s.timerTicksFrames;
}

bool AnimationClock::hasTimer() const {
    auto& s = state();
    return s.timer && s.timer->isValid();
}

void AnimationClock::reschedule() {
    auto& s = state();
    if (s.layers.empty()) {
        s.dropTimer();
        return;
    }
    auto clock = foundation::Clock::currentShared();
    // A timer dated on a clock that is no longer current would wait for a time
    // that never comes: it is replaced.
    bool current = s.timer && s.timer->isValid() && s.timerClock == clock;
    if (framesWanted()) {
        if (current && s.timerTicksFrames) return;
        s.dropTimer();
        s.timer = foundation::Timer::scheduled(kFrameInterval, true, [this](foundation::Timer&) { tick(); });
        s.timerClock = clock;
        s.timerTicksFrames = true;
        return;
    }
    double end = std::numeric_limits<double>::infinity();
    for (Layer* l : s.layers) end = std::min(end, l->nextAnimationEnd());
    if (!std::isfinite(end)) {
        s.dropTimer();  // nothing ends; values are computed when asked for
        return;
    }
    if (current && !s.timerTicksFrames && s.timerDate == end) return;
    s.dropTimer();
    double wait = std::max(0.0, end - clock->monotonic());
    s.timer = foundation::Timer::scheduled(wait, false, [this](foundation::Timer&) { tick(); });
    s.timerClock = clock;
    s.timerTicksFrames = false;
    s.timerDate = end;
}

void AnimationClock::tick() {
    auto& s = state();
    double now = currentMediaTime();
    // A completion timer's wall-clock date may land a rounding error short of
    // the media time it was set for.
    if (s.timer && !s.timerTicksFrames) {
        if (s.timerDate > now && s.timerDate - now < 1e-4) now = s.timerDate;
        s.dropTimer();  // one-shot: spent
    }
    // Advancing may run code that adds or removes layers: work on a copy.
    std::vector<Layer*> layers(s.layers.begin(), s.layers.end());
    for (Layer* l : layers) {
        if (!s.layers.count(l)) continue;
        if (!l->advanceAnimations(now)) s.layers.erase(l);
    }
    reschedule();
}

std::shared_ptr<Animation> AnimationClock::blockAction(Layer& layer, const std::string& key) {
    auto& s = state();
    if (s.blocks.empty() || !s.enabled) return nullptr;
    Block& b = s.blocks.back();
    if (b.settings.duration <= 0) return nullptr;
    PropertyValue from =
        b.settings.fromCurrentState ? layer.presentationValue(key, currentMediaTime()) : layer.valueForKey(key);
    if (std::holds_alternative<std::monostate>(from)) {
        // Nothing to start from (e.g. no background colour yet): start clear.
        if (key == "backgroundColor")
            from = Color::clear();
        else
            return nullptr;
    }
    auto anim = std::make_shared<BasicAnimation>(key);
    anim->setFromValue(from);
    anim->setDuration(b.settings.duration);
    anim->setTimingFunction(b.settings.timing);
    if (b.settings.delay > 0) {
        anim->setBeginTime(currentMediaTime() + b.settings.delay);
        anim->setFillMode(FillMode::Backwards);
    }
    auto group = b.group;
    group->pending++;
    anim->setDidStop([group](Animation&, bool finished) { group->stopped(finished); });
    return anim;
}

void AnimationClock::beginBlock(const std::string& id, void* context) {
    auto& s = state();
    Block b;
    if (!s.blocks.empty()) b.settings = s.blocks.back().settings;
    b.group = std::make_shared<BlockGroup>();
    b.group->id = id;
    b.group->context = context;
    s.blocks.push_back(std::move(b));
}

void AnimationClock::commitBlock() {
    auto& s = state();
    if (s.blocks.empty()) return;
    auto group = s.blocks.back().group;
    s.blocks.pop_back();
    group->committed = true;
    if (group->pending == 0 && (group->didStop || group->completion)) {
        // Nothing animates: report at the loop's next turn, as if it had run.
        foundation::RunLoop::current().perform([group] { group->deliver(); });
    }
}

AnimationClock::BlockSettings* AnimationClock::currentBlock() {
    auto& s = state();
    return s.blocks.empty() ? nullptr : &s.blocks.back().settings;
}

void AnimationClock::setBlockDidStop(std::function<void(const std::string&, bool, void*)> fn) {
    auto& s = state();
    if (!s.blocks.empty()) s.blocks.back().group->didStop = std::move(fn);
}

void AnimationClock::setBlockCompletion(std::function<void(bool)> fn) {
    auto& s = state();
    if (!s.blocks.empty()) s.blocks.back().group->completion = std::move(fn);
}

bool AnimationClock::animationsEnabled() const { return const_cast<AnimationClock*>(this)->state().enabled; }
void AnimationClock::setAnimationsEnabled(bool enabled) { state().enabled = enabled; }

}  // namespace platform::ui
