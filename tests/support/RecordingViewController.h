#pragma once
// A view controller that writes each callback it hears from its container or
// window into a log as "<tag>.<callback>", with "+" after an animated
// appearance change: loading, appearing and disappearing, rotating, memory
// warnings. Tests of the containers compare the log with the platform's order.
#include <string>
#include <utility>
#include <vector>

#include "platform/ui/ViewController.h"

namespace qmtest {

class RecordingViewController : public platform::ui::ViewController {
public:
    RecordingViewController(std::string tag, std::vector<std::string>& log, std::string nib = "",
                            const platform::foundation::Bundle* bundle = nullptr)
        : ViewController(std::move(nib), bundle), tag_(std::move(tag)), log_(log) {}

    void viewDidLoad() override { record("viewDidLoad"); }
    void viewWillAppear(bool animated) override { record("viewWillAppear", animated); }
    void viewDidAppear(bool animated) override { record("viewDidAppear", animated); }
    void viewWillDisappear(bool animated) override { record("viewWillDisappear", animated); }
    void viewDidDisappear(bool animated) override { record("viewDidDisappear", animated); }
    void didReceiveMemoryWarning() override { record("memoryWarning"); }
    void willRotateToInterfaceOrientation(platform::ui::InterfaceOrientation, double) override { record("willRotate"); }
    void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation) override { record("didRotate"); }

private:
    void record(const char* callback, bool animated = false) {
        log_.push_back(tag_ + "." + callback + (animated ? "+" : ""));
    }
    std::string tag_;
    std::vector<std::string>& log_;
};

}  // namespace qmtest
