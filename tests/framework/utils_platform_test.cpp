// Utilities that read the device, the screen, the bundle and the network.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "framework/TwkUtils.h"
#include "platform/audio/SystemSound.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/RunLoop.h"
#include "platform/graphics/Color.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Application.h"
#include "platform/ui/Device.h"
#include "platform/ui/Screen.h"
#include "tests/support/GlobalStateGuard.h"
#include "tests/support/HttpServerKit.h"

namespace pf = platform::foundation;
namespace ui = platform::ui;
namespace fs = std::filesystem;
using qmtest::HttpServerKit;

namespace {

void playDevice(const std::string& identifier) {
    ui::Device::resetCurrent();
    ui::Screen::resetMain();
    ui::Device::current().setHardwareIdentifier(identifier);
    ui::Screen::main().configure(ui::Device::current().profile());
}

class UtilsDevice : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;
};

TEST_F(UtilsDevice, LargePhone) {
    playDevice("iPhone7,1");  // 414 x 736 points
    EXPECT_FALSE(TwkUtils::onIPad());
    EXPECT_TRUE(TwkUtils::onLargeiPhone());
    EXPECT_DOUBLE_EQ(TwkUtils::screenHeight(), 736.0);
    EXPECT_EQ(TwkUtils::getDetectedDeviceName(), "iPhone6+");
    EXPECT_FALSE(TwkUtils::has4InchesScreen());
    EXPECT_EQ(TwkUtils::getHardwareModel(), "iPhone7,1");
    EXPECT_EQ(TwkUtils::getMachineName(), "iPhone7,1");
}

TEST_F(UtilsDevice, FourInchPhone) {
    playDevice("iPhone6,1");  // 320 x 568 at scale 2
    EXPECT_TRUE(TwkUtils::has4InchesScreen());
    EXPECT_FALSE(TwkUtils::onLargeiPhone());
    EXPECT_EQ(TwkUtils::getDetectedDeviceName(), "iPhone5");
    EXPECT_FLOAT_EQ(TwkUtils::getScale(), 2.0f);
}

TEST_F(UtilsDevice, OtherPhoneHeightsHaveNoName) {
    playDevice("iPhone3,1");  // 320 x 480
    EXPECT_EQ(TwkUtils::getDetectedDeviceName(), std::nullopt);
    playDevice("iPhone7,2");
    EXPECT_EQ(TwkUtils::getDetectedDeviceName(), "iPhone6");
}

TEST_F(UtilsDevice, Tablets) {
    playDevice("iPad6,8");  // the largest tablet
    EXPECT_TRUE(TwkUtils::onIPad());
    EXPECT_FALSE(TwkUtils::onLargeiPhone());
    EXPECT_FALSE(TwkUtils::has4InchesScreen());
    EXPECT_EQ(TwkUtils::getDetectedDeviceName(), "iPad");
    EXPECT_FALSE(TwkUtils::isIpadMini());
    playDevice("iPad2,6");
    EXPECT_TRUE(TwkUtils::isIpadMini());
}

TEST_F(UtilsDevice, PodAndSimulator) {
    playDevice("iPod5,1");
    EXPECT_EQ(TwkUtils::getDetectedDeviceName(), "iPod");
    playDevice("x86_64");
    EXPECT_EQ(TwkUtils::getDetectedDeviceName(), "iPhone6");
}

TEST(UtilsThreads, RunOnMainSafely) {
    pf::RunLoop::main();  // this thread is the main thread
    bool ran = false;
    TwkUtils::runOnMainSafely([&] { ran = true; });
    EXPECT_TRUE(ran);  // before returning

    bool ranFromWorker = false;
    std::thread([&] { TwkUtils::runOnMainSafely([&] { ranFromWorker = true; }); }).join();
    EXPECT_FALSE(ranFromWorker);  // queued on the main queue
    pf::RunLoop::main().runUntilIdle();
    EXPECT_TRUE(ranFromWorker);
}

