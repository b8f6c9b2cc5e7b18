#include "app/SoundEffect.h"

#include <cctype>
#include <cstdio>

namespace {

// A file URL for `path`, escaped so that names with '%' or spaces survive.
std::string fileURL(const std::string& path) {
    std::string url = "file://";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            url += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            url += hex;
        }
    }
    return url;
}

}  // namespace

std::shared_ptr<SoundEffect> SoundEffect::soundEffectWithContentsOfFile(const std::optional<std::string>& path) {
    if (!path) return nullptr;
    return initWithContentsOfFile(*path);
}

std::shared_ptr<SoundEffect> SoundEffect::initWithContentsOfFile(const std::string& path) {
    if (path.empty()) return nullptr;
    platform::audio::SystemSoundID id = 0;
    if (platform::audio::SystemSound::create(fileURL(path), &id) != platform::audio::kNoErr) return nullptr;
    return std::shared_ptr<SoundEffect>(new SoundEffect(id));
}

SoundEffect::~SoundEffect() { platform::audio::SystemSound::dispose(soundID_); }

void SoundEffect::play() { platform::audio::SystemSound::play(soundID_); }
