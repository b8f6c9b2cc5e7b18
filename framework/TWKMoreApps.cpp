#include "framework/TWKMoreApps.h"

#include <algorithm>

#include "framework/TWKButtonDark.h"
#include "framework/TWKMoreInfo.h"
#include "framework/TWKTableViewCell.h"
#include "framework/TwkUtils.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Application.h"
#include "platform/ui/Device.h"
#include "platform/ui/InterfaceLoader.h"
#include "platform/ui/NavigationController.h"

namespace pf = platform::foundation;
namespace ui = platform::ui;

namespace {

// Touched on the main thread only.
double gLastFetchTime = 0;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::string orWord(const std::string& value, const char* word) { return value.empty() ? word : value; }

int64_t censorValue() { return TwkUtils::getPlistKey("twk-censor").intValue(); }

}  // namespace

double TWKMoreApps::lastFetchTime() { return gLastFetchTime; }
void TWKMoreApps::setLastFetchTime(double t) { gLastFetchTime = t; }

std::optional<std::vector<TWKMoreApps::Record>> TWKMoreApps::parseAppList(const std::string& text) {
    if (text.rfind("APPLISTVERSION", 0) != 0) return std::nullopt;
    const std::vector<std::string> lines = split(text, '\n');
    if (lines.size() < 2 || split(lines[0], '|').size() < 2) return std::nullopt;
    std::vector<Record> records;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = split(lines[i], '|');
        if (f.size() < 6) continue;
        records.push_back({f[0], f[1], f[2], f[3], f[4], f[5]});
    }
    return records;
}

TWKMoreApps::TWKMoreApps() : TWKMoreAppsBaseViewController("TWKMoreApps", resourceBundle()) {}

void TWKMoreApps::declareConnections(ui::ConnectionTable& t) {
    TWKMoreAppsBaseViewController::declareConnections(t);
    t.outlet("tableViewMain", tableViewMain_);
    t.outlet("labelWait", labelWait_);
}

void TWKMoreApps::viewDidLoad() {
    setNeedsDoneButton(true);
    TWKMoreAppsBaseViewController::viewDidLoad();
    ui::navigationItem(*this)->setTitle(TWKMoreInfo::localizedString("tab_moreapps"));
    if (labelWait_) {
        labelWait_->setText(TWKMoreInfo::localizedString("wait"));
        if (TwkUtils::isRunningAtLeastOS4()) labelWait_->layer()->setCornerRadius(6.0);
    }
    if (tableViewMain_) {
        tableViewMain_->setBackgroundColor(TWKButtonDark::globalColorBG());
        tableViewMain_->setDataSource(this);
        tableViewMain_->setDelegate(this);
    }
}

void TWKMoreApps::viewWillAppear(bool animated) {
    TWKMoreAppsBaseViewController::viewWillAppear(animated);
    checkAppListUpdate();
}

std::string TWKMoreApps::getCacheName() const { return "moreappslistcacheV5-" + TwkUtils::getLang(); }

std::string TWKMoreApps::getAppNameLowercaseNoDots() {
    std::string id = TwkUtils::getPlistKey("CFBundleIdentifier").stringValue();
    id.erase(std::remove(id.begin(), id.end(), '.'), id.end());
    std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return id;
}

void TWKMoreApps::checkAppListUpdate() {
    const pf::Value stored = pf::UserDefaults::standard().objectForKey(getCacheName());
    const double now = pf::Clock::current().now();
    if (gLastFetchTime > now) gLastFetchTime = 0;  // the clock was set back
    if (labelWait_) labelWait_->setAlpha(0);
    if (stored.isString() && !allApps_.empty() && now - gLastFetchTime <= kRefreshInterval) return;
    if (labelWait_) {
        labelWait_->setText(TWKMoreInfo::localizedString("wait"));
        labelWait_->setAlpha(1.0);
    }
    gLastFetchTime = now;
    parseListFile(stored.isString() ? std::optional<std::string>(stored.string()) : std::nullopt);
    auto self = std::dynamic_pointer_cast<TWKMoreApps>(shared_from_this());
    // Made here: the device and the settings it reads belong to the main
    // thread, and may be gone when a request outlives the process's main.
    pf::dispatch::globalQueue(pf::dispatch::Priority::Background).async([self, url = listURL()] {
        self->getWebList(url);
    });
}

