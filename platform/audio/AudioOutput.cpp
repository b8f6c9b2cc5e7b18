#include "platform/audio/AudioOutput.h"

#include <SDL.h>

#include <algorithm>
#include <mutex>

#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"

namespace platform::audio {

namespace {

std::mutex gMutex;
std::unique_ptr<AudioOutput> gOutput;

class SDLAudioOutput : public AudioOutput {
    static constexpr unsigned kResamplePieceFrames = 256;

public:
    SDLAudioOutput(SDL_AudioDeviceID dev, SDL_AudioSpec spec, std::string driver)
        : dev_(dev), spec_(spec), driver_(std::move(driver)) {}
    ~SDLAudioOutput() override {
        SDL_CloseAudioDevice(dev_);
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

    void play(const std::string& name, const PCMBuffer& sound) override {
        if (sound.samples.empty())
            return;
        // The device runs at its own rate and channel count; SDL converts.
        SDL_AudioStream* stream = SDL_NewAudioStream(AUDIO_F32SYS, Uint8(sound.channels), int(sound.sampleRate),
                                                     spec_.format, spec_.channels, spec_.freq);
        if (!stream) {
            foundation::log("Cannot convert sound " + name + ": " + SDL_GetError());
            return;
        }
        // Fed in small pieces and drained after each: given a large piece at
        // once, SDL's resampler drops part of it (a tenth of a sound and more).
        std::vector<Uint8> out;
        const auto drain = [&] {
            const size_t have = out.size();
            out.resize(have + size_t(SDL_AudioStreamAvailable(stream)));
            const int got = SDL_AudioStreamGet(stream, out.data() + have, int(out.size() - have));
            out.resize(have + size_t(std::max(got, 0)));
        };
        const size_t piece = size_t(kResamplePieceFrames) * sound.channels;
        for (size_t at = 0; at < sound.samples.size(); at += piece) {
            const size_t n = std::min(piece, sound.samples.size() - at);
            SDL_AudioStreamPut(stream, sound.samples.data() + at, int(n * sizeof(float)));
            drain();
        }
        SDL_AudioStreamFlush(stream);
        drain();
        SDL_FreeAudioStream(stream);
        if (!out.empty() && SDL_QueueAudio(dev_, out.data(), Uint32(out.size())) != 0)
            foundation::log("Cannot play sound " + name + ": " + SDL_GetError());
    }

    std::string description() const override { return "SDL audio (" + driver_ + ")"; }

private:
    SDL_AudioDeviceID dev_;
    SDL_AudioSpec spec_;
    std::string driver_;
};

}  // namespace

void SilentAudioOutput::play(const std::string& name, const PCMBuffer& sound) {
    foundation::log(foundation::format("Sound %s (%.2f s) not heard: no audio device", name.c_str(), sound.duration()));
}

std::unique_ptr<AudioOutput> openSDLAudioOutput() {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return nullptr;
    SDL_AudioSpec want{}, have{};
    want.freq = 44100;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = 1024;
    const SDL_AudioDeviceID dev = SDL_OpenAudioDevice(nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_ANY_CHANGE);
    if (dev == 0) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return nullptr;
    }
    SDL_PauseAudioDevice(dev, 0);
    const char* driver = SDL_GetCurrentAudioDriver();
    return std::make_unique<SDLAudioOutput>(dev, have, driver ? driver : "?");
}

AudioOutput& AudioOutput::current() {
    std::lock_guard lock(gMutex);
    if (!gOutput) {
        gOutput = openSDLAudioOutput();
        if (!gOutput)
            gOutput = std::make_unique<SilentAudioOutput>();
        foundation::log("System sounds play through the " + gOutput->description());
    }
    return *gOutput;
}

void AudioOutput::setCurrent(std::unique_ptr<AudioOutput> output) {
    std::lock_guard lock(gMutex);
    gOutput = std::move(output);
}

}  // namespace platform::audio
