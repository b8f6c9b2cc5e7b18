#include "framework/TWKMoreAppsBaseViewController.h"

#include <map>

#include "framework/TWKButtonDark.h"
#include "framework/TwkUtils.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/NavigationController.h"

namespace ui = platform::ui;
namespace pf = platform::foundation;

TWKMoreAppsBaseViewController::TWKMoreAppsBaseViewController(std::string nibName, const pf::Bundle* bundle)
    : TwkBaseViewController(std::move(nibName), bundle) {}

const pf::Bundle* TWKMoreAppsBaseViewController::resourceBundle() {
    // One per main-bundle location (tests move the main bundle).
    static std::map<std::string, std::shared_ptr<pf::Bundle>> bundles;
    const std::string key = pf::Bundle::main().bundlePath();
    auto it = bundles.find(key);
    if (it == bundles.end()) it = bundles.emplace(key, TwkUtils::getResourceBundle()).first;
    return it->second.get();
}

void TWKMoreAppsBaseViewController::loadNow() { view()->setBackgroundColor(TWKButtonDark::globalColorBG()); }

void TWKMoreAppsBaseViewController::declareConnections(ui::ConnectionTable& t) {
    TwkBaseViewController::declareConnections(t);
    t.outlet("containerView", containerView_);
}

void TWKMoreAppsBaseViewController::viewDidLoad() {
    if (needsDoneButton_) {
        std::weak_ptr<ui::ViewController> weak = weak_from_this();
        ui::navigationItem(*this)->setLeftBarButtonItem(
            std::make_shared<ui::BarButtonItem>(ui::BarButtonItem::SystemItem::Done, [weak] {
                if (auto self = std::dynamic_pointer_cast<TWKMoreAppsBaseViewController>(weak.lock()))
                    self->goBack(nullptr);
            }));
    }
    if (TwkUtils::onIPad() && containerView_) {
        containerView_->setBackgroundColor(platform::graphics::Color::clear());
        const auto b = view()->bounds();
        containerView_->setCenter({b.width() / 2, b.height() / 2});
        containerView_->setAutoresizingMask(ui::kAutoresizingFlexibleLeftMargin | ui::kAutoresizingFlexibleRightMargin |
                                            ui::kAutoresizingFlexibleHeight);
    }
    TwkBaseViewController::viewDidLoad();
}

bool TWKMoreAppsBaseViewController::shouldAutorotateToInterfaceOrientation(ui::InterfaceOrientation o) {
    return o == ui::InterfaceOrientation::Portrait;
}

void TWKMoreAppsBaseViewController::goBack(ui::Control*) {
    auto back = backTo_.lock();
    if (!back) return;
    std::weak_ptr<ui::ViewController> weak = back;
    back->dismissViewControllerAnimated(true, [weak] {
        auto presenter = weak.lock();
        if (!presenter || !dynamic_cast<TWKBackFromMoreApps*>(presenter.get())) return;
        pf::RunLoop::main().perform([weak] {
            if (auto p = weak.lock())
                if (auto* listener = dynamic_cast<TWKBackFromMoreApps*>(p.get())) listener->backFromMoreApps();
        });
    });
}
