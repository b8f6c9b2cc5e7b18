// Web view: pages from a string with a base URL, from file URLs and from a
// loopback server, the delegate's decisions on loads and link taps,
// start/finish/fail on later turns of the main loop, the errors of
// unsupported, missing and unreachable pages, the two scripts, URL
// resolution, and text that really reaches the pixels.
#include <gtest/gtest.h>

#include <cairo.h>

#include <chrono>

#include "app_test_support.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Screen.h"
#include "platform/ui/WebView.h"
#include "platform/ui/Window.h"
#include "tests/support/GlobalStateGuard.h"
#include "tests/support/HttpServerKit.h"

using namespace platform::ui;
namespace pf = platform::foundation;

namespace {

class Recorder : public WebViewDelegate {
public:
    std::vector<std::string> log;
    std::function<bool(const std::string&, WebViewNavigationType)> decide;
    pf::Error lastError;

    bool shouldStartLoadWithRequest(WebView&, const std::string& url, WebViewNavigationType type) override {
        log.push_back(std::string(type == WebViewNavigationType::LinkClicked ? "link " : "load ") + url);
        return decide ? decide(url, type) : true;
    }
    void webViewDidStartLoad(WebView&) override { log.push_back("start"); }
    void webViewDidFinishLoad(WebView& w) override { log.push_back("finish " + w.title()); }
    void didFailLoadWithError(WebView&, const pf::Error& e) override {
        lastError = e;
        log.push_back("fail " + e.domain + " " + std::to_string(e.code));
    }
};

class WebViewTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        pf::Clock::setCurrent(clock_);
        platform::graphics::Image::setScreenScale(1);
        web_ = std::make_shared<WebView>(Rect{0, 0, 320, 400});
        web_->setDelegate(&delegate_);
        base_ = "file://" + dir_.path() + "/";
    }
    void TearDown() override {
        web_.reset();
        pf::RunLoop::main().runUntilIdle();
    }
    // A PNG of `w` x `h` pixels in one colour, in the test's folder.
    void writePNG(const std::string& name, int w, int h) {
        cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
        cairo_t* cr = cairo_create(s);
        cairo_set_source_rgb(cr, 1, 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_write_to_png(s, dir_.file(name).c_str());
        cairo_surface_destroy(s);
    }
    void turn() { pf::RunLoop::main().runOnce(0); }
    void settle() { pf::RunLoop::main().runUntilIdle(); }
    // Runs the main loop until the load over the network has ended (a bounded wait).
    bool settleLoad() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (web_->isLoading() && std::chrono::steady_clock::now() < end) pf::RunLoop::main().runOnce(0.01);
        settle();
        return !web_->isLoading();
    }
    // Dark pixels of the composed window: drawn text.
    static int darkPixels(const platform::graphics::Image& image, int width, int height) {
        int dark = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                auto p = image.pixelAt(x, y);
                dark += p.r < 60 && p.g < 60 && p.b < 60;
            }
        return dark;
    }

    qmtest::TempDir dir_;
    std::string base_;
    std::shared_ptr<pf::ManualClock> clock_ = std::make_shared<pf::ManualClock>();
    std::shared_ptr<WebView> web_;
    Recorder delegate_;
};

using Log = std::vector<std::string>;

const char* kLinkPage = R"(<html><head><title>First</title></head>
<body style="margin: 0"><a href="next.html" style="display: block; height: 100px; font-size: 40px">Next</a>
<a href="#below" style="display: block; height: 100px">Below</a><p id="below">end</p></body></html>)";

}  // namespace

TEST_F(WebViewTest, AStringLoadsAgainstItsBaseOnLaterTurns) {
    writePNG("dot.png", 40, 150);
    web_->loadHTMLString(
        "<html><head><title>Hi there</title></head><body><p>Hello</p>"
        "<img src=\"dot.png\"></body></html>",
        base_);
    EXPECT_EQ(delegate_.log, (Log{"load " + base_}));
    EXPECT_TRUE(web_->isLoading());
    EXPECT_EQ(web_->requestURL(), base_);
    EXPECT_EQ(web_->title(), "") << "nothing is laid out before the loop turns";

    turn();
    EXPECT_EQ(delegate_.log, (Log{"load " + base_, "start"}));
    EXPECT_TRUE(web_->isLoading());
    turn();
    EXPECT_EQ(delegate_.log, (Log{"load " + base_, "start", "finish Hi there"}));
    EXPECT_FALSE(web_->isLoading());
    EXPECT_EQ(web_->title(), "Hi there");
    EXPECT_GT(web_->pageSize().height, 150) << "the image from the base folder takes its height";
    EXPECT_EQ(web_->scrollView()->contentSize().height, web_->pageSize().height);

    // Without a base the page is about:blank and the image is not found.
    delegate_.log.clear();
    web_->loadHTMLString("<body><img src=\"dot.png\"></body>", "");
    settle();
    EXPECT_EQ(delegate_.log, (Log{"load about:blank", "start", "finish "}));
    EXPECT_LT(web_->pageSize().height, 150);
}

