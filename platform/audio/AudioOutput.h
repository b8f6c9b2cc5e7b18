#pragma once
// Where system sounds go: the machine's audio device through SDL2 when there
// is one, otherwise a silent sink that only logs. Tests may install their own.
#include <memory>
#include <string>

#include "platform/audio/SoundFile.h"

namespace platform::audio {

class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    // Starts playing and returns at once; sounds queued while one plays follow it.
    virtual void play(const std::string& name, const PCMBuffer& sound) = 0;
    virtual std::string description() const = 0;

    // The process's output, chosen on first use: SDL2 when a device opens
    // (SDL_AUDIODRIVER is honoured), else the silent sink.
    static AudioOutput& current();
    // Replaces it (tests); nullptr makes the next current() choose again.
    static void setCurrent(std::unique_ptr<AudioOutput> output);
};

class SilentAudioOutput : public AudioOutput {
public:
    void play(const std::string& name, const PCMBuffer& sound) override;
    std::string description() const override { return "silent sink"; }
};

// Opens the default playback device; null when SDL is missing or finds none.
std::unique_ptr<AudioOutput> openSDLAudioOutput();

}  // namespace platform::audio
