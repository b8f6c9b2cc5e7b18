// A small view tree of the kinds the application uses: a gradient
// background, a tinted battery-like fill that rises, texts, a button, a
// switch, a slider and a scrolling list. Shown in a window when a display is
// reachable, or written as PNG with --snapshot FILE (after --after seconds of
// simulated time).
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Button.h"
#include "platform/ui/GradientLayer.h"
#include "platform/ui/HeadlessPresenter.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/SdlWindowPresenter.h"
#include "platform/ui/Slider.h"
#include "platform/ui/Switch.h"
#include "platform/ui/Window.h"

using namespace platform::ui;
using platform::foundation::RunLoop;
using platform::graphics::Font;

namespace {

// A fill with an animatable "level", drawn as a tinted rounded body.
class FillLayer : public Layer {
public:
    bool needsDisplayForKey(const std::string& key) const override { return key == "level"; }
    std::shared_ptr<Animation> actionForKey(const std::string& key) override {
        if (key != "level") return Layer::actionForKey(key);
        auto a = BasicAnimation::withKeyPath(key);
        a->setFromValue(presentationLayer()->valueForKey(key));
        a->setDuration(1.2);
        a->setTimingFunction(TimingFunction::named(TimingFunction::Name::EaseInEaseOut));
        return a;
    }
    void drawInContext(Context& ctx) override {
        Rect b = bounds();
        double level = doubleForKey("level");
        Rect fill{b.x() + 6, b.maxY() - 6 - (b.height() - 12) * level, b.width() - 12, (b.height() - 12) * level};
        ctx.setFillColor(Color::rgba(0.0, 0.9, 0.0));
        ctx.fill(platform::graphics::Path::roundedRect(fill, 10));
        ctx.setStrokeColor(Color::white(1, 0.9));
        ctx.setLineWidth(4);
        ctx.stroke(platform::graphics::Path::roundedRect(b.insetBy(2, 2), 16));
    }
};

std::shared_ptr<Label> label(Rect r, const std::string& text, double size, bool bold = false) {
    auto l = std::make_shared<Label>(r);
    l->setText(text);
    l->setFont(bold ? Font::boldSystemFont(size) : Font::systemFont(size));
    l->setTextColor(Color::whiteColor());
    return l;
}

}  // namespace

int main(int argc, char** argv) {
    std::string snapshot;
    double after = 2.0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--snapshot") && i + 1 < argc)
            snapshot = argv[++i];
        else if (!std::strcmp(argv[i], "--after") && i + 1 < argc)
            after = std::atof(argv[++i]);
    }
    bool headless = !snapshot.empty() || !SdlWindowPresenter::isDisplayAvailable();
    std::shared_ptr<platform::foundation::ManualClock> manual;
    if (headless) {
        manual = std::make_shared<platform::foundation::ManualClock>();
        platform::foundation::Clock::setCurrent(manual);
    }

    auto win = std::make_shared<Window>(Size{375, 667}, 2);
    auto root = std::make_shared<View>(Rect{0, 0, 375, 667});
    root->setBackgroundColor(Color::black());
    win->setRootView(root);

    auto gradient = std::make_shared<GradientLayer>();
    gradient->setFrame({0, 0, 667, 800});
    gradient->setColors({Color::white(0.0), Color::white(0.12), Color::white(0.2), Color::white(0.0)});
    gradient->setLocations({0.2, 0.5, 0.8, 1.0});
    root->layer()->insertSublayer(gradient, 0);

    auto fill = std::make_shared<FillLayer>();
    fill->setFrame({127, 60, 120, 220});
    fill->setContentsScale(2);
    fill->setValue("level", 0.15);
    root->layer()->addSublayer(fill);

    auto percent = label({0, 290, 375, 40}, "75%", 32, true);
    percent->setTextAlignment(TextAlignment::Center);
    percent->setAlpha(0);
    root->addSubview(percent);
    root->addSubview(label({0, 330, 375, 20}, "Demo phone. Firmware: 1.0", 13));

    auto button = std::make_shared<Button>(Rect{20, 360, 120, 34});
    button->setTitle("Settings");
    button->setTitleColor(Color::whiteColor());
    button->setTitleColor(Color::white(1, 0.3), kControlStateHighlighted);
    button->titleLabel()->setFont(Font::boldSystemFont(13));
    button->layer()->setCornerRadius(3.5);
    button->setBackgroundColor(Color::rgb255(3, 169, 244));
    root->addSubview(button);
    auto sw = std::make_shared<Switch>(Rect{160, 362, 0, 0});
    sw->setOn(true);
    root->addSubview(sw);
    auto slider = std::make_shared<Slider>(Rect{225, 362, 130, 31});
    slider->setValue(0.75);
    root->addSubview(slider);
    button->addTarget(
        nullptr,
        [&](Control&, const Event*) { fill->setValue("level", fill->doubleForKey("level") > 0.5 ? 0.2 : 0.9); },
        kControlEventTouchUpInside);
    slider->addTarget(
        nullptr, [&](Control& c, const Event*) { fill->setValue("level", static_cast<Slider&>(c).value()); },
        kControlEventValueChanged);

    auto scroll = std::make_shared<ScrollView>(Rect{0, 410, 375, 257});
    auto content = std::make_shared<View>(Rect{0, 0, 375, 600});
    const char* rows[] = {"Music",      "Browsing", "Video",           "Talk time",  "Games 2D", "Games 3D",
                          "Video chat", "Photos",   "Video recording", "Navigation", "Reading",  "Flashlight"};
    for (int i = 0; i < 12; ++i) {
        auto dot = std::make_shared<View>(Rect{20, 12.0 + i * 48, 24, 24});
        dot->setBackgroundColor(Color::rgba(0.5 + 0.5 * std::sin(i), 0.5 + 0.5 * std::cos(i * 1.3), 0.8));
        dot->layer()->setCornerRadius(12);
        content->addSubview(dot);
        content->addSubview(label({56, 10.0 + i * 48, 200, 28}, rows[i], 16));
        auto time = label({255, 10.0 + i * 48, 100, 28},
                          std::to_string(2 + i) + "h " + std::to_string(i * 7 % 60) + "m", 16, true);
        time->setTextAlignment(TextAlignment::Right);
        content->addSubview(time);
    }
    scroll->addSubview(content);
    scroll->setContentSize({375, 600});
    root->addSubview(scroll);

    // The launch animation: the fill rises, the percentage fades in.
    fill->setValue("level", 0.75);
    View::animate(0.5, 0.3, kAnimationOptionNone, [&] { percent->setAlpha(1); });

    if (headless) {
        auto presenter = std::make_shared<HeadlessPresenter>();
        win->setPresenter(presenter);
        RunLoop::current().runFor(after);
        std::string out = snapshot.empty() ? "viewdemo.png" : snapshot;
        platform::foundation::Error error;
        if (!presenter->snapshot(out, &error)) {
            std::fprintf(stderr, "viewdemo: could not write %s\n", out.c_str());
            return 1;
        }
        std::printf("wrote %s (%llu compositions)\n", out.c_str(), (unsigned long long)win->compositionCount());
        return 0;
    }
    auto presenter = std::make_shared<SdlWindowPresenter>("viewdemo", [] { RunLoop::current().stop(); });
    win->setPresenter(presenter);
    win->makeKeyAndVisible();
    RunLoop::current().run();
    std::printf("presented %llu frames in %llu compositions\n", (unsigned long long)presenter->presentedFrames(),
                (unsigned long long)win->compositionCount());
    return 0;
}