TEST_F(WebViewTest, ARefusedLoadLeavesThePageAsItWas) {
    web_->loadHTMLString("<title>Kept</title><p>x</p>", base_);
    settle();
    delegate_.log.clear();
    delegate_.decide = [](const std::string&, WebViewNavigationType) { return false; };
    web_->loadHTMLString("<title>Other</title>", "file:///elsewhere/");
    web_->loadRequest(base_ + "page.html");
    settle();
    EXPECT_EQ(delegate_.log, (Log{"load file:///elsewhere/", "load " + base_ + "page.html"}));
    EXPECT_FALSE(web_->isLoading());
    EXPECT_EQ(web_->title(), "Kept");
    EXPECT_EQ(web_->requestURL(), base_);
}

TEST_F(WebViewTest, ALinkTapIsTheDelegatesDecision) {
    dir_.write("next.html", "<title>Second</title><p>two</p>");
    web_->loadHTMLString(kLinkPage, base_);
    settle();
    EXPECT_EQ(web_->linkAtPoint({20, 50}), base_ + "next.html");
    EXPECT_EQ(web_->linkAtPoint({20, 150}), base_ + "#below");
    EXPECT_EQ(web_->linkAtPoint({20, 250}), "");
    delegate_.log.clear();

    // Refused: nothing loads.
    delegate_.decide = [](const std::string&, WebViewNavigationType t) {
        return t != WebViewNavigationType::LinkClicked;
    };
    web_->tapAtPoint({20, 50});
    settle();
    EXPECT_EQ(delegate_.log, (Log{"link " + base_ + "next.html"}));
    EXPECT_EQ(web_->title(), "First");

    // A fragment of this page is no navigation; a tap beside the links neither.
    delegate_.log.clear();
    web_->tapAtPoint({20, 150});
    web_->tapAtPoint({20, 250});
    settle();
    EXPECT_TRUE(delegate_.log.empty());

    // Allowed, tapped through a window: asked once, then loaded.
    delegate_.decide = nullptr;
    auto window = std::make_shared<Window>(Size{320, 400}, 1);
    window->addSubview(web_);
    window->layoutIfNeeded();
    window->sendPointer(PointerPhase::Down, {20, 50});
    window->sendPointer(PointerPhase::Up, {20, 50});
    settle();
    EXPECT_EQ(delegate_.log, (Log{"link " + base_ + "next.html", "start", "finish Second"}));
    EXPECT_EQ(web_->requestURL(), base_ + "next.html");
    EXPECT_EQ(web_->delegate(), &delegate_);
}

TEST_F(WebViewTest, FileURLsLoadTheirFileAndMissingOnesFail) {
    dir_.write("with space.html", "<title>Spaced</title><p>file</p>");
    const std::string url = base_ + "with%20space.html";
    web_->loadRequest(url);
    settle();
    EXPECT_EQ(delegate_.log, (Log{"load " + url, "start", "finish Spaced"}));
    EXPECT_EQ(web_->requestURL(), url);

    delegate_.log.clear();
    web_->loadRequest(base_ + "absent.html");
    settle();
    EXPECT_EQ(delegate_.log, (Log{"load " + base_ + "absent.html", "start",
                                  "fail NSURLErrorDomain " + std::to_string(kURLErrorFileDoesNotExist)}));
    EXPECT_FALSE(web_->isLoading());
    EXPECT_EQ(web_->title(), "Spaced") << "the page shown stays";

    // A folder is no page.
    delegate_.log.clear();
    web_->loadRequest(base_);
    settle();
    EXPECT_EQ(delegate_.log,
              (Log{"load " + base_, "start", "fail NSURLErrorDomain " + std::to_string(kURLErrorFileIsDirectory)}));

    // Escaped, '#' and '?' belong to the name; as themselves they end the path.
    dir_.write("no #1?.html", "<title>Hashed</title>");
    delegate_.log.clear();
    web_->loadRequest(base_ + "no%20%231%3F.html#top");
    settle();
    EXPECT_EQ(delegate_.log, (Log{"load " + base_ + "no%20%231%3F.html#top", "start", "finish Hashed"}));
}

