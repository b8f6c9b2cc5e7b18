#include "framework/TWKOneApp.h"

#include <cstdlib>
#include <optional>

#include "framework/TwkUtils.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Sandbox.h"
#include "platform/graphics/Image.h"

namespace pf = platform::foundation;
namespace pg = platform::graphics;

namespace {

bool onTwoXScreen() { return TwkUtils::getScale() >= 2.0f; }

// The file's bytes when it is no larger than `limit`; none when it cannot be
// read now, empty when what stands there is no icon of ours.
std::optional<std::vector<uint8_t>> readCapped(const std::string& path, size_t limit) {
    pf::Error error;
    const auto bytes = pf::FileManager::readFile(path, &error, limit);
    if (bytes) return std::vector<uint8_t>(bytes->begin(), bytes->end());
    const pf::ReadFailure failure = pf::FileManager::readFailure(error);
    if (failure == pf::ReadFailure::kTooLarge || failure == pf::ReadFailure::kNotRegularFile)
        return std::vector<uint8_t>{};  // too big or no file: bad
    return std::nullopt;
}

}  // namespace

std::string TWKOneApp::makerHost() {
    if (const char* env = std::getenv(kMakerHostEnvironmentVariable); env && *env) return env;
    const pf::Value v = TwkUtils::getPlistKey(kMakerHostInfoKey);
    return v.isString() && !v.string().empty() ? v.string() : kDefaultMakerHost;
}

bool TWKOneApp::isPlainFileName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name[0] == '.') return false;
    for (unsigned char c : name)
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
    return true;
}

void TWKOneApp::loadImageAsync() {
    auto self = shared_from_this();
    pf::dispatch::mainQueue().async([self] { self->checkImageInMain(); });
}

void TWKOneApp::checkImageInMain() {
    if (appImage_ || appImageName_.empty()) return;
    auto self = shared_from_this();
    pf::dispatch::globalQueue(pf::dispatch::Priority::Background).async([self] { self->getImageInThread(); });
}

std::string TWKOneApp::cacheFilePath() const {
    std::string name = appImageName_;
    if (onTwoXScreen())
        name = pf::replacingOccurrences(pf::replacingOccurrences(name, ".png", "@2x.png"), ".jpg", "@2x.jpg");
    return pf::FileManager::joinPath(pf::Sandbox::caches(), name);
}

std::string TWKOneApp::serverURL() const {
    std::string name = appImageName_;
    if (onTwoXScreen()) name = pf::replacingOccurrences(name, ".png", "-2x.png");
    return "http://" + makerHost() + "/appicons/" + TwkUtils::urlEncode(name);
}

void TWKOneApp::getImageInThread() {
    if (!isPlainFileName(appImageName_)) {
        pf::log("More apps: ignoring the icon name \"" + appImageName_ + "\": not a plain file name");
        return;
    }
    if (auto image = TwkUtils::imageNamedNoCache(appImageName_)) {
        setImageAndNotify(image);
        return;
    }
    const std::string path = cacheFilePath();
    pf::log("loading image at path:" + path);
    if (auto bytes = readCapped(path, kMaxIconBytes)) {
        if (setImageAndNotify(*bytes, false)) return;
        // A file that does not decode would stand in for the icon for ever.
        pf::FileManager::remove(path);
    }
    if (auto data = TwkUtils::loadBoundedData(serverURL(), kMaxIconBytes, kIconDeadline))
        setImageAndNotify(*data, true);
}

bool TWKOneApp::setImageAndNotify(const std::vector<uint8_t>& data, bool wasRemote) {
    // Refused before decoding: a small file may declare an enormous picture.
    const auto size = pg::Image::declaredPixelSize(data);
    if (!size || size->first > kMaxIconSide || size->second > kMaxIconSide) return false;
    auto image = pg::Image::fromData(data, TwkUtils::isRunningAtLeastOS4() ? TwkUtils::getScale() : 1.0);
    if (!image) return false;
    if (wasRemote) {
        const std::string path = cacheFilePath();
        pf::FileManager::createDirectory(pf::FileManager::deletingLastPathComponent(path));
        pf::FileManager::writeFileAtomically(path, data.data(), data.size());  // a failure only costs a download
    }
    setImageAndNotify(std::move(image));
    return true;
}

void TWKOneApp::setImageAndNotify(std::shared_ptr<pg::Image> image) {
    if (!image) return;
    auto self = shared_from_this();
    TwkUtils::runOnMainSafely([self, image] {
        self->appImage_ = image;
        if (auto d = self->delegate_.lock()) d->iconDidLoad(image, self->appRow_);
    });
}
