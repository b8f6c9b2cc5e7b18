#include "platform/ui/AnimationClock.h"

#include <algorithm>
#include <set>
#include <vector>

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
    std::vector<Block> blocks;
    bool enabled = true;
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
    auto& s = state();
    s.layers.insert(layer);
    if (!s.timer || !s.timer->isValid())
        s.timer = foundation::Timer::scheduled(kFrameInterval, true, [this](foundation::Timer&) { tick(); });
}

void AnimationClock::layerGone(Layer* layer) { state().layers.erase(layer); }

bool AnimationClock::isRunning() const {
    auto& s = const_cast<AnimationClock*>(this)->state();
    return !s.layers.empty();
}

void AnimationClock::tick() {
    auto& s = state();
    double now = currentMediaTime();
    // Advancing may run code that adds or removes layers: work on a copy.
    std::vector<Layer*> layers(s.layers.begin(), s.layers.end());
    for (Layer* l : layers) {
        if (!s.layers.count(l)) continue;
        if (!l->advanceAnimations(now)) s.layers.erase(l);
    }
    if (s.layers.empty() && s.timer) {
        s.timer->invalidate();
        s.timer.reset();
    }
}

std::shared_ptr<Animation> AnimationClock::blockAction(Layer& layer, const std::string& key) {
    auto& s = state();
    if (s.blocks.empty() || !s.enabled) return nullptr;
    Block& b = s.blocks.back();
    if (b.settings.duration <= 0) return nullptr;
    PropertyValue from = b.settings.fromCurrentState ? layer.presentationValue(key, currentMediaTime())
                                                     : layer.valueForKey(key);
    if (std::holds_alternative<std::monostate>(from)) {
        // Nothing to start from (e.g. no background colour yet): start clear.
        if (key == "backgroundColor") from = Color::clear();
        else return nullptr;
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
