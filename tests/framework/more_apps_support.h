#pragma once
// The More-apps tests: the information-area fixture with a loopback maker's
// server named by QUENMIRA_MAKER_HOST, test icons, and a pump that runs the
// main loop and the background queues until a state holds.
#include <cairo.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "framework/TWKMoreApps.h"
#include "framework/TWKMoreInfo.h"
#include "framework/TWKTableViewCell.h"
#include "info_support.h"
#include "platform/foundation/Dispatch.h"
#include "platform/graphics/Image.h"
#include "platform/ui/NavigationController.h"
#include "tests/support/HttpServerKit.h"
#include "tests/support/ShellTools.h"
#include "tests/support/WaitUntil.h"

namespace infotest {

namespace pg = platform::graphics;

// A `w` x `h` PNG of one opaque colour.
inline std::string solidPNG(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, r / 255.0, g / 255.0, b / 255.0);
    cairo_paint(cr);
    cairo_destroy(cr);
    auto bytes = pg::Image::fromSurface(s)->pngData();
    cairo_surface_destroy(s);
    return std::string(bytes.begin(), bytes.end());
}

class MoreAppsTest : public InfoTest {
protected:
    void SetUp() override {
        InfoTest::SetUp();
        ui::ClassRegistry::add<TWKTableViewCell>("TWKTableViewCell");
        TWKMoreApps::setLastFetchTime(0);
        server_ = std::make_unique<qmtest::HttpServerKit>();
        setenv(TWKOneApp::kMakerHostEnvironmentVariable, ("127.0.0.1:" + std::to_string(server_->port())).c_str(), 1);
        // Web links go to a browser that only writes them down.
        opened_ = home_ + "/opened.txt";
        const std::string browser = home_ + "/browser.sh";
        std::ofstream(browser) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " << qmtest::shellQuoted(opened_) << "\n";
        std::filesystem::permissions(browser, std::filesystem::perms::owner_all);
        ui::Application::shared().setBrowserCommand(browser);
    }
    void TearDown() override {
        unsetenv(TWKOneApp::kMakerHostEnvironmentVariable);
        server_.reset();
        InfoTest::TearDown();
    }
    // Runs the main loop and the background queues until `done` (at most
    // `seconds` of real time; a false `done` just lets work settle that long).
    bool pump(const std::function<bool()>& done, double seconds = 60) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            pf::RunLoop::main().runUntilIdle();
            pf::dispatch::drainGlobalQueues();
            pf::RunLoop::main().runUntilIdle();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    }
    // Opens the information area on the More-apps tab; its screen.
    std::shared_ptr<TWKMoreApps> openMoreApps() {
        root_->goMoreAppsBrowser(nullptr);
        settle(1);
        auto tabs = std::dynamic_pointer_cast<ui::TabBarController>(root_->presentedViewController());
        if (!tabs) return nullptr;
        tabs->setSelectedIndex(1);
        settle(0.5);
        auto nav = std::dynamic_pointer_cast<ui::NavigationController>(tabs->selectedViewController());
        return nav ? std::dynamic_pointer_cast<TWKMoreApps>(nav->topViewController()) : nullptr;
    }
    void closeArea() {
        root_->dismissViewControllerAnimated(false);
        settle(0.5);
    }
    std::string storedList() const {
        return pf::UserDefaults::standard().objectForKey("moreappslistcacheV5-en").stringValue();
    }

    // The web links opened so far, once `count` have come (the browser runs on its own).
    std::vector<std::string> openedURLs(size_t count) {
        std::vector<std::string> lines;
        qmtest::waitUntil([&] {
            lines.clear();
            std::ifstream in(opened_);
            for (std::string line; std::getline(in, line);) lines.push_back(line);
            return lines.size() >= count;
        });
        return lines;
    }

    std::unique_ptr<qmtest::HttpServerKit> server_;
    std::string opened_;
};

}  // namespace infotest
