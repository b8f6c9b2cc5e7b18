#pragma once
// The About tab: the maker's animated logo, a credit line, buttons to follow
// the maker and visit its web site, and a page with the application's name,
// version, credits and licences built from HTML files of the bundles. On a
// phone the page grows over the header once it is scrolled down. A brand
// application shows the brand's logo, names and site instead.
//
// The logo frames load on a background queue and reach the main thread
// without it waiting; a screen that has disappeared meanwhile (a newer
// generation) ignores them.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "framework/TWKMoreAppsBaseViewController.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/WebView.h"

class TWKAbout : public TWKMoreAppsBaseViewController,
                 public platform::ui::WebViewDelegate,
                 public platform::ui::ScrollViewDelegate {
public:
    static constexpr const char* kMakerAccount = "tarnowick";
    static constexpr const char* kMakerWebsite = "https://www.tarnowick.example/";
    static constexpr const char* kBrandAccount = "ulmarok";
    static constexpr const char* kBrandWebsite = "https://www.ulmarok.example/";
    static constexpr const char* kBrandHost = "ulmarok.example";
    static constexpr const char* kAuthorName = "Tarnowick Apps";
    static constexpr int kLogoFrames = 30;
    static constexpr double kHeaderHeight = 230.0;

    TWKAbout();
    ~TWKAbout() override;

    void declareConnections(platform::ui::ConnectionTable& t) override;
    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewDidDisappear(bool animated) override;
    void didReceiveMemoryWarning() override;
    bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation) override { return true; }
    void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation from) override;

    // The page: a style, the name and version (escaped), the four HTML files.
    static std::string pageHTML();
    static std::string escapeHTML(const std::string& text);

    void loadLogo(uint64_t generation);
    void setupAnimation(const std::vector<std::shared_ptr<platform::graphics::Image>>& frames, uint64_t generation);
    void followOnTwitter(platform::ui::Control* sender);
    void goToWebsite(platform::ui::Control* sender);

    bool shouldStartLoadWithRequest(platform::ui::WebView& webView, const std::string& url,
                                    platform::ui::WebViewNavigationType type) override;
    void webViewDidFinishLoad(platform::ui::WebView& webView) override;
    void scrollViewDidScroll(platform::ui::ScrollView& scrollView) override;

    std::shared_ptr<platform::ui::ImageView> viewImageLogo() const { return viewImageLogo_; }
    std::shared_ptr<platform::ui::WebView> webViewCreds() const { return webViewCreds_; }
    std::shared_ptr<platform::ui::Button> buttonTwitter() const { return buttonTwitter_; }
    std::shared_ptr<platform::ui::Button> bottonWebsite() const { return bottonWebsite_; }
    std::shared_ptr<platform::ui::View> viewLogoContainer() const { return viewLogoContainer_; }
    std::shared_ptr<platform::ui::ImageView> viewLogoText() const { return viewLogoText_; }
    std::shared_ptr<platform::ui::Label> viewLabelCode() const { return viewLabelCode_; }

private:
    // On a phone, whether the page has grown over the header.
    bool isPageGrown() const;
    void stopLogo();
    std::shared_ptr<platform::ui::ImageView> viewImageLogo_;
    std::shared_ptr<platform::ui::WebView> webViewCreds_;
    std::shared_ptr<platform::ui::Button> buttonTwitter_, bottonWebsite_;
    std::shared_ptr<platform::ui::View> viewLogoContainer_;
    std::shared_ptr<platform::ui::ImageView> viewLogoText_;
    std::shared_ptr<platform::ui::Label> viewLabelCode_;
    std::atomic<uint64_t> logoGeneration_{0};
};
