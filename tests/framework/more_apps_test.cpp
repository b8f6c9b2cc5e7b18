// The More-apps tab against a loopback maker's server: the list is fetched
// with every value encoded, shown, stored for the next launch and refreshed
// at most once a minute; bad answers leave the stored list or a message.
#include <fstream>
#include <sstream>

#include "more_apps_support.h"
#include "platform/foundation/Sandbox.h"

using namespace infotest;

namespace {

const std::string kList =
    "APPLISTVERSION|5\n"
    "comtarnowickflashlight||flash.png|https://tarnowick.example/s/flash|Flashlight|A bright light when you need one.\n"
    "comtarnowicknotes|||http://notes.example/|Notes|Quick notes.\n"
    "orgquenmirabattery||q.png|http://x.example/|Quenmira|The application itself: never listed.\n"
    "short|a|b|c|d\n";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class MoreAppsListTest : public MoreAppsTest {
protected:
    void serveList(const std::string& list = kList) {
        server_->on("/applist_en", qmtest::HttpServerKit::Reply::text(list).gzipped());
        server_->on("/appicons/flash-2x.png", qmtest::HttpServerKit::Reply::bytes(icon_, "image/png"));
    }
    // The More-apps tab, once its list and the first entry's icon are in.
    std::shared_ptr<TWKMoreApps> openAndLoad() {
        auto screen = openMoreApps();
        if (!screen) return nullptr;
        pump([&] { return screen->allApps().size() == 2 && screen->allApps()[0]->appImage(); });
        return screen;
    }
    std::shared_ptr<TWKTableViewCell> cell(const std::shared_ptr<TWKMoreApps>& screen, int64_t row) {
        return std::dynamic_pointer_cast<TWKTableViewCell>(screen->tableViewMain()->cellForRowAtIndexPath({0, row}));
    }
    // Whether the composed window shows the icon's colour somewhere.
    bool windowShowsIcon() {
        auto image = window_->composedImage();
        for (int y = 0; y < image->pixelHeight(); y += 2)
            for (int x = 0; x < image->pixelWidth(); x += 2)
                if (image->pixelAt(x, y) == pg::Image::Pixel{255, 255, 0, 255}) return true;
        return false;
    }

    const std::string icon_ = solidPNG(57, 57, 255, 0, 255);
};

}  // namespace

TEST_F(MoreAppsListTest, AFirstVisitFetchesWithEncodedValuesShowsAndStoresTheList) {
    // A locale that would forge parameters if it went into the query as it is.
    pf::UserDefaults::standard().setObject("AppleLocale", pf::Value("en_US&qbeni=1?#"));
    serveList();
    // The list is held back until the screen has been seen waiting for it.
    auto held = qmtest::HttpServerKit::Reply::text(kList).gzipped();
    held.hang = true;
    server_->enqueue("/applist_en", held);
    auto screen = openMoreApps();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->labelWait()->text(), "Loading the list of apps…");
    EXPECT_EQ(screen->labelWait()->alpha(), 1.0);
    ASSERT_TRUE(server_->waitForRequests(1, 30));
    server_->releaseHangs();

    ASSERT_TRUE(pump([&] { return screen->allApps().size() == 2 && screen->allApps()[0]->appImage(); }));
    auto lists = server_->requests("/applist_en");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].header("User-Agent"), "gzip");
    EXPECT_EQ(lists[0].params.at("locale"), "en_US&qbeni=1?#");
    EXPECT_EQ(lists[0].params.at("qbeni"), "0");
    EXPECT_NE(lists[0].query.find("locale=en_US%26qbeni%3D1%3F%23&"), std::string::npos) << lists[0].query;
    EXPECT_EQ(lists[0].params.at("appident"), "orgquenmirabattery");
    EXPECT_EQ(lists[0].params.at("mav"), "2");
    EXPECT_EQ(server_->requests("/appicons/flash-2x.png").size(), 1u);

    // On this 2x screen the icon is asked for as "-2x.png" and kept as "@2x.png".
    // Both rows, with text; the icon in the first, the placeholder-free text row second.
    EXPECT_EQ(screen->labelWait()->alpha(), 0.0);
    ASSERT_EQ(screen->tableViewMain()->numberOfRowsInSection(0), 2);
    auto first = cell(screen, 0), second = cell(screen, 1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->labelTitle()->text(), "Flashlight");
    EXPECT_EQ(second->labelBody()->text(), "Quick notes.");
    ASSERT_NE(first->imageIcon()->image(), nullptr);
    EXPECT_EQ(first->imageIcon()->image()->pixelAt(10, 10), (pg::Image::Pixel{255, 255, 0, 255}));
    EXPECT_FALSE(first->appStoreIcon()->isHidden());
    EXPECT_EQ(second->imageIcon()->image(), nullptr) << "no icon name, no placeholder";
    EXPECT_TRUE(windowShowsIcon());
    EXPECT_TRUE(writeSnapshot("more-apps-list.png"));

    EXPECT_EQ(storedList(), kList);
    EXPECT_EQ(readFile(pf::Sandbox::caches() + "/flash@2x.png"), icon_);
}

