// Until the application's launch exists: shows the foundation layer at work by
// printing the main bundle's Info.plist values from a turn of the main run loop.
#include <string>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"

using namespace platform::foundation;

int main() {
    auto& loop = RunLoop::main();
    Timer::scheduled(0.0, false, [&](Timer&) {
        auto& bundle = Bundle::main();
        log("Bundle " + bundle.bundlePath());
        const Value& info = bundle.infoDictionary();
        if (info.size() == 0) log("No Info.plist values");
        for (auto& [key, value] : info.dictionary()) log(key + " = " + value.description());
        loop.stop();
    });
    loop.run();
    return 0;
}
