#pragma once
// The framework's base of an application delegate: the standard
// initialisation every application of the family runs first at launch
// (crash reporting, the framework's colours on the platform's controls,
// analytics in the background), and the delegate's window.
#include <memory>
#include <string>

#include "platform/graphics/Color.h"
#include "platform/graphics/Geometry.h"
#include "platform/ui/ApplicationDelegate.h"

namespace platform::graphics { class Image; }
class PKRPelkorManagerDelegate;

class TWKApplicationDelegate : public platform::ui::ApplicationDelegate {
public:
    std::shared_ptr<platform::ui::Window> window() const override { return window_; }
    void setWindow(std::shared_ptr<platform::ui::Window> window) { window_ = std::move(window); }
    // Outlet "window" of the main interface file.
    void declareConnections(platform::ui::ConnectionTable& table) override;

    // What an application calls first in its launch.
    void standardTarnowickInitialization();
    void standardTarnowickInitializationWithPelkorDelegate(PKRPelkorManagerDelegate* delegate);
    void finishStandardTarnowickInitialization();
    // The framework's colours on buttons, switches, bars and the window.
    void setGlobalColorStuff();
    // For applications that set up after a crash check; the base only complains.
    virtual void setupApplication();

    bool openURL(platform::ui::Application&, const std::string&, const std::string&,
                 const platform::foundation::Value&) override {
        return false;
    }

    // An image of `size` points (scale 1) filled with `color`, with corners of `radius`.
    static std::shared_ptr<platform::graphics::Image> imageFromColor(const platform::graphics::Color& color,
                                                                     platform::graphics::Size size, double radius);

protected:
    std::shared_ptr<platform::ui::Window> window_;
};