TEST_F(MoreAppsListTest, AfterARelaunchTheStoredListAndIconsShowWithoutTheServer) {
    serveList();
    ASSERT_NE(openAndLoad(), nullptr);
    closeArea();
    const size_t before = server_->requestCount();
    server_->stop();
    // A new process: no fetch yet, no pictures in memory.
    TWKMoreApps::setLastFetchTime(0);
    pg::Image::clearNamedCache();

    auto screen = openMoreApps();
    ASSERT_NE(screen, nullptr);
    ASSERT_TRUE(pump([&] { return screen->allApps().size() == 2 && screen->allApps()[0]->appImage(); }));
    EXPECT_EQ(cell(screen, 0)->labelTitle()->text(), "Flashlight");
    EXPECT_EQ(cell(screen, 0)->imageIcon()->image()->pixelAt(3, 3), (pg::Image::Pixel{255, 255, 0, 255}));
    ASSERT_TRUE(pump([&] { return TWKMoreApps::lastFetchTime() == 0; })) << "the failed fetch allows the next one";
    EXPECT_EQ(screen->labelWait()->alpha(), 0.0) << "the stored list stays without a message";
    EXPECT_EQ(server_->requestCount(), before);
    EXPECT_TRUE(windowShowsIcon());
}

TEST_F(MoreAppsListTest, TheListIsFetchedAtMostOnceAMinuteAndAnUnchangedAnswerChangesNothing) {
    serveList();
    auto screen = openAndLoad();
    ASSERT_NE(screen, nullptr);
    const auto entries = screen->allApps();
    closeArea();
    clock_->advance(30);
    screen = openMoreApps();
    // A new screen has no list on screen yet: it shows the stored one and fetches.
    ASSERT_TRUE(pump([&] { return server_->requests("/applist_en").size() == 2 && screen->allApps().size() == 2; }));

    // The same screen appearing again within the minute does not fetch.
    screen->viewWillAppear(false);
    pump([] { return false; }, 0.3);
    EXPECT_EQ(server_->requests("/applist_en").size(), 2u);
    // A minute later it does; the identical answer keeps the entries and loads no icon.
    const auto shown = screen->allApps();
    clock_->advance(61);
    screen->viewWillAppear(false);
    ASSERT_TRUE(pump([&] { return server_->requests("/applist_en").size() == 3; }));
    pump([] { return false; }, 0.3);
    EXPECT_EQ(screen->allApps(), shown);
    EXPECT_EQ(server_->requests("/appicons/flash-2x.png").size(), 1u) << "the icon came from the caches folder";
    EXPECT_NE(entries, shown);
}