std::string TWKMoreApps::listURL() {
    const ui::Device& device = ui::Device::current();
    auto enc = [](const std::string& v) { return TwkUtils::urlEncode(v); };
    // Each value is encoded on its own: a value holding "&" or "=" stays one value.
    return "http://" + TWKOneApp::makerHost() + "/applist_" + enc(TwkUtils::getLang()) +
           "?ipad=" + std::to_string(TwkUtils::onIPad() ? 1 : 0) + "&appident=" + enc(getAppNameLowercaseNoDots()) +
           "&qbeni=" + std::to_string(censorValue()) + "&locale=" + enc(orWord(TwkUtils::getLocale(), "NO_LOCALE")) +
           "&v=" + enc(orWord(TwkUtils::getAppVersionString(), "NO_APP_VERSION")) +
           "&m=" + enc(orWord(device.model(), "NO_MODEL")) +
           "&hw=" + enc(orWord(TwkUtils::getHardwareModel(), "NO_HWMODEL")) +
           "&sys=" + enc(orWord(device.systemVersion(), "NO_SYSVERSION")) + "&mav=2";
}

void TWKMoreApps::getWebList(const std::string& url) {
    auto text = TwkUtils::loadFromBackendAsGzipWithURL(url, kMaxListBytes, kListDeadline);
    auto self = std::dynamic_pointer_cast<TWKMoreApps>(shared_from_this());
    pf::dispatch::mainQueue().async([self, text] { self->parseListFileInMain(text); });
}

void TWKMoreApps::parseListFileInMain(const std::optional<std::string>& text) {
    const bool ok = parseListFile(text);
    auto self = std::dynamic_pointer_cast<TWKMoreApps>(shared_from_this());
    pf::dispatch::mainQueue().async([self, ok] { ok ? self->waitOver() : self->waitFail(); });
}

bool TWKMoreApps::parseListFile(const std::optional<std::string>& text) {
    if (!text) return false;
    const auto records = parseAppList(*text);
    if (!records) return false;
    const pf::Value stored = pf::UserDefaults::standard().objectForKey(getCacheName());
    if (stored.isString() && stored.string() == *text && !allApps_.empty()) return true;

    const int64_t censor = censorValue();
    const std::string own = getAppNameLowercaseNoDots();
    auto self = std::dynamic_pointer_cast<TWKOneAppDelegate>(shared_from_this());
    std::vector<std::shared_ptr<TWKOneApp>> kept;
    for (const Record& r : *records) {
        auto app = std::make_shared<TWKOneApp>();
        app->setDelegate(self);
        app->setInquisition(r.marker == "inquisition");
        app->setAppIdentifier(r.identifier);
        app->setAppLink(r.link);
        app->setAppName(r.name);
        app->setAppDescription(r.description);
        app->setAppImageName(r.imageName);
        if ((censor == 1 && app->inquisition()) || app->appIdentifier() == own) continue;
        app->setAppRow(static_cast<int32_t>(kept.size()));
        kept.push_back(std::move(app));
    }
    if (kept.empty()) return false;
    auto screen = std::dynamic_pointer_cast<TWKMoreApps>(self);
    pf::dispatch::mainQueue().async([screen] { screen->waitOver(); });
    allApps_ = kept;
    pf::UserDefaults::standard().setObject(getCacheName(), pf::Value(*text));
    // The table learns the new rows now, so that an icon arriving for a row
    // is checked against the list it belongs to.
    if (tableViewMain_) tableViewMain_->reloadData();
    for (auto& app : kept) app->loadImageAsync();
    return true;
}

void TWKMoreApps::waitOver() {
    if (labelWait_) labelWait_->setAlpha(0);
}

void TWKMoreApps::waitFail() {
    gLastFetchTime = 0;
    if (!labelWait_) return;
    if (tableViewMain_ && tableViewMain_->numberOfRowsInSection(0) > 0) {
        labelWait_->setAlpha(0);  // the stored list stays
        return;
    }
    labelWait_->setText(TWKMoreInfo::localizedString("net_required"));
    labelWait_->setAlpha(0);
    auto label = labelWait_;
    ui::View::animate(0.2, [label] { label->setAlpha(1.0); });
}

std::shared_ptr<TWKOneApp> TWKMoreApps::entryAt(int64_t row) const {
    return row >= 0 && row < int64_t(allApps_.size()) ? allApps_[size_t(row)] : nullptr;
}

int64_t TWKMoreApps::numberOfRowsInSection(ui::TableView&, int64_t) { return int64_t(allApps_.size()); }

