#include "platform/audio/AudioOutput.h"

#include <algorithm>
#include <mutex>

#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/SharedLibrary.h"
#include "platform/sdl/SdlLibrary.h"

namespace platform::audio {

namespace {

using sdl::SdlLibrary;

std::mutex gMutex;
std::unique_ptr<AudioOutput> gOutput;

class SDLAudioOutput : public AudioOutput {
    static constexpr unsigned kResamplePieceFrames = 256;

public:
    SDLAudioOutput(const SdlLibrary& sdl, SDL_AudioDeviceID dev, SDL_AudioSpec spec, std::string driver)
        : sdl_(sdl), dev_(dev), spec_(spec), driver_(std::move(driver)) {}
    ~SDLAudioOutput() override {
        sdl_.CloseAudioDevice(dev_);
        sdl_.QuitSubSystem(SDL_INIT_AUDIO);
    }

    void play(const std::string& name, const PCMBuffer& sound) override {
        if (sound.samples.empty()) return;
        // The device runs at its own rate and channel count; SDL converts.
        SDL_AudioStream* stream = sdl_.NewAudioStream(AUDIO_F32SYS, Uint8(sound.channels), int(sound.sampleRate),
                                                      spec_.format, spec_.channels, spec_.freq);
        if (!stream) {
            foundation::log("Cannot convert sound " + name + ": " + sdl_.GetError());
            return;
        }
        // Fed in small pieces and drained after each: given a large piece at
        // once, SDL's resampler drops part of it (a tenth of a sound and more).
        std::vector<Uint8> out;
        const auto drain = [&] {
            const size_t have = out.size();
            out.resize(have + size_t(sdl_.AudioStreamAvailable(stream)));
            const int got = sdl_.AudioStreamGet(stream, out.data() + have, int(out.size() - have));
            out.resize(have + size_t(std::max(got, 0)));
        };
        const size_t piece = size_t(kResamplePieceFrames) * sound.channels;
        for (size_t at = 0; at < sound.samples.size(); at += piece) {
            const size_t n = std::min(piece, sound.samples.size() - at);
            sdl_.AudioStreamPut(stream, sound.samples.data() + at, int(n * sizeof(float)));
            drain();
        }
        sdl_.AudioStreamFlush(stream);
        drain();
        sdl_.FreeAudioStream(stream);
        if (!out.empty() && sdl_.QueueAudio(dev_, out.data(), Uint32(out.size())) != 0)
            foundation::log("Cannot play sound " + name + ": " + sdl_.GetError());
    }

    std::string description() const override { return "SDL audio (" + driver_ + ")"; }

private:
    const SdlLibrary& sdl_;
    SDL_AudioDeviceID dev_;
    SDL_AudioSpec spec_;
    std::string driver_;
};

void dropSoundLibraryMessage(const char*, int, const char*, int, const char*, ...) {}

// Without a sound card the sound library (ALSA, under SDL's driver) prints
// its own errors on standard error before our one line says the same: its
// error handler drops them instead. The library stays loaded, so SDL's driver
// finds it with the handler set, and held by a global, where a leak check
// sees it kept rather than lost.
std::unique_ptr<foundation::SharedLibrary> openQuietSoundLibrary(std::string* error) {
    auto alsa = foundation::SharedLibrary::open("libasound.so.2", error);
    using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
    int (*setHandler)(Handler) = nullptr;
    if (alsa && alsa->resolve(setHandler, "snd_lib_error_set_handler", nullptr)) setHandler(&dropSoundLibraryMessage);
    return alsa;
}

constinit foundation::LazyLibrary<foundation::SharedLibrary> gSoundLibrary(&openQuietSoundLibrary);

void quietenSoundLibrary() { (void)gSoundLibrary.get(); }

}  // namespace

void SilentAudioOutput::play(const std::string& name, const PCMBuffer& sound) {
    foundation::log(foundation::format("Sound %s (%.2f s) not heard: no audio device", name.c_str(), sound.duration()));
}

std::unique_ptr<AudioOutput> openSDLAudioOutput() {
    const SdlLibrary* sdl = SdlLibrary::shared();
    if (!sdl) return nullptr;
    quietenSoundLibrary();
    if (sdl->InitSubSystem(SDL_INIT_AUDIO) != 0) return nullptr;
    SDL_AudioSpec want{}, have{};
    want.freq = 44100;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = 1024;
    const SDL_AudioDeviceID dev = sdl->OpenAudioDevice(nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_ANY_CHANGE);
    foundation::SharedLibrary::noteIndirectLoads();  // the audio driver's libraries
    if (dev == 0) {
        sdl->QuitSubSystem(SDL_INIT_AUDIO);
        return nullptr;
    }
    sdl->PauseAudioDevice(dev, 0);
    const char* driver = sdl->GetCurrentAudioDriver();
    return std::make_unique<SDLAudioOutput>(*sdl, dev, have, driver ? driver : "?");
}

AudioOutput& AudioOutput::current() {
    std::lock_guard lock(gMutex);
    if (!gOutput) {
        gOutput = openSDLAudioOutput();
        if (!gOutput) gOutput = std::make_unique<SilentAudioOutput>();
        foundation::log("System sounds play through the " + gOutput->description());
    }
    return *gOutput;
}

void AudioOutput::setCurrent(std::unique_ptr<AudioOutput> output) {
    std::lock_guard lock(gMutex);
    gOutput = std::move(output);
}

}  // namespace platform::audio
