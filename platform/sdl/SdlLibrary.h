#pragma once
// SDL2, opened on first use rather than linked: the headers give the types
// and constants, the functions come through an SdlLibrary. A process that
// never shows a window nor plays a sound does not load it at all.
#include <SDL.h>

#include <memory>
#include <string>

// Every SDL function the project calls (a list, kept out of the formatter).
// clang-format off
#define QM_SDL_FUNCTIONS(X)                                                                                        \
    X(GetError) X(SetHint) X(GetHint) X(InitSubSystem) X(QuitSubSystem) X(WasInit) X(DisableScreenSaver)          \
    X(EnableScreenSaver) X(IsScreenSaverEnabled) X(GetDisplayUsableBounds) X(GetCurrentDisplayMode)               \
    X(CreateWindow) X(DestroyWindow) X(GetWindowSize) X(SetWindowSize) X(SetWindowPosition) X(GetWindowSurface)   \
    X(UpdateWindowSurface) X(UpdateWindowSurfaceRects) X(GetPixelFormatName) X(LockSurface) X(UnlockSurface)      \
    X(PollEvent) X(GetMouseState) X(OpenAudioDevice) X(CloseAudioDevice) X(PauseAudioDevice) X(QueueAudio)        \
    X(GetCurrentAudioDriver) X(NewAudioStream) X(AudioStreamPut) X(AudioStreamGet) X(AudioStreamAvailable)        \
    X(AudioStreamFlush) X(FreeAudioStream)
// clang-format on

namespace platform::foundation {
class SharedLibrary;
}

namespace platform::sdl {

class SdlLibrary {
public:
    static constexpr const char* kFileName = "libSDL2-2.0.so.0";

    // The process's SDL, opened on the first call; null when it cannot be
    // (the reason is logged once).
    static const SdlLibrary* shared();
    // The process's SDL if it is open already; never opens it.
    static const SdlLibrary* loaded();
    // Sets a hint, at once when SDL is open, else when it opens: a hint
    // shapes subsystems started later, and is no reason to open the library.
    static void setHint(const char* name, const char* value);

    // A handle of its own on `file` with every function resolved; null with
    // the reason in `error` when the file or one of the functions is missing.
    static std::unique_ptr<SdlLibrary> open(const std::string& file, std::string* error);
    ~SdlLibrary();
    SdlLibrary(const SdlLibrary&) = delete;
    SdlLibrary& operator=(const SdlLibrary&) = delete;

#define QM_SDL_DECLARE(name) decltype(&::SDL_##name) name = nullptr;
    QM_SDL_FUNCTIONS(QM_SDL_DECLARE)
#undef QM_SDL_DECLARE

private:
    SdlLibrary() = default;
    std::unique_ptr<foundation::SharedLibrary> library_;
};

}  // namespace platform::sdl