TEST(UtilsColor, ComponentValue) {
    auto c = platform::graphics::Color::rgba(0.1, 0.2, 0.3, 0.4);
    EXPECT_FLOAT_EQ(TwkUtils::componentValue(2, c), 0.3f);
    EXPECT_FLOAT_EQ(TwkUtils::componentValue(3, c), 0.4f);
    auto grey = platform::graphics::Color::white(0.5, 0.25);
    EXPECT_FLOAT_EQ(TwkUtils::componentValue(1, grey), 0.25f);
    EXPECT_FLOAT_EQ(TwkUtils::componentValue(3, grey), 0.0f);
}

// A bundle folder with an Info.plist, for the Info.plist readers.
class UtilsBundle : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("twkutils-bundle-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    void info(pf::Value::Dictionary dict) {
        const auto path = (dir_ / "Info.plist").string();
        ASSERT_TRUE(pf::Value(dict).writeXMLPropertyListFile(path));
        pf::Bundle::setMainBundlePath(dir_.string(), path);
    }
    fs::path dir_;
    qmtest::GlobalStateGuard guard_;
};

struct NamedDelegate : ui::ApplicationDelegate, TWKApplicationDetails {
    std::string name;
    explicit NamedDelegate(std::string n) : name(std::move(n)) {}
    std::string getTarnowickAppName() override { return name; }
};

TEST_F(UtilsBundle, InfoPlistKeys) {
    info({{"CFBundleVersion", "2.4.1"}, {"ulvarek-brand", true}, {"twk-weblink", "http://example.org/app"}});
    EXPECT_EQ(TwkUtils::getAppVersionString(), "2.4.1");
    EXPECT_TRUE(TwkUtils::isUlmarokBrand());
    EXPECT_EQ(TwkUtils::getPlistKey("twk-weblink").stringValue(), "http://example.org/app");
    EXPECT_TRUE(TwkUtils::getPlistKey("twk-censor").isNull());
    EXPECT_EQ(TwkUtils::getAppFolder(), dir_.string());
    info({});
    EXPECT_FALSE(TwkUtils::isUlmarokBrand());
}

TEST_F(UtilsBundle, AppNameFromTheDelegateUnlessUntranslated) {
    info({{"CFBundleDisplayName", "Quenmira"}, {"CFBundleName", "QuenmiraBundle"}});
    EXPECT_EQ(TwkUtils::getAppNameTranslated(), "Quenmira");  // no delegate
    ui::Application::shared().setDelegate(std::make_shared<NamedDelegate>("Akku Doktor"));
    EXPECT_EQ(TwkUtils::getAppNameTranslated(), "Akku Doktor");
    ui::Application::shared().setDelegate(std::make_shared<NamedDelegate>("app_name_free"));
    EXPECT_EQ(TwkUtils::getAppNameTranslated(), "Quenmira");
}

// Without a display name or a translated one there is no name; the bundle
// name is not one.
TEST_F(UtilsBundle, AbsentAppNameIsNone) {
    ui::Application::shared().setDelegate(std::make_shared<NamedDelegate>("app_name_free"));
    info({{"CFBundleName", "QuenmiraBundle"}});
    EXPECT_EQ(TwkUtils::getAppNameTranslated(), std::nullopt);
    info({});
    EXPECT_EQ(TwkUtils::getAppNameTranslated(), std::nullopt);
    ui::Application::shared().setDelegate(std::make_shared<NamedDelegate>("Akku Doktor"));
    EXPECT_EQ(TwkUtils::getAppNameTranslated(), "Akku Doktor");
    info({{"CFBundleDisplayName", ""}});
    ui::Application::shared().setDelegate(nullptr);
    EXPECT_EQ(TwkUtils::getAppNameTranslated(), "") << "an empty display name is still one";
}