TEST_F(WebViewTest, AnUnsupportedSchemeFailsWithTheURLError) {
    web_->loadRequest("ftp://example.com/page");
    EXPECT_TRUE(delegate_.log.size() == 1 && delegate_.log[0] == "load ftp://example.com/page");
    turn();
    EXPECT_EQ(delegate_.log.back(), "fail NSURLErrorDomain -1002") << "after the start, on a later turn";
    EXPECT_EQ(delegate_.log[1], "start");
    EXPECT_EQ(delegate_.lastError.domain, kURLErrorDomain);
    EXPECT_EQ(delegate_.lastError.code, -1002);
    EXPECT_EQ(delegate_.lastError.userInfo["NSErrorFailingURLStringKey"].string(), "ftp://example.com/page");
    EXPECT_FALSE(web_->isLoading());
}

// Pages over http come from the server through the URL connection: shown
// whatever their status, resolved against where a redirect led, and an
// unreachable server is the load's failure.
TEST_F(WebViewTest, HttpPagesComeFromTheServer) {
    qmtest::HttpServerKit server;
    server.on("/docs/credits.html",
              qmtest::HttpServerKit::Reply::bytes(
                  "<html><head><title>Served</title></head><body style=\"margin: 0; background: #ffffff\">"
                  "<p style=\"font-size: 48px; color: #000000; margin: 0\">WWWW</p>"
                  "<a href=\"licences.html\" style=\"display: block; height: 100px\">Licences</a></body></html>",
                  "text/html"));
    server.on("/old", qmtest::HttpServerKit::Reply::redirect("/docs/credits.html"));
    server.on("/gone", qmtest::HttpServerKit::Reply::bytes("<title>Not here</title><p>404</p>", "text/html", 404));
    auto window = std::make_shared<Window>(Size{320, 400}, 1);
    window->setBackgroundColor(Color::whiteColor());
    window->addSubview(web_);

    const std::string url = server.url("/old");
    web_->loadRequest(url);
    ASSERT_TRUE(settleLoad());
    EXPECT_EQ(delegate_.log, (Log{"load " + url, "start", "finish Served"}));
    EXPECT_EQ(web_->requestURL(), url);
    ASSERT_EQ(server.requests("/docs/credits.html").size(), 1u);
    EXPECT_EQ(web_->linkAtPoint({20, 100}), server.url("/docs/licences.html")) << "against the page's own URL";
    EXPECT_GT(darkPixels(*window->composedImage(), 320, 60), 300) << "the served text on the screen";

    delegate_.log.clear();
    web_->loadRequest(server.url("/gone"));
    ASSERT_TRUE(settleLoad());
    EXPECT_EQ(delegate_.log, (Log{"load " + server.url("/gone"), "start", "finish Not here"}));

    delegate_.log.clear();
    const std::string refused = qmtest::refusedURL("/credits.html");
    web_->loadRequest(refused);
    ASSERT_TRUE(settleLoad());
    EXPECT_EQ(delegate_.log, (Log{"load " + refused, "start", "fail NSURLErrorDomain -1004"}));
    EXPECT_EQ(delegate_.lastError.userInfo["NSErrorFailingURLStringKey"].string(), refused);
    EXPECT_EQ(web_->title(), "Not here") << "the page shown stays";
}

TEST_F(WebViewTest, ANewLoadOrAStopMakesTheOlderOneMoot) {
    web_->loadHTMLString("<title>Old</title>", base_);
    web_->loadHTMLString("<title>New</title>", base_);
    settle();
    EXPECT_EQ(delegate_.log, (Log{"load " + base_, "load " + base_, "start", "finish New"}));

    delegate_.log.clear();
    web_->loadHTMLString("<title>Stopped</title>", base_);
    web_->stopLoading();
    EXPECT_FALSE(web_->isLoading());
    settle();
    EXPECT_EQ(delegate_.log, (Log{"load " + base_}));
    EXPECT_EQ(web_->title(), "New");

    // Gone before its turn: nothing is told.
    web_->loadHTMLString("<title>Orphan</title>", base_);
    web_.reset();
    delegate_.log.clear();
    settle();
    EXPECT_TRUE(delegate_.log.empty());
}

TEST_F(WebViewTest, TheTwoScriptsTheApplicationRuns) {
    web_->loadHTMLString(
        "<html><head><title>Scripted</title></head><body><p>Some words to measure in a "
        "paragraph that is long enough to wrap over several lines of the view.</p></body></html>",
        base_);
    settle();
    EXPECT_EQ(web_->stringByEvaluatingJavaScriptFromString("document.title"), "Scripted");
    const double before = web_->pageSize().height;
    EXPECT_EQ(web_->stringByEvaluatingJavaScriptFromString("document.body.style.webkitTextSizeAdjust = '200%';"),
              "200%");
    EXPECT_GT(web_->pageSize().height, before * 1.5) << "larger text, a taller page";
    EXPECT_EQ(web_->stringByEvaluatingJavaScriptFromString("alert('x')"), "");
    EXPECT_EQ(web_->stringByEvaluatingJavaScriptFromString("document.body.style.webkitTextSizeAdjust = 'none'"), "");
}

