#pragma once
// One short system sound loaded from a sound file; the main screen plays it
// when the battery becomes full.
#include <memory>
#include <optional>
#include <string>

#include "platform/audio/SystemSound.h"

class SoundEffect {
public:
    // Null for an absent path, else initWithContentsOfFile.
    static std::shared_ptr<SoundEffect> soundEffectWithContentsOfFile(const std::optional<std::string>& path);
    // Null when the file cannot be registered as a sound (missing, a folder,
    // not a sound).
    static std::shared_ptr<SoundEffect> initWithContentsOfFile(const std::string& path);

    ~SoundEffect();
    SoundEffect(const SoundEffect&) = delete;
    SoundEffect& operator=(const SoundEffect&) = delete;

    // Returns at once; the platform plays it in the background.
    void play();

    platform::audio::SystemSoundID soundID() const { return soundID_; }

private:
    explicit SoundEffect(platform::audio::SystemSoundID id) : soundID_(id) {}
    platform::audio::SystemSoundID soundID_;
};
