#pragma once
// A web view: shows a page (HTML and CSS, laid out and drawn by litehtml
// through our Cairo and Pango context) in a scroll view. Pages come from a
// string with a base URL, from a file URL, or over http and https through the
// platform's URL connection; images and style sheets resolve against the base
// (those of files only). The delegate decides on every navigation, the page's own
// link taps included, and hears when a load starts, finishes or fails. Loads
// finish on later turns of the main run loop, as they would over a network.
// Scripts are limited to what the application runs: reading document.title
// and setting a style property of the body.
#include <memory>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/net/URLError.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/ScrollView.h"

namespace platform::net {
class URLConnection;
}

namespace platform::ui {

class WebView;

enum class WebViewNavigationType { LinkClicked, FormSubmitted, BackForward, Reload, FormResubmitted, Other };

// A load fails with the URL loading system's errors.
using net::kURLErrorDomain;
using net::kURLErrorFileDoesNotExist;
using net::kURLErrorFileIsDirectory;
using net::kURLErrorUnsupportedURL;

class WebViewDelegate {
public:
    virtual ~WebViewDelegate() = default;
    virtual bool shouldStartLoadWithRequest(WebView&, const std::string& /*url*/, WebViewNavigationType) {
        return true;
    }
    virtual void webViewDidStartLoad(WebView&) {}
    virtual void webViewDidFinishLoad(WebView&) {}
    virtual void didFailLoadWithError(WebView&, const foundation::Error&) {}
};

class WebView : public View {
public:
    explicit WebView(const Rect& frame = {});
    ~WebView() override;

    WebViewDelegate* delegate() const { return delegate_; }
    void setDelegate(WebViewDelegate* d) { delegate_ = d; }

    // `baseURL` empty: "about:blank".
    void loadHTMLString(const std::string& html, const std::string& baseURL);
    // A "file://" URL loads the file, an "http://" or "https://" one the
    // server's answer (whatever its status; its final URL is the page's base);
    // other schemes fail with kURLErrorUnsupportedURL, a failed transfer with
    // the connection's error.
    void loadRequest(const std::string& url);
    void stopLoading();
    bool isLoading() const { return loading_; }
    const std::string& requestURL() const { return url_; }

    // The result as text; "" for what is not understood.
    std::string stringByEvaluatingJavaScriptFromString(const std::string& script);

    // The first subview; the page is drawn in its content.
    std::shared_ptr<ScrollView> scrollView() const { return scroll_; }
    bool scalesPageToFit() const { return scalesPageToFit_; }
    void setScalesPageToFit(bool s) { scalesPageToFit_ = s; }

    // The page's title, its laid-out size in points, and the link at a point
    // of the page ("" when none), resolved against the base URL.
    std::string title() const;
    Size pageSize() const;
    std::string linkAtPoint(Point pagePoint) const;
    // A tap at a point of the page (what a touch on the page does).
    void tapAtPoint(Point pagePoint);

    // A URL resolved against a base ("file:///a/b/" + "c.png").
    static std::string resolveURL(const std::string& url, const std::string& base);

    void layoutSubviews() override;

private:
    class Page;
    friend class Page;
    void begin(const std::string& url, std::string html, bool fromString);
    void fetch(const std::string& url, uint64_t gen);
    // Lays out the page of load `gen` and finishes it on a later turn.
    void show(std::string html, const std::string& base, uint64_t gen);
    void relayout();
    void fail(const foundation::Error& error);

    WebViewDelegate* delegate_ = nullptr;
    std::shared_ptr<ScrollView> scroll_;
    std::shared_ptr<View> content_;
    std::unique_ptr<Page> page_;
    std::string url_;
    std::shared_ptr<net::URLConnection> connection_;  // the transfer of an http(s) load
    bool loading_ = false;
    bool scalesPageToFit_ = false;
    double textScale_ = 1.0;   // the body's text size adjustment
    uint64_t generation_ = 0;  // a newer load makes the pending steps of an older one moot
};

}  // namespace platform::ui
