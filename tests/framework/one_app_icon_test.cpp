// A More-apps entry's icon: from the bundle, the caches folder or the maker's
// server, with the server's file name kept to a plain name and one encoded
// path segment, and downloads, decodes and cache files kept within bounds.
#include <fstream>
#include <sstream>

#include "more_apps_support.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Sandbox.h"
#include "tests/support/JpegWriter.h"

using namespace infotest;

namespace {

struct Listener : TWKOneAppDelegate {
    int calls = 0;
    int32_t row = -1;
    void iconDidLoad(std::shared_ptr<pg::Image>, int32_t r) override {
        ++calls;
        row = r;
    }
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class OneAppIconTest : public MoreAppsTest {
protected:
    // Looks the icon up as the background queue would, then lets it be published.
    std::shared_ptr<TWKOneApp> lookUp(const std::string& imageName) {
        auto app = std::make_shared<TWKOneApp>();
        app->setAppImageName(imageName);
        app->setAppRow(3);
        app->setDelegate(listener_);
        app->getImageInThread();
        settle();
        return app;
    }
    std::shared_ptr<Listener> listener_ = std::make_shared<Listener>();
};

}  // namespace

TEST_F(OneAppIconTest, OnlyPlainFileNamesAreLookedUpAndTheyTravelAsOneSegment) {
    const std::string prefs = pf::Sandbox::preferences() + "/org.quenmira.battery.plist";
    std::ofstream(prefs) << "settings";
    for (const char* name : {"../Preferences/org.quenmira.battery.plist", "sub/icon.png", ".png", "tab\there.png"}) {
        auto app = lookUp(name);
        EXPECT_EQ(app->appImage(), nullptr) << name;
    }
    EXPECT_EQ(server_->requestCount(), 0u);
    EXPECT_EQ(readFile(prefs), "settings");

    // Reserved characters stay in the name: nothing becomes a query or a fragment.
    const std::string icon = solidPNG(8, 8, 0, 0, 255);
    server_->on("/appicons/my icon#1?&x-2x.png", qmtest::HttpServerKit::Reply::bytes(icon, "image/png"));
    auto app = lookUp("my icon#1?&x.png");
    ASSERT_NE(app->appImage(), nullptr);
    EXPECT_EQ(server_->requests().at(0).query, "");
    EXPECT_EQ(listener_->calls, 1);
    EXPECT_EQ(listener_->row, 3);
    EXPECT_EQ(readFile(pf::Sandbox::caches() + "/my icon#1?&x@2x.png"), icon);
}

TEST_F(OneAppIconTest, OversizedDownloadsAndPicturesAreRefusedAndNotCached) {
    std::string huge = solidPNG(4, 4, 1, 2, 3);
    // The header of a small file declaring 8000 x 8000 pixels.
    for (int i : {16, 20}) huge.replace(size_t(i), 4, std::string("\x00\x00\x1f\x40", 4));
    server_->on("/appicons/huge-2x.png", qmtest::HttpServerKit::Reply::bytes(huge, "image/png"));
    server_->on("/appicons/wide-2x.png",
                qmtest::HttpServerKit::Reply::bytes(solidPNG(TWKOneApp::kMaxIconSide + 1, 2, 9, 9, 9), "image/png"));
    // A good picture followed by more bytes than an icon may have.
    server_->on("/appicons/long-2x.png",
                qmtest::HttpServerKit::Reply::bytes(
                    solidPNG(4, 4, 1, 2, 3) + std::string(TWKOneApp::kMaxIconBytes, '\0'), "image/png"));
    server_->on("/appicons/junk-2x.png", qmtest::HttpServerKit::Reply::bytes("not a picture", "image/png"));
    for (const char* name : {"huge", "wide", "long", "junk"}) {
        auto app = lookUp(std::string(name) + ".png");
        EXPECT_EQ(app->appImage(), nullptr) << name;
        EXPECT_FALSE(pf::FileManager::exists(pf::Sandbox::caches() + "/" + name + "@2x.png")) << name;
    }
    EXPECT_EQ(listener_->calls, 0);
    EXPECT_EQ(server_->requestCount(), 4u);
}

TEST_F(OneAppIconTest, ACacheFileThatDoesNotDecodeIsFetchedAgainAndAGoodOneWins) {
    const std::string cached = pf::Sandbox::caches() + "/flash@2x.png";
    std::ofstream(cached) << "half a picture";
    const std::string icon = solidPNG(6, 6, 0, 255, 0);
    server_->on("/appicons/flash-2x.png", qmtest::HttpServerKit::Reply::bytes(icon, "image/png"));
    ASSERT_NE(lookUp("flash.png")->appImage(), nullptr);
    EXPECT_EQ(readFile(cached), icon);
    // The next lookup reads the cache and asks nobody.
    ASSERT_NE(lookUp("flash.png")->appImage(), nullptr);
    EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(OneAppIconTest, JPEGIconsAndBundlePictures) {
    const auto jpeg = qmtest::solidJPEG(10, 10, 255, 0, 0);
    server_->on("/appicons/photo.jpg",
                qmtest::HttpServerKit::Reply::bytes(std::string(jpeg.begin(), jpeg.end()), "image/jpeg"));
    auto photo = lookUp("photo.jpg");
    ASSERT_NE(photo->appImage(), nullptr);
    EXPECT_EQ(photo->appImage()->scale(), 2.0);
    const auto p = photo->appImage()->pixelAt(5, 5);
    EXPECT_GT(p.r, 240);
    EXPECT_LT(p.g, 16);
    EXPECT_TRUE(pf::FileManager::exists(pf::Sandbox::caches() + "/photo@2x.jpg"));

    // A picture of the framework's bundle touches neither the caches folder nor the network.
    ASSERT_NE(lookUp("whitecircle.png")->appImage(), nullptr);
    EXPECT_FALSE(pf::FileManager::exists(pf::Sandbox::caches() + "/whitecircle@2x.png"));
    EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(OneAppIconTest, TheMakersHostComesFromTheEnvironmentThenTheInfoPlist) {
    EXPECT_EQ(TWKOneApp::makerHost(), "127.0.0.1:" + std::to_string(server_->port()));
    unsetenv(TWKOneApp::kMakerHostEnvironmentVariable);
    EXPECT_EQ(TWKOneApp::makerHost(), "apps.tarnowick.example");
    useInfoPlist("<key>twk-maker-host</key><string>lists.example:8080</string>");
    auto app = std::make_shared<TWKOneApp>();
    app->setAppImageName("a b.png");
    EXPECT_EQ(app->serverURL(), "http://lists.example:8080/appicons/a%20b-2x.png");
}
