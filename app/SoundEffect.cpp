#include "app/SoundEffect.h"

#include "framework/TwkUtils.h"

std::shared_ptr<SoundEffect> SoundEffect::soundEffectWithContentsOfFile(const std::optional<std::string>& path) {
    if (!path) return nullptr;
    return initWithContentsOfFile(*path);
}

std::shared_ptr<SoundEffect> SoundEffect::initWithContentsOfFile(const std::string& path) {
    if (path.empty()) return nullptr;
    platform::audio::SystemSoundID id = 0;
    if (platform::audio::SystemSound::create(TwkUtils::fileURL(path), &id) != platform::audio::kNoErr) return nullptr;
    return std::shared_ptr<SoundEffect>(new SoundEffect(id));
}

SoundEffect::~SoundEffect() { platform::audio::SystemSound::dispose(soundID_); }

void SoundEffect::play() { platform::audio::SystemSound::play(soundID_); }