double TWKMoreApps::heightForRowAtIndexPath(ui::TableView& table, const ui::IndexPath& path) {
    auto app = entryAt(path.row);
    if (!app) return 77.0;
    const double width = table.bounds().width() - 84.0 - 12.0;
    const double text =
        std::min(9999.0, platform::graphics::Font::systemFont(14.0).sizeOfText(app->appDescription(), width, 0).height);
    return std::max(77.0, text + (app->appLink().empty() ? 6.0 + 6.0 : 32.0 + 11.0));
}

std::shared_ptr<ui::TableViewCell> TWKMoreApps::cellForRowAtIndexPath(ui::TableView& table, const ui::IndexPath& path) {
    auto cell = std::dynamic_pointer_cast<TWKTableViewCell>(
        table.dequeueReusableCellWithIdentifier(TWKTableViewCell::kIdentifier));
    if (!cell) {
        pf::Error error;
        auto contents = ui::InterfaceLoader::load(TWKTableViewCell::kIdentifier, resourceBundle(), this, &error);
        if (contents && !contents->topLevelObjects.empty())
            cell = std::dynamic_pointer_cast<TWKTableViewCell>(contents->topLevelObjects.front().view);
        if (!cell) {
            pf::log("More apps: no cell: " + error.localizedDescription());
            cell = std::make_shared<TWKTableViewCell>();
        }
    }
    auto app = entryAt(path.row);
    if (!app) return cell;
    cell->setBackgroundColor(platform::graphics::Color::clear());
    cell->setOpaque(false);
    if (auto title = cell->labelTitle()) {
        title->setText(app->appName());
        title->setTextColor(TWKButtonDark::globalColorText());
    }
    auto body = cell->labelBody();
    if (body) {
        body->setText(app->appDescription());
        body->setTextColor(TWKButtonDark::globalColorText());
    }
    auto icon = cell->imageIcon();
    if (app->appImage()) {
        if (icon) icon->setImage(app->appImage());
        if (cell->appStoreIcon()) cell->appStoreIcon()->setHidden(false);
    } else {
        if (cell->appStoreIcon()) cell->appStoreIcon()->setHidden(true);
        if (icon) icon->setImage(app->appImageName().empty() ? nullptr : TwkUtils::getBundleImage("whitecircle.png"));
    }
    // Sized from the cell as it is now: the table grows the cell, and the body
    // with it, to the row's rect once it has the cell back. A linked row's
    // body is put back beside the icon, for a cell that last showed a text row.
    const double width = cell->bounds().width(), height = cell->bounds().height();
    if (app->appLink().empty()) {
        if (body) body->setFrame({12.0, 6.0, width - 24.0, height - 12.0});
        cell->setSelectionStyle(ui::TableViewCellSelectionStyle::None);
        if (icon) icon->setAlpha(0);
    } else {
        if (body) body->setFrame({84.0, 32.0, width - 96.0, height - 43.0});
        cell->setSelectionStyle(ui::TableViewCellSelectionStyle::Blue);
        if (icon) icon->setAlpha(1.0);
    }
    return cell;
}

void TWKMoreApps::didSelectRowAtIndexPath(ui::TableView& table, const ui::IndexPath& path) {
    if (auto app = entryAt(path.row); app && !app->appLink().empty()) {
        std::string link = app->appLink();
        if (link.find(kMakerShortLinkDomain) != std::string::npos) link += "," + TwkUtils::getLocale();
        ui::Application::shared().openURL(link);
    }
    table.deselectRowAtIndexPath(path, true);
}

void TWKMoreApps::iconDidLoad(std::shared_ptr<platform::graphics::Image>, int32_t row) {
    auto self = std::dynamic_pointer_cast<TWKMoreApps>(shared_from_this());
    TwkUtils::runOnMainSafely([self, row] { self->reloadMyRow({0, row}); });
}

void TWKMoreApps::reloadMyRow(const ui::IndexPath& path) {
    if (!tableViewMain_) return;
    // The table and the list agree (the list reloads the table when it is
    // set); a row outside them comes from a list that has gone.
    const int64_t rows = int64_t(allApps_.size());
    if (path.row >= 0 && path.row < rows && tableViewMain_->numberOfRowsInSection(0) == rows)
        tableViewMain_->reloadRowsAtIndexPaths({path}, ui::TableViewRowAnimation::Fade);
    else
        tableViewMain_->reloadData();
}