TEST_F(UtilsBundle, ResourceBundle) {
    info({});
    EXPECT_EQ(TwkUtils::getResourceBundle(), nullptr);
    EXPECT_EQ(TwkUtils::getResourcePath("About", "json"), std::nullopt);
    fs::create_directories(dir_ / "TWKResourcesMain.bundle");
    std::ofstream(dir_ / "TWKResourcesMain.bundle" / "About.json") << "{}";
    ASSERT_NE(TwkUtils::getResourceBundle(), nullptr);
    EXPECT_EQ(TwkUtils::getResourcePath("About", "json"), (dir_ / "TWKResourcesMain.bundle" / "About.json").string());
}

TEST_F(UtilsBundle, SoundPathsWithBlanksPlay) {
    const fs::path chime = fs::path(QM_BUNDLE_DIR) / "a.caf";
    if (!fs::exists(chime)) GTEST_SKIP() << "the bundle has no sound yet";
    fs::copy_file(chime, dir_ / "full charge.caf");
    info({});
    const size_t before = platform::audio::SystemSound::count();
    TwkUtils::playSimpleSoundWithName("full charge.caf");
    EXPECT_EQ(platform::audio::SystemSound::count(), before + 1);
    TwkUtils::playSimpleSoundWithName("missing.caf");
    EXPECT_EQ(platform::audio::SystemSound::count(), before + 1);
}

TEST(UtilsDownload, GzipTextFromTheBackend) {
    HttpServerKit server;
    server.on("/apps.txt", HttpServerKit::Reply::text("APPLISTVERSION 3\nBattery|1|2|3|4|5").gzipped());
    auto text = TwkUtils::loadFromBackendAsGzipWithURL(server.url("/apps.txt"));
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "APPLISTVERSION 3\nBattery|1|2|3|4|5");
    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "GET");
    EXPECT_EQ(r[0].header("User-Agent"), "gzip");
    EXPECT_EQ(r[0].header("Accept-Encoding"), "gzip");
}

TEST(UtilsDownload, OnlyASuccessIsAResult) {
    HttpServerKit server;
    server.on("/apps.txt", HttpServerKit::Reply::text("<html>Service Unavailable</html>", 503));
    server.on("/moved", HttpServerKit::Reply::redirect("/apps2.txt"));
    server.on("/apps2.txt", HttpServerKit::Reply::text("APPLISTVERSION 4"));
    server.on("/binary", HttpServerKit::Reply::bytes(std::string("\xff\xfe\x00", 3), "application/octet-stream"));
    server.on("/empty", HttpServerKit::Reply::text(""));
    EXPECT_EQ(TwkUtils::loadFromBackendAsGzipWithURL(server.url("/apps.txt")), std::nullopt);
    EXPECT_EQ(TwkUtils::loadFromBackendAsGzipWithURL(server.url("/moved")), "APPLISTVERSION 4");
    EXPECT_EQ(TwkUtils::loadFromBackendAsGzipWithURL(server.url("/binary")), std::nullopt);
    EXPECT_EQ(TwkUtils::loadFromBackendAsGzipWithURL(server.url("/empty")), "");
    EXPECT_EQ(TwkUtils::loadFromBackendAsGzipWithURL(qmtest::refusedURL()), std::nullopt);
}

}  // namespace

namespace {

TEST(UtilsAlert, ShownLaterOnTheMainQueueWithOneOKButton) {
    pf::RunLoop::main();
    const size_t before = ui::Alert::pending().size();
    TwkUtils::showAlertWithTitle("TLYKey MISSING", "I really hope this did NOT get released publicly...");
    EXPECT_EQ(ui::Alert::pending().size(), before);  // not yet
    pf::RunLoop::main().runUntilIdle();
    auto pending = ui::Alert::pending();
    ASSERT_EQ(pending.size(), before + 1);
    auto alert = pending.back();
    EXPECT_EQ(alert->title(), "TLYKey MISSING");
    EXPECT_EQ(alert->message(), "I really hope this did NOT get released publicly...");
    EXPECT_EQ(alert->delegate(), nullptr);
    ASSERT_EQ(alert->numberOfButtons(), 1);
    EXPECT_EQ(alert->buttonTitleAtIndex(0), "OK");
    alert->clickButtonAtIndex(0);
    pf::RunLoop::main().runUntilIdle();
}

}  // namespace
