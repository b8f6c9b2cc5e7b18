#pragma once
// The More-apps tab: the maker's other applications, one table row each with
// its icon, name and description; a tap opens the application's link. The
// list comes from the maker's server for the user's language and device, at
// most once a minute per process, and is kept in the user defaults so that
// the last good list shows at once (also without a network). Each entry
// loads its own icon (TWKOneApp).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/TWKMoreAppsBaseViewController.h"
#include "framework/TWKOneApp.h"
#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"

class TWKMoreApps : public TWKMoreAppsBaseViewController,
                    public platform::ui::TableViewDataSource,
                    public platform::ui::TableViewDelegate,
                    public TWKOneAppDelegate {
public:
    static constexpr double kRefreshInterval = 60.0;
    static constexpr size_t kMaxListBytes = 256 * 1024;  // decoded
    static constexpr double kListDeadline = 30.0;
    static constexpr const char* kMakerShortLinkDomain = "tarnowick.example";

    // One record of the app list.
    struct Record {
        std::string identifier, marker, imageName, link, name, description;
    };
    // The records of an app list, in order (lines with fewer than six fields
    // skipped); nullopt when the text is not an app list.
    static std::optional<std::vector<Record>> parseAppList(const std::string& text);

    TWKMoreApps();

    void declareConnections(platform::ui::ConnectionTable& t) override;
    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation) override { return true; }

    std::string getCacheName() const;  // "moreappslistcacheV5-" and the language
    static std::string getAppNameLowercaseNoDots();
    // The list request's URL, every value encoded.
    static std::string listURL();

    void checkAppListUpdate();
    void getWebList(const std::string& url);
    void parseListFileInMain(const std::optional<std::string>& text);
    bool parseListFile(const std::optional<std::string>& text);
    void waitOver();
    void waitFail();

    int64_t numberOfRowsInSection(platform::ui::TableView& table, int64_t section) override;
    double heightForRowAtIndexPath(platform::ui::TableView& table, const platform::ui::IndexPath& path) override;
    std::shared_ptr<platform::ui::TableViewCell> cellForRowAtIndexPath(platform::ui::TableView& table,
                                                                       const platform::ui::IndexPath& path) override;
    void didSelectRowAtIndexPath(platform::ui::TableView& table, const platform::ui::IndexPath& path) override;

    void iconDidLoad(std::shared_ptr<platform::graphics::Image> image, int32_t row) override;
    void reloadMyRow(const platform::ui::IndexPath& path);

    std::shared_ptr<platform::ui::TableView> tableViewMain() const { return tableViewMain_; }
    std::shared_ptr<platform::ui::Label> labelWait() const { return labelWait_; }
    const std::vector<std::shared_ptr<TWKOneApp>>& allApps() const { return allApps_; }

    // The process-wide time of the last fetch start (0: none yet).
    static double lastFetchTime();
    static void setLastFetchTime(double t);

private:
    std::shared_ptr<TWKOneApp> entryAt(int64_t row) const;
    std::shared_ptr<platform::ui::TableView> tableViewMain_;
    std::shared_ptr<platform::ui::Label> labelWait_;
    std::vector<std::shared_ptr<TWKOneApp>> allApps_;
};
