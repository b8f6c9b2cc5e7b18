#include "platform/ui/WebView.h"

#include <litehtml.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/RunLoop.h"
#include "platform/graphics/Context.h"
#include "platform/graphics/TextLayout.h"
#include "platform/net/URLConnection.h"
#include "platform/ui/Screen.h"

namespace platform::ui {

namespace {

// The user agent's defaults for the elements pages use. The layout engine reads
// the align attribute of paragraphs and blocks itself, not of headings.
const char* kMasterCSS = R"(
html, address, blockquote, body, dd, div, dl, dt, fieldset, form, frame, frameset, h1, h2, h3, h4, h5, h6,
noframes, ol, p, ul, center, dir, hr, menu, pre, header, footer, section, article, nav, aside { display: block; }
head, style, script, title, meta, link { display: none; }
body { margin: 8px; }
li { display: list-item; }
table { display: table; border-spacing: 2px; }
tr { display: table-row; }
thead { display: table-header-group; }
tbody { display: table-row-group; }
td, th { display: table-cell; padding: 1px; }
th { font-weight: bold; }
img { display: inline-block; }
h1 { font-size: 2em; margin: .67em 0; font-weight: bold; }
h2 { font-size: 1.5em; margin: .75em 0; font-weight: bold; }
h3 { font-size: 1.17em; margin: .83em 0; font-weight: bold; }
h4, p, blockquote, ul, ol, dl { margin: 1em 0; }
h4, h5, h6, b, strong { font-weight: bold; }
i, em { font-style: italic; }
ul, ol { padding-left: 40px; }
ul { list-style-type: disc; }
ol { list-style-type: decimal; }
a { color: #0000ee; text-decoration: underline; }
br { display: block; }
hr { border: 1px inset; margin: .5em auto; }
pre { white-space: pre; }
center { text-align: center; }
h1[align=left], h2[align=left], h3[align=left], h4[align=left], h5[align=left], h6[align=left] { text-align: left; }
h1[align=center], h2[align=center], h3[align=center], h4[align=center], h5[align=center], h6[align=center] {
  text-align: center; }
h1[align=right], h2[align=right], h3[align=right], h4[align=right], h5[align=right], h6[align=right] {
  text-align: right; }
h1[align=justify], h2[align=justify], h3[align=justify], h4[align=justify], h5[align=justify], h6[align=justify] {
  text-align: justify; }
)";

bool hasScheme(const std::string& url) {
    auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    return std::all_of(url.begin(), url.begin() + long(colon), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

bool isHTTP(const std::string& url) {
    const std::string scheme = foundation::lowercased(url.substr(0, url.find(':')));
    return (scheme == "http" || scheme == "https") && url.compare(scheme.size(), 3, "://") == 0;
}

std::string filePath(const std::string& url) {
    if (url.rfind("file://", 0) != 0) return "";
    // Query and fragment end the path before its escapes are read: an escaped
    // '#' or '?' is part of a file's name.
    std::string p = url.substr(7, url.find_first_of("?#", 7) - 7);
    std::string out;
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '%' && i + 2 < p.size() && std::isxdigit(static_cast<unsigned char>(p[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(p[i + 2]))) {
            out += char(std::stoi(p.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += p[i];
        }
    }
    return out;
}

graphics::Color toColor(const litehtml::web_color& c) {
    return graphics::Color::rgb255(c.red, c.green, c.blue, c.alpha / 255.0);
}

Rect toRect(const litehtml::position& p) { return {double(p.x), double(p.y), double(p.width), double(p.height)}; }

}  // namespace

// ---- the page: a litehtml document and the container that lays it out and draws it

class WebView::Page final : public litehtml::document_container {
public:
    Page(std::string html, std::string base, double width, double textScale)
        : html_(std::move(html)), base_(std::move(base)), width_(width), textScale_(textScale) {
        context_.load_master_stylesheet(kMasterCSS);
        doc_ = litehtml::document::createFromString(html_.c_str(), this, &context_);
        if (doc_) doc_->render(std::max(1, int(width)));
    }
    ~Page() { doc_.reset(); }

    const std::string& html() const { return html_; }
    const std::string& base() const { return base_; }
    const std::string& title() const { return title_; }
    Size size() const { return doc_ ? Size{double(doc_->width()), double(doc_->height())} : Size{}; }

    void draw(graphics::Context& ctx, const Rect& clip) {
        if (!doc_) return;
        litehtml::position c(int(std::floor(clip.x())), int(std::floor(clip.y())), int(std::ceil(clip.width())) + 1,
                             int(std::ceil(clip.height())) + 1);
        doc_->draw(reinterpret_cast<litehtml::uint_ptr>(&ctx), 0, 0, &c);
    }

    std::string linkAt(Point p) const {
        if (!doc_ || !doc_->root()) return "";
        auto el = doc_->root()->get_element_by_point(int(p.x), int(p.y), int(p.x), int(p.y));
        for (; el; el = el->parent()) {
            const char* tag = el->get_tagName();
            if (tag && std::string(tag) == "a")
                if (const char* href = el->get_attr("href")) return WebView::resolveURL(href, base_);
        }
        return "";
    }

    // document_container
    litehtml::uint_ptr create_font(const char* faceName, int size, int weight, litehtml::font_style,
                                   unsigned int decoration, litehtml::font_metrics* fm) override {
        std::string face = faceName ? faceName : "Helvetica";
        auto comma = face.find(',');
        if (comma != std::string::npos) face = face.substr(0, comma);
        face.erase(std::remove(face.begin(), face.end(), '\''), face.end());
        face.erase(std::remove(face.begin(), face.end(), '"'), face.end());
        if (weight >= 600) face += "-Bold";
        const double points = std::max(1.0, size * textScale_);
        fonts_.push_back({graphics::Font(face, points), decoration});
        const auto& f = fonts_.back().font;
        if (fm) {
            fm->ascent = int(std::round(f.ascender()));
            fm->descent = int(std::round(f.descender()));
            fm->height = int(std::round(f.lineHeight()));
            fm->x_height = int(std::round(points * 0.52));
            fm->draw_spaces = decoration != 0;
        }
        return fonts_.size();  // index + 1, so 0 stays "no font"
    }
    void delete_font(litehtml::uint_ptr) override {}
    int text_width(const char* text, litehtml::uint_ptr hFont) override {
        const auto* f = font(hFont);
        if (!f || !text || !*text) return 0;
        PangoLayout* layout = graphics::text::makeLayout(nullptr, text, f->font, INFINITY, 1,
                                                         graphics::LineBreakMode::Clip, graphics::TextAlignment::Left);
        Size s = graphics::text::layoutSize(layout, 1);
        g_object_unref(layout);
        return int(std::ceil(s.width));
    }
    void draw_text(litehtml::uint_ptr hdc, const char* text, litehtml::uint_ptr hFont, litehtml::web_color color,
                   const litehtml::position& pos) override {
        const auto* f = font(hFont);
        if (!f || !text) return;
        auto& ctx = *reinterpret_cast<graphics::Context*>(hdc);
        Size s = ctx.drawText(text, Point{double(pos.x), double(pos.y)}, f->font, toColor(color));
        if (f->decoration & litehtml::font_decoration_underline) {
            ctx.setFillColor(toColor(color));
            ctx.fillRect({double(pos.x), pos.y + f->font.ascender() + 1, s.width, 1});
        }
    }
    int pt_to_px(int pt) const override { return int(std::round(pt * 96.0 / 72.0)); }
    int get_default_font_size() const override { return 16; }
    const char* get_default_font_name() const override { return "Helvetica"; }
    void draw_list_marker(litehtml::uint_ptr hdc, const litehtml::list_marker& marker) override {
        auto& ctx = *reinterpret_cast<graphics::Context*>(hdc);
        ctx.setFillColor(toColor(marker.color));
        ctx.setStrokeColor(toColor(marker.color));
        const Rect r = toRect(marker.pos);
        switch (marker.marker_type) {
        case litehtml::list_style_type_circle: ctx.strokeEllipseInRect(r); break;
        case litehtml::list_style_type_square: ctx.fillRect(r); break;
        case litehtml::list_style_type_none: break;
        default: ctx.fillEllipseInRect(r); break;
        }
    }
    void load_image(const char* src, const char* baseurl, bool) override { image(src, baseurl); }
    void get_image_size(const char* src, const char* baseurl, litehtml::size& sz) override {
        if (auto img = image(src, baseurl)) {
            sz.width = int(std::round(img->size().width));
            sz.height = int(std::round(img->size().height));
        } else {
            sz.width = sz.height = 0;
        }
    }
    void draw_background(litehtml::uint_ptr hdc, const litehtml::background_paint& bg) override {
        auto& ctx = *reinterpret_cast<graphics::Context*>(hdc);
        ctx.save();
        ctx.clipToRect(toRect(bg.clip_box));
        if (bg.image.empty()) {
            if (bg.color.alpha) {
                ctx.setFillColor(toColor(bg.color));
                ctx.fillRect(toRect(bg.clip_box));
            }
        } else if (auto img = image(bg.image.c_str(), bg.baseurl.c_str())) {
            ctx.drawImage(*img, {double(bg.position_x), double(bg.position_y), double(bg.image_size.width),
                                 double(bg.image_size.height)});
        }
        ctx.restore();
    }
    void draw_borders(litehtml::uint_ptr hdc, const litehtml::borders& b, const litehtml::position& p, bool) override {
        auto& ctx = *reinterpret_cast<graphics::Context*>(hdc);
        auto side = [&](const litehtml::border& border, const Rect& r) {
            if (border.width <= 0 || border.style == litehtml::border_style_none ||
                border.style == litehtml::border_style_hidden)
                return;
            ctx.setFillColor(toColor(border.color));
            ctx.fillRect(r);
        };
        const Rect r = toRect(p);
        side(b.top, {r.x(), r.y(), r.width(), double(b.top.width)});
        side(b.bottom, {r.x(), r.maxY() - b.bottom.width, r.width(), double(b.bottom.width)});
        side(b.left, {r.x(), r.y(), double(b.left.width), r.height()});
        side(b.right, {r.maxX() - b.right.width, r.y(), double(b.right.width), r.height()});
    }
    void set_caption(const char* caption) override { title_ = caption ? caption : ""; }
    void set_base_url(const char* base) override {
        if (base && *base) base_ = WebView::resolveURL(base, base_);
    }
    void link(const std::shared_ptr<litehtml::document>&, const litehtml::element::ptr&) override {}
    void on_anchor_click(const char*, const litehtml::element::ptr&) override {}
    void set_cursor(const char*) override {}
    void transform_text(litehtml::tstring& text, litehtml::text_transform tt) override {
        if (tt == litehtml::text_transform_uppercase)
            text = foundation::uppercased(text);
        else if (tt == litehtml::text_transform_lowercase)
            text = foundation::lowercased(text);
        else if (tt == litehtml::text_transform_capitalize && !text.empty())
            text[0] = char(std::toupper(static_cast<unsigned char>(text[0])));
    }
    void import_css(litehtml::tstring& text, const litehtml::tstring& url, litehtml::tstring& baseurl) override {
        std::string resolved = WebView::resolveURL(url, baseurl.empty() ? base_ : baseurl);
        if (auto css = foundation::FileManager::readFile(filePath(resolved))) {
            text = *css;
            baseurl = resolved;
        }
    }
    void set_clip(const litehtml::position&, const litehtml::border_radiuses&, bool, bool) override {}
    void del_clip() override {}
    void get_client_rect(litehtml::position& client) const override {
        client = litehtml::position(0, 0, int(width_), int(Screen::main().bounds().height()));
    }
    std::shared_ptr<litehtml::element> create_element(const char*, const litehtml::string_map&,
                                                      const std::shared_ptr<litehtml::document>&) override {
        return nullptr;
    }
    void get_media_features(litehtml::media_features& media) const override {
        const Rect s = Screen::main().bounds();
        media.type = litehtml::media_type_screen;
        media.width = int(width_);
        media.height = int(s.height());
        media.device_width = int(s.width());
        media.device_height = int(s.height());
        media.color = 8;
        media.monochrome = 0;
        media.color_index = 256;
        media.resolution = 96;
    }
    void get_language(litehtml::tstring& language, litehtml::tstring& culture) const override {
        language = "en";
        culture = "";
    }

private:
    struct FontEntry {
        graphics::Font font;
        unsigned decoration;
    };
    const FontEntry* font(litehtml::uint_ptr h) const { return h == 0 || h > fonts_.size() ? nullptr : &fonts_[h - 1]; }
    std::shared_ptr<graphics::Image> image(const char* src, const char* baseurl) {
        if (!src || !*src) return nullptr;
        std::string url = WebView::resolveURL(src, baseurl && *baseurl ? baseurl : base_);
        auto it = images_.find(url);
        if (it != images_.end()) return it->second;
        std::shared_ptr<graphics::Image> img;
        std::string path = filePath(url);
        if (!path.empty()) {
            // An "@2x" file holds twice the pixels for the same points.
            const bool doubled = path.find("@2x.") != std::string::npos;
            img = graphics::Image::fromFile(path, doubled ? 2.0 : 1.0);
        }
        images_[url] = img;
        return img;
    }

    std::string html_, base_, title_;
    double width_, textScale_;
    litehtml::context context_;
    std::deque<FontEntry> fonts_;
    std::map<std::string, std::shared_ptr<graphics::Image>> images_;
    litehtml::document::ptr doc_;
};

namespace {

// The scroll view's content: draws the page and turns taps into link clicks.
class PageView : public View {
public:
    explicit PageView(WebView* web) : web_(web) {
        setOpaque(false);
        setBackgroundColor(std::nullopt);
    }
    std::function<void(Context&, const Rect&)> drawPage;
    void drawRect(Context& ctx, const Rect& rect) override {
        if (drawPage) drawPage(ctx, rect);
    }
    void touchesBegan(const TouchSet&, const Event*) override {}
    void touchesMoved(const TouchSet&, const Event*) override {}
    void touchesCancelled(const TouchSet&, const Event*) override {}
    void touchesEnded(const TouchSet& touches, const Event*) override {
        if (!touches.empty()) web_->tapAtPoint(touches.front()->locationInView(this));
    }

private:
    WebView* web_;
};

}  // namespace

// ---- the view

WebView::WebView(const Rect& frame) : View(frame) {
    setBackgroundColor(Color::whiteColor());
    scroll_ = std::make_shared<ScrollView>(bounds());
    scroll_->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
    scroll_->setBackgroundColor(std::nullopt);
    scroll_->setOpaque(false);
    addSubview(scroll_);
    // The edge shadows the platform lays at the page's top and bottom ends.
    for (int i = 0; i < 2; ++i) {
        auto shade = std::make_shared<ImageView>(Rect{0, 0, bounds().width(), 0});
        scroll_->addSubview(shade);
    }
    auto page = std::make_shared<PageView>(this);
    page->drawPage = [this](Context& ctx, const Rect& r) {
        if (page_) page_->draw(ctx, r);
    };
    content_ = page;
    scroll_->addSubview(content_);
}

WebView::~WebView() {
    if (connection_) connection_->cancel();
}

std::string WebView::resolveURL(const std::string& url, const std::string& base) {
    if (url.empty()) return base;
    if (hasScheme(url)) return url;
    if (url.rfind("//", 0) == 0) {
        auto colon = base.find(':');
        return (colon == std::string::npos ? "http" : base.substr(0, colon)) + ":" + url;
    }
    if (url[0] == '#' || base.empty()) return base + url;
    auto scheme = base.find("://");
    if (scheme == std::string::npos) {
        // No authority ("about:blank"): the reference replaces the base's last segment.
        auto colon = base.find(':');
        std::string rest = base.substr(colon + 1);
        rest = rest.substr(0, rest.find_first_of("?#"));
        auto slash = rest.rfind('/');
        return base.substr(0, colon + 1) + (slash == std::string::npos ? "" : rest.substr(0, slash + 1)) + url;
    }
    // Scheme and authority of the base.
    auto slash = base.find('/', scheme + 3);
    const std::string root = slash == std::string::npos ? base : base.substr(0, slash);
    std::string path = slash == std::string::npos ? "/" : base.substr(slash);
    auto q = path.find_first_of("?#");
    if (q != std::string::npos) path = path.substr(0, q);
    std::string joined = url[0] == '/' ? url : path.substr(0, path.rfind('/') + 1) + url;
    // Drop "." and ".." segments.
    std::vector<std::string> parts;
    std::string seg;
    std::istringstream in(joined);
    std::string tail;
    auto qq = joined.find_first_of("?#");
    if (qq != std::string::npos) {
        tail = joined.substr(qq);
        joined = joined.substr(0, qq);
    }
    size_t start = 1;
    while (start <= joined.size()) {
        size_t end = joined.find('/', start);
        if (end == std::string::npos) end = joined.size();
        seg = joined.substr(start, end - start);
        if (seg == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (seg != ".") {
            parts.push_back(seg);
        }
        if (end == joined.size()) break;
        start = end + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    if (out.empty() || (!joined.empty() && joined.back() == '/' && out.back() != '/')) out += "/";
    return root + out + tail;
}

void WebView::loadHTMLString(const std::string& html, const std::string& baseURL) {
    begin(baseURL.empty() ? "about:blank" : baseURL, html, true);
}

void WebView::loadRequest(const std::string& url) { begin(url, "", false); }

void WebView::stopLoading() {
    ++generation_;
    loading_ = false;
    if (connection_) connection_->cancel();
    connection_.reset();
}

void WebView::fail(const foundation::Error& error) {
    loading_ = false;
    if (delegate_) delegate_->didFailLoadWithError(*this, error);
}

void WebView::begin(const std::string& url, std::string html, bool fromString) {
    if (delegate_ && !delegate_->shouldStartLoadWithRequest(*this, url, WebViewNavigationType::Other)) return;
    const uint64_t gen = ++generation_;
    if (connection_) connection_->cancel();
    connection_.reset();
    url_ = url;
    loading_ = true;
    std::weak_ptr<View> weak = weak_from_this();
    // Start and finish on later turns, as a load over the network would.
    foundation::RunLoop::main().perform([weak, gen, url, html = std::move(html), fromString]() mutable {
        auto self = std::static_pointer_cast<WebView>(weak.lock());
        if (!self || self->generation_ != gen) return;
        if (self->delegate_) self->delegate_->webViewDidStartLoad(*self);
        if (self->generation_ != gen) return;
        if (!fromString && isHTTP(url)) {
            self->fetch(url, gen);
            return;
        }
        if (!fromString) {
            std::string path = filePath(url);
            if (path.empty()) {
                self->fail(net::urlError(kURLErrorUnsupportedURL, url));
                return;
            }
            std::error_code ec;
            if (std::filesystem::is_directory(path, ec)) {
                // A folder opens as a stream that reads nothing: not a page.
                self->fail(net::urlError(kURLErrorFileIsDirectory, url));
                return;
            }
            auto text = foundation::FileManager::readFile(path);
            if (!text) {
                self->fail(net::urlError(kURLErrorFileDoesNotExist, url));
                return;
            }
            html = std::move(*text);
        }
        self->show(std::move(html), url, gen);
    });
}

void WebView::fetch(const std::string& url, uint64_t gen) {
    std::weak_ptr<View> weak = weak_from_this();
    connection_ = net::URLConnection::sendAsynchronousRequest(
        net::URLRequest(url), foundation::dispatch::mainQueue(),
        [weak, gen, url](const net::URLResponse* response, const net::Data* data, const foundation::Error* error) {
            auto self = std::static_pointer_cast<WebView>(weak.lock());
            if (!self || self->generation_ != gen) return;
            self->connection_.reset();
            // The connection answers either its error or a response with data.
            if (error) {
                self->fail(*error);
            } else {
                // An error page is still the server's page: it shows, as a browser shows it.
                self->show(std::string(data->begin(), data->end()), response->url().empty() ? url : response->url(),
                           gen);
            }
        });
}

void WebView::show(std::string html, const std::string& base, uint64_t gen) {
    textScale_ = 1.0;
    page_ = std::make_unique<Page>(std::move(html), base, bounds().width(), 1.0);
    relayout();
    std::weak_ptr<View> weak = weak_from_this();
    foundation::RunLoop::main().perform([weak, gen] {
        auto self = std::static_pointer_cast<WebView>(weak.lock());
        if (!self || self->generation_ != gen) return;
        self->loading_ = false;
        if (self->delegate_) self->delegate_->webViewDidFinishLoad(*self);
    });
}

void WebView::relayout() {
    const Size s = page_ ? page_->size() : Size{};
    const double w = bounds().width();
    content_->setFrame({0, 0, w, std::max(s.height, 1.0)});
    content_->setNeedsDisplay();
    scroll_->setContentSize({w, s.height});
}

void WebView::layoutSubviews() {
    if (page_ && std::abs(content_->frame().width() - bounds().width()) > 0.5) {
        // A new width lays the page out again.
        page_ = std::make_unique<Page>(page_->html(), page_->base(), bounds().width(), textScale_);
        relayout();
    }
}

std::string WebView::title() const { return page_ ? page_->title() : ""; }
Size WebView::pageSize() const { return page_ ? page_->size() : Size{}; }
std::string WebView::linkAtPoint(Point p) const { return page_ ? page_->linkAt(p) : ""; }

void WebView::tapAtPoint(Point p) {
    std::string link = linkAtPoint(p);
    if (link.empty()) return;
    if (link.rfind(url_ + "#", 0) == 0 || link[0] == '#') return;  // a fragment of this page
    if (delegate_ && !delegate_->shouldStartLoadWithRequest(*this, link, WebViewNavigationType::LinkClicked)) return;
    // Already asked: load it without asking again.
    WebViewDelegate* d = delegate_;
    delegate_ = nullptr;
    loadRequest(link);
    delegate_ = d;
}

std::string WebView::stringByEvaluatingJavaScriptFromString(const std::string& script) {
    static const std::regex title(R"(^\s*document\.title\s*;?\s*$)");
    static const std::regex bodyStyle(
        R"(^\s*document\.(?:body|getElementsByTagName\(\s*['"]body['"]\s*\)\s*\[\s*0\s*\])\.style\.(\w+)\s*=\s*['"]([^'"]*)['"]\s*;?\s*$)");
    std::smatch m;
    if (std::regex_match(script, title)) return this->title();
    if (std::regex_match(script, m, bodyStyle)) {
        const std::string prop = m[1], value = m[2];
        if (prop == "webkitTextSizeAdjust") {
            double percent = std::atof(value.c_str());
            if (percent <= 0) return "";
            textScale_ = percent / 100.0;
            if (page_) {
                page_ = std::make_unique<Page>(page_->html(), page_->base(), bounds().width(), textScale_);
                relayout();
            }
            return value;
        }
    }
    return "";
}

}  // namespace platform::ui
