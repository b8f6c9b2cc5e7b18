// Interface files: JSON view trees connected to an owner.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ui/Button.h"
#include "platform/ui/InterfaceLoader.h"
#include "platform/ui/Label.h"
#include "platform/ui/Switch.h"
#include "platform/ui/View.h"

using namespace platform::ui;

namespace {

class Owner : public NibObject {
public:
    std::shared_ptr<View> root;
    std::shared_ptr<Label> title;
    std::weak_ptr<Button> go;
    std::shared_ptr<Switch> toggle;

    void declareConnections(ConnectionTable& t) override {
        t.outlet("root", root);
        t.outlet("title", title);
        t.outlet("go", go);
        t.outlet("toggle", toggle);
        t.action("go:", [](Control&) {});
        t.action("done", [] {});
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Owner owner;
    platform::foundation::Error error;
    (void)InterfaceLoader::loadFromText(std::string(reinterpret_cast<const char*>(data), size), "Fuzz.json", nullptr,
                                        &owner, &error);
    return 0;
}
