#pragma once
// One entry of the More-apps list: the fields of one record of the app list
// and its icon. The icon is looked for in the framework's resource bundle,
// then in the Caches folder, then on the maker's server; a downloaded icon is
// cached so that it comes from the disk next time. When it is ready the entry
// tells its delegate (the list screen) on the main thread.
//
// The server's file name names a file in the cache and a path on the server:
// only a plain file name is accepted, and it travels as one encoded path
// segment. Downloads and decodes are bounded, and a cache file that does not
// decode is removed and fetched again.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::graphics {
class Image;
}

class TWKOneAppDelegate {
public:
    virtual ~TWKOneAppDelegate() = default;
    virtual void iconDidLoad(std::shared_ptr<platform::graphics::Image> /*image*/, int32_t /*row*/) {}
};

class TWKOneApp : public std::enable_shared_from_this<TWKOneApp> {
public:
    static constexpr size_t kMaxIconBytes = 1 << 20;
    static constexpr int kMaxIconSide = 1024;      // pixels, each way
    static constexpr double kIconDeadline = 30.0;  // seconds for one download
    // The maker's server, unless the Info.plist or the environment names another.
    static constexpr const char* kDefaultMakerHost = "apps.tarnowick.example";
    static constexpr const char* kMakerHostInfoKey = "twk-maker-host";
    static constexpr const char* kMakerHostEnvironmentVariable = "QUENMIRA_MAKER_HOST";

    // The host (and port) of the list and icon URLs: QUENMIRA_MAKER_HOST when
    // set, else the Info.plist's "twk-maker-host", else the default.
    static std::string makerHost();
    // A name with no folder part, not hidden, without control characters.
    static bool isPlainFileName(const std::string& name);

    const std::string& appName() const { return appName_; }
    void setAppName(std::string v) { appName_ = std::move(v); }
    bool inquisition() const { return inquisition_; }
    void setInquisition(bool v) { inquisition_ = v; }
    const std::string& appIdentifier() const { return appIdentifier_; }
    void setAppIdentifier(std::string v) { appIdentifier_ = std::move(v); }
    const std::string& appLink() const { return appLink_; }
    void setAppLink(std::string v) { appLink_ = std::move(v); }
    const std::string& appDescription() const { return appDescription_; }
    void setAppDescription(std::string v) { appDescription_ = std::move(v); }
    const std::string& appImageName() const { return appImageName_; }
    void setAppImageName(std::string v) { appImageName_ = std::move(v); }
    // Written and read on the main thread only.
    std::shared_ptr<platform::graphics::Image> appImage() const { return appImage_; }
    int32_t appRow() const { return appRow_; }
    void setAppRow(int32_t v) { appRow_ = v; }
    // Weak: the list screen owns its entries, not the other way round.
    std::shared_ptr<TWKOneAppDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<TWKOneAppDelegate>& d) { delegate_ = d; }

    // From any thread: the lookup starts from the main thread, unless the
    // entry has its icon or no icon name.
    void loadImageAsync();
    void checkImageInMain();
    // The lookup itself, on a background queue.
    void getImageInThread();

    // The icon's file in the Caches folder ("@2x" before the extension on a 2x screen).
    std::string cacheFilePath() const;
    // The icon's URL on the maker's server ("-2x.png" for a PNG on a 2x screen).
    std::string serverURL() const;

    // Decodes `data` (PNG or JPEG within the bounds), caches it when it came
    // from the server, and publishes it. False when it does not decode.
    bool setImageAndNotify(const std::vector<uint8_t>& data, bool wasRemote);
    // Sets the icon on the main thread, then tells the delegate there.
    void setImageAndNotify(std::shared_ptr<platform::graphics::Image> image);

private:
    std::string appName_, appIdentifier_, appLink_, appDescription_, appImageName_;
    bool inquisition_ = false;
    std::shared_ptr<platform::graphics::Image> appImage_;
    int32_t appRow_ = 0;
    std::weak_ptr<TWKOneAppDelegate> delegate_;
};
