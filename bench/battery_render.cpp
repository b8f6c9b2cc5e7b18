// The tinted battery at 2x for a phone-sized layer: one render per animation
// frame (goal: under 2 ms), and a drawing pass with unchanged level and colour,
// which must not render at all.
#include <benchmark/benchmark.h>

#include <memory>

#include "app/BatteryCALayer.h"
#include "app/BatteryImage.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/RunLoop.h"
#include "platform/graphics/Context.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Device.h"

namespace pg = platform::graphics;

namespace {

std::shared_ptr<BatteryCALayer> phoneLayer() {
    platform::foundation::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
    platform::ui::Device::current().setHardwareIdentifier("iPhone7,2");
    pg::Image::setScreenScale(2.0);
    pg::Image::clearNamedCache();
    auto layer = std::make_shared<BatteryCALayer>();
    layer->setContentsScale(2.0);
    layer->setBounds({0, 0, 140, 213});
    layer->setRed(0.0f);
    layer->setGreen(0.9f);
    layer->setBlue(0.0f);
    return layer;
}

// Every frame of a glide has a new level, so the combined picture is built
// again too, as it is on screen.
void BM_RenderTintedFrame(benchmark::State& state) {
    auto layer = phoneLayer();
    float level = 0.2f;
    for (auto _ : state) {
        level = level < 0.9f ? level + 0.001f : 0.2f;
        layer->setLevel(level);
        auto image = layer->renderInImageOfSize(layer->bounds());
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(BM_RenderTintedFrame)->Unit(benchmark::kMillisecond);

void BM_UnchangedPass(benchmark::State& state) {
    auto layer = phoneLayer();
    layer->setLevel(0.6f);
    auto ctx = pg::Context::beginImageContext({140, 213}, false, 2.0);
    layer->drawInContext(*ctx);  // the one render
    const auto rendered = BatteryImage::sharedInstance().renderedImage();
    int64_t renders = 0;
    for (auto _ : state) {
        layer->drawInContext(*ctx);
        if (BatteryImage::sharedInstance().renderedImage() != rendered) ++renders;
    }
    state.counters["renders"] = static_cast<double>(renders);
    if (renders != 0) state.SkipWithError("a pass with unchanged values rendered");
    platform::foundation::RunLoop::main().runUntilIdle();
}
BENCHMARK(BM_UnchangedPass)->Unit(benchmark::kMicrosecond);

}  // namespace