TEST_F(MoreAppsListTest, FailedFetchesShowTheNetworkMessageOnlyWithoutAList) {
    // An error page, an oversized list, a list without any usable record.
    std::string huge = "APPLISTVERSION|5\n";
    while (huge.size() <= TWKMoreApps::kMaxListBytes)
        huge += "id|m||http://a.example/|Name|" + std::string(200, 'x') + "\n";
    const std::vector<qmtest::HttpServerKit::Reply> replies = {
        qmtest::HttpServerKit::Reply::text(kList, 500), qmtest::HttpServerKit::Reply::text(huge).gzipped(),
        qmtest::HttpServerKit::Reply::text("APPLISTVERSION|5\norgquenmirabattery||q.png|http://x/|Self|Own entry\n")};
    for (const auto& reply : replies) {
        server_->enqueue("/applist_en", reply);
        TWKMoreApps::setLastFetchTime(0);
        auto screen = openMoreApps();
        ASSERT_NE(screen, nullptr);
        ASSERT_TRUE(pump([&] { return screen->labelWait()->text() != "Loading the list of apps…"; }));
        settle(0.3);
        EXPECT_EQ(screen->labelWait()->text(), "The list of apps needs a network connection.");
        EXPECT_EQ(screen->labelWait()->alpha(), 1.0);
        EXPECT_EQ(TWKMoreApps::lastFetchTime(), 0.0);
        EXPECT_TRUE(screen->allApps().empty());
        EXPECT_EQ(storedList(), "");
        closeArea();
    }
}

TEST_F(MoreAppsListTest, AListThatDoesNotArriveInTimeFails) {
    server_->on("/applist_en", qmtest::HttpServerKit::Reply::hanging());
    auto screen = openMoreApps();
    ASSERT_NE(screen, nullptr);
    ASSERT_TRUE(server_->waitForRequests(1));
    clock_->advance(TWKMoreApps::kListDeadline + 1);
    ASSERT_TRUE(pump([&] { return screen->labelWait()->text() == "The list of apps needs a network connection."; }));
    server_->releaseHangs();
}

TEST_F(MoreAppsListTest, CensoredAndOwnEntriesAreDropped) {
    useInfoPlist(
        "<key>CFBundleIdentifier</key><string>org.Quenmira.Battery</string><key>twk-censor</key><integer>1</integer>"
        "<key>twk-shortlink-free</key><string>https://tarnowick.example/s/q</string>"
        "<key>twk-weblink</key><string>https://tarnowick.example/q</string>");
    serveList(
        "APPLISTVERSION|5\n"
        "orgquenmirabattery||q.png|http://x.example/|Self|own\n"
        "comtarnowicksecret|inquisition||http://y.example/|Secret|marked\n"
        "comtarnowickshown|inquisitionx||http://z.example/|Shown|not marked|seventh field ignored\r\n"
        "comtarnowicktext|||||a text row\n");
    auto screen = openMoreApps();
    ASSERT_NE(screen, nullptr);
    ASSERT_TRUE(pump([&] { return screen->allApps().size() == 2; }));
    EXPECT_EQ(screen->allApps()[0]->appName(), "Shown");
    EXPECT_EQ(screen->allApps()[0]->appDescription(), "not marked");
    EXPECT_EQ(screen->allApps()[1]->appRow(), 1);
    EXPECT_EQ(server_->requests("/applist_en").at(0).params.at("qbeni"), "1");

    // A text row: no selection, the text over the whole cell; tapping it opens nothing.
    auto text = cell(screen, 1);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->selectionStyle(), ui::TableViewCellSelectionStyle::None);
    EXPECT_EQ(text->labelBody()->frame().origin.x, 12.0);
    screen->didSelectRowAtIndexPath(*screen->tableViewMain(), {0, 1});
    screen->didSelectRowAtIndexPath(*screen->tableViewMain(), {0, 0});
    EXPECT_EQ(openedURLs(1), std::vector<std::string>{"http://z.example/"});
}

TEST_F(MoreAppsListTest, IconsForRowsOfAnEarlierListAndGoneScreensAreHarmless) {
    serveList();
    auto screen = openAndLoad();
    ASSERT_NE(screen, nullptr);
    // A shorter list replaces it: the table knows at once.
    ASSERT_TRUE(screen->parseListFile(std::string("APPLISTVERSION|6\nonly||||Only|one text row\n")));
    EXPECT_EQ(screen->tableViewMain()->numberOfRowsInSection(0), 1);
    // An icon of the earlier list arrives for a row that no longer exists.
    EXPECT_NO_THROW(screen->iconDidLoad(nullptr, 1));
    EXPECT_NO_THROW(screen->iconDidLoad(nullptr, 0));
    EXPECT_EQ(screen->tableViewMain()->numberOfRowsInSection(0), 1);

    // The entries do not keep their screen alive.
    auto entry = screen->allApps().at(0);
    std::weak_ptr<TWKMoreApps> weak = screen;
    screen.reset();
    closeArea();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(entry->delegate(), nullptr);
}

