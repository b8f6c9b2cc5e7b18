// Composing a phone-sized frame (750 x 1334 pixels) of 60 layers: images,
// text, a gradient and translucency. Goal: under 8 ms a frame on one core
// (BM_ComposeFullFrame redraws every pixel; BM_ComposeFrame moves one view and
// redraws only around it). An idle window composes nothing.
#include <benchmark/benchmark.h>

#include <memory>

#include "platform/graphics/Context.h"
#include "platform/ui/GradientLayer.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/Window.h"

using namespace platform::ui;
using platform::graphics::Font;

namespace {

std::shared_ptr<Image> icon(double size, Color c) {
    auto ctx = Context::beginImageContext({size, size}, false, 2);
    ctx->setFillColor(c);
    ctx->fillEllipseInRect({0, 0, size, size});
    ctx->setFillColor(Color::white(1, 0.6));
    ctx->fillEllipseInRect({size * 0.25, size * 0.2, size * 0.3, size * 0.3});
    return ctx->image();
}

// The main screen's shape: gradient background, a battery picture, rows of
// icon + title + figure, a few translucent boxes.
std::shared_ptr<Window> buildScreen(std::shared_ptr<View>* moving) {
    auto win = std::make_shared<Window>(Size{375, 667}, 2);
    auto root = std::make_shared<View>(Rect{0, 0, 375, 667});
    win->setRootView(root);
    auto bg = std::make_shared<ImageView>(Rect{0, 0, 375, 667});
    auto gradient = std::make_shared<GradientLayer>();
    gradient->setFrame({0, 0, 667, 800});
    gradient->setColors({Color::white(0), Color::white(0.12), Color::white(0.2), Color::white(0)});
    gradient->setLocations({0.2, 0.5, 0.8, 1.0});
    bg->layer()->insertSublayer(gradient, 0);
    root->addSubview(bg);
    auto battery = std::make_shared<ImageView>(Rect{110, 60, 155, 260});
    battery->setImage(icon(120, Color::rgba(0, 0.9, 0)));
    root->addSubview(battery);
    int layers = 3;
    auto iconImage = icon(30, Color::rgb255(3, 169, 244));
    for (int row = 0; layers + 3 <= 57; ++row) {
        double y = 340 + row * 30;
        auto iv = std::make_shared<ImageView>(iconImage);
        iv->setFrame({16, y, 26, 26});
        auto title = std::make_shared<Label>(Rect{50, y, 180, 26});
        title->setText("Row " + std::to_string(row) + " usage");
        title->setTextColor(Color::whiteColor());
        title->setFont(Font::systemFont(15));
        auto figure = std::make_shared<Label>(Rect{240, y, 120, 26});
        figure->setText(std::to_string(row + 1) + "h " + std::to_string(row * 7 % 60) + "m");
        figure->setTextColor(Color::whiteColor());
        figure->setFont(Font::boldSystemFont(15));
        figure->setAlpha(0.8);
        root->addSubview(iv);
        root->addSubview(title);
        root->addSubview(figure);
        layers += 3;
    }
    for (; layers < 60; ++layers) {
        auto box = std::make_shared<View>(Rect{20.0 + layers, 30, 60, 20});
        box->setBackgroundColor(Color::white(0, 0.8));
        box->setAlpha(0.5);
        box->layer()->setCornerRadius(6);
        root->addSubview(box);
        *moving = box;
    }
    return win;
}

void BM_ComposeFrame(benchmark::State& state) {
    std::shared_ptr<View> moving;
    auto win = buildScreen(&moving);
    win->composedImage();  // first frame draws every layer's contents
    double x = 0;
    for (auto _ : state) {
        moving->setCenter({100 + (x += 0.5), 40});  // one change per frame, as in an animation
        benchmark::DoNotOptimize(win->composedImage());
    }
    auto img = win->composedImage();
    state.counters["pixels"] = img->pixelWidth() * img->pixelHeight();
}
BENCHMARK(BM_ComposeFrame)->Unit(benchmark::kMillisecond);

// Every pixel recomposed each frame (the window's own background changes).
void BM_ComposeFullFrame(benchmark::State& state) {
    std::shared_ptr<View> moving;
    auto win = buildScreen(&moving);
    win->composedImage();
    bool odd = false;
    for (auto _ : state) {
        win->setBackgroundColor((odd = !odd) ? Color::black() : Color::rgba(0, 0, 0.01));
        benchmark::DoNotOptimize(win->composedImage());
    }
    state.counters["redrawn_pixels"] =
        win->lastDamage().empty() ? 0 : win->lastDamage()[0].width() * win->lastDamage()[0].height();
}
BENCHMARK(BM_ComposeFullFrame)->Unit(benchmark::kMillisecond);

void BM_IdleWindow(benchmark::State& state) {
    std::shared_ptr<View> moving;
    auto win = buildScreen(&moving);
    win->composedImage();
    uint64_t before = win->compositionCount();
    for (auto _ : state) benchmark::DoNotOptimize(win->composedImage());
    state.counters["compositions"] = double(win->compositionCount() - before);
}
BENCHMARK(BM_IdleWindow);

}  // namespace
