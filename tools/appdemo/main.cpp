// A small application on the platform layer: a screen from an interface file
// with the battery's figures, a sheet that flips in, and an alert.
#include <memory>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Application.h"
#include "platform/ui/ClassRegistry.h"
#include "platform/ui/Device.h"
#include "platform/ui/Label.h"
#include "platform/ui/NotificationNames.h"
#include "platform/ui/Window.h"

using namespace platform::ui;
namespace pf = platform::foundation;

class DemoBack : public ViewController {
public:
    DemoBack() : ViewController("DemoBack") {}
    void declareConnections(ConnectionTable& t) override {
        ViewController::declareConnections(t);
        t.action("done", [this] { dismissViewControllerAnimated(true); });
    }
};

class DemoController : public ViewController {
public:
    DemoController() : ViewController("DemoView") {}
    std::shared_ptr<Label> title, battery, device;

    void declareConnections(ConnectionTable& t) override {
        ViewController::declareConnections(t);
        t.outlet("title", title);
        t.outlet("battery", battery);
        t.outlet("device", device);
        t.action("flip:", [this](Control&) {
            auto back = std::make_shared<DemoBack>();
            back->setModalTransitionStyle(ModalTransitionStyle::FlipHorizontal);
            presentViewController(back, true);
        });
        t.action("alert:", [](Control&) {
            Alert::make("Battery", "The charge is read from the power supply.", nullptr, "OK")->show();
        });
    }
    void viewDidLoad() override {
        Device& d = Device::current();
        d.setBatteryMonitoringEnabled(true);
        auto& center = pf::NotificationCenter::defaultCenter();
        for (const char* name : {kDeviceBatteryLevelDidChangeNotification, kDeviceBatteryStateDidChangeNotification,
                                 kScreenBrightnessDidChangeNotification})
            observers_.push_back(center.addObserver(name, nullptr, [this](const pf::Notification&) { refresh(); }));
        refresh();
    }
    void refresh() {
        Device& d = Device::current();
        battery->setText(pf::format("Battery %d %% (%s)", d.batteryPercentage(), batteryStateName(d.batteryState())));
        device->setText(d.model() + " " + d.hardwareIdentifier() + ", " + d.systemName() + " " + d.systemVersion() +
                        pf::format("\nbrightness %.2f", Screen::main().brightness()));
    }

private:
    std::vector<pf::Observer> observers_;
};

class DemoDelegate : public ApplicationDelegate {
public:
    std::shared_ptr<Window> window_;
    void declareConnections(ConnectionTable& t) override { t.outlet("window", window_); }
    std::shared_ptr<Window> window() const override { return window_; }
    bool didFinishLaunchingWithOptions(Application&, const pf::Value&) override {
        setRootViewController(*window_, std::make_shared<DemoController>());
        window_->makeKeyAndVisible();
        return true;
    }
};

int main(int argc, char** argv) {
    pf::Bundle::setMainBundlePath(APPDEMO_BUNDLE);
    ClassRegistry::add<DemoDelegate>("DemoDelegate");
    return applicationMain(argc, argv);
}