TEST(MoreAppsParser, OnlyTextsThatBeginWithTheHeaderAreLists) {
    EXPECT_FALSE(TWKMoreApps::parseAppList(" APPLISTVERSION|1\na|b|c|d|e|f"));
    EXPECT_FALSE(TWKMoreApps::parseAppList("APPLISTVERSION|1"));
    EXPECT_FALSE(TWKMoreApps::parseAppList("APPLISTVERSION\na|b|c|d|e|f"));
    auto records = TWKMoreApps::parseAppList("APPLISTVERSION|1\n\na|b|c|d|e\na|b|c|d|e|f\r\n");
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 1u);
    EXPECT_EQ(records->at(0).description, "f\r") << "nothing is trimmed";
}

namespace {

std::string describe(const ui::Rect& r) {
    std::ostringstream s;
    s << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
    return s.str();
}

// Plays a phone or a tablet for the whole test, window included.
class MoreAppsRowsTest : public MoreAppsListTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        ui::Device::current().setHardwareIdentifier(GetParam());
        ui::Screen::main().configure(ui::Device::current().profile());
        MoreAppsListTest::SetUp();
    }
};

}  // namespace

TEST_P(MoreAppsRowsTest, EachBodyLiesInsideItsCellOnceTheTableHasLaidItOut) {
    const std::string words =
        "A long description of what this application does for its users, told in many words so that it fills "
        "several lines of the row at any width a device has.";
    serveList("APPLISTVERSION|5\n"
              "comtarnowickflashlight||flash.png|https://tarnowick.example/s/flash|Flashlight|" + words + "\n"
              "comtarnowicktext|||||" + words + "\n"
              "comtarnowicknoicon||missing.png|http://n.example/|No icon|" + words + "\n");
    auto screen = openMoreApps();
    ASSERT_NE(screen, nullptr);
    ASSERT_TRUE(pump([&] {
        if (screen->allApps().size() != 3 || !screen->allApps()[0]->appImage()) return false;
        for (const auto& r : server_->requests())
            if (r.path.find("missing") != std::string::npos) return true;
        return false;
    }));
    pump([] { return false; }, 0.2);  // the failed icon has nothing to reload
    auto table = screen->tableViewMain();
    table->layoutIfNeeded();
    const double width = table->bounds().width();
    ASSERT_GT(width, 0);
    for (int64_t row = 0; row < 3; ++row) {
        auto c = cell(screen, row);
        ASSERT_NE(c, nullptr) << row;
        c->layoutIfNeeded();
        const ui::Rect cellBounds = c->bounds();
        EXPECT_EQ(cellBounds.width(), width) << row;
        EXPECT_EQ(cellBounds.height(), table->rectForRowAtIndexPath({0, row}).height()) << row;
        auto body = c->labelBody();
        const ui::Rect inCell = body->convertRectTo(body->bounds(), c.get());
        const ui::Rect expected = row == 1 ? ui::Rect{12, 6, width - 24, cellBounds.height() - 12}
                                           : ui::Rect{84, 32, width - 96, cellBounds.height() - 43};
        EXPECT_EQ(describe(inCell), describe(expected)) << GetParam() << " row " << row;
        // Every line of the text fits the label: none is cut at the side or the bottom.
        const auto fits = body->font().sizeOfText(words, inCell.width(), 0);
        EXPECT_LE(fits.height, inCell.height() + 0.5) << GetParam() << " row " << row;
    }
}

INSTANTIATE_TEST_SUITE_P(PhoneAndTablet, MoreAppsRowsTest, ::testing::Values("iPhone7,2", "iPad3,4"));