TEST_F(WebViewTest, RelativeURLsResolveAgainstTheBase) {
    EXPECT_EQ(WebView::resolveURL("c.png", "file:///a/b/"), "file:///a/b/c.png");
    EXPECT_EQ(WebView::resolveURL("c.png", "file:///a/b/page.html?x=1"), "file:///a/b/c.png");
    EXPECT_EQ(WebView::resolveURL("../c.png", "file:///a/b/page.html"), "file:///a/c.png");
    EXPECT_EQ(WebView::resolveURL("./d/./e.css", "http://host/a/"), "http://host/a/d/e.css");
    EXPECT_EQ(WebView::resolveURL("/root.png", "http://host/a/b"), "http://host/root.png");
    EXPECT_EQ(WebView::resolveURL("//cdn.example/x.js", "https://host/a"), "https://cdn.example/x.js");
    EXPECT_EQ(WebView::resolveURL("#top", "file:///a/b.html"), "file:///a/b.html#top");
    EXPECT_EQ(WebView::resolveURL("mailto:someone@example.com", "file:///a/"), "mailto:someone@example.com");
    EXPECT_EQ(WebView::resolveURL("", "file:///a/"), "file:///a/");
    EXPECT_EQ(WebView::resolveURL("c.png", "http://host"), "http://host/c.png");
    EXPECT_EQ(WebView::resolveURL("c.png", "about:blank"), "about:c.png") << "a base without an authority";
}

TEST_F(WebViewTest, TheTextIsDrawnInTheWindow) {
    auto window = std::make_shared<Window>(Size{320, 400}, 1);
    window->setBackgroundColor(Color::whiteColor());
    window->addSubview(web_);
    web_->loadHTMLString(
        "<body style=\"margin: 0; background: #ffffff\">"
        "<p style=\"font-size: 48px; color: #000000; margin: 0\">WWWW</p>"
        "<div style=\"margin-top: 20px; height: 50px; background: #00ff00\"></div></body>",
        base_);
    settle();
    auto image = window->composedImage();
    int dark = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 320; ++x) {
            auto p = image->pixelAt(x, y);
            dark += p.r < 60 && p.g < 60 && p.b < 60;
        }
    EXPECT_GT(dark, 300) << "the glyphs of the first line";
    int below = 0;
    for (int y = 140; y < 400; ++y)
        for (int x = 0; x < 320; ++x) {
            auto p = image->pixelAt(x, y);
            below += p.r < 60 && p.g < 60 && p.b < 60;
        }
    EXPECT_EQ(below, 0) << "nothing dark under the page";
    // The block's background, below the text's line.
    bool green = false;
    for (int y = 50; y < 140 && !green; ++y) {
        auto p = image->pixelAt(160, y);
        green = p.g > 240 && p.r < 20 && p.b < 20;
    }
    EXPECT_TRUE(green);
}

// The old align attribute places the text of a heading as it does a paragraph's.
TEST_F(WebViewTest, AlignedHeadingsAndParagraphsAreDrawnWhereTheySay) {
    auto window = std::make_shared<Window>(Size{320, 400}, 1);
    window->setBackgroundColor(Color::whiteColor());
    window->addSubview(web_);
    web_->loadHTMLString(
        "<body style=\"margin: 0; background: #ffffff; color: #000000\">"
        "<h1 align='center' style='margin:0;padding:0;height:40px'>WW</h1>"
        "<p align='center' style='margin:0;height:40px'>WW</p>"
        "<h2 align='right' style='margin:0;height:40px'>WW</h2>"
        "<div align='center' style='height:40px'>WW</div></body>",
        base_);
    settle();
    auto image = window->composedImage();
    // The middle of the dark pixels in a band of rows; -1 when there are none.
    auto inkMiddle = [&](int y0, int y1) {
        int lo = 320, hi = -1;
        for (int y = y0; y < y1; ++y)
            for (int x = 0; x < 320; ++x)
                if (auto p = image->pixelAt(x, y); p.r < 80 && p.g < 80 && p.b < 80) {
                    lo = std::min(lo, x);
                    hi = std::max(hi, x);
                }
        return hi < 0 ? -1 : (lo + hi) / 2;
    };
    EXPECT_NEAR(inkMiddle(0, 40), 160, 4) << "the centred heading";
    EXPECT_NEAR(inkMiddle(40, 80), 160, 4) << "the centred paragraph";
    EXPECT_GT(inkMiddle(80, 120), 260) << "the heading on the right";
    EXPECT_NEAR(inkMiddle(120, 160), 160, 4) << "the centred block";
}
