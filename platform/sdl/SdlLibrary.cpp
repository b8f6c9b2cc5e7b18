#include "platform/sdl/SdlLibrary.h"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/foundation/SharedLibrary.h"

namespace platform::sdl {

namespace {

std::mutex gMutex;
bool gTried = false;
std::atomic<const SdlLibrary*> gShared{nullptr};  // kept open for the process's life
std::vector<std::pair<std::string, std::string>> gPendingHints;

}  // namespace

std::unique_ptr<SdlLibrary> SdlLibrary::open(const std::string& file, std::string* error) {
    auto library = foundation::SharedLibrary::open(file, error);
    if (!library) return nullptr;
    std::unique_ptr<SdlLibrary> lib(new SdlLibrary);
#define QM_SDL_RESOLVE(name) \
    if (!library->resolve(lib->name, "SDL_" #name, error)) return nullptr;
    QM_SDL_FUNCTIONS(QM_SDL_RESOLVE)
#undef QM_SDL_RESOLVE
    lib->library_ = std::move(library);
    return lib;
}

SdlLibrary::~SdlLibrary() = default;

const SdlLibrary* SdlLibrary::shared() {
    if (const SdlLibrary* lib = gShared.load(std::memory_order_acquire)) return lib;
    std::lock_guard lock(gMutex);
    if (!gTried) {
        gTried = true;
        std::string error;
        if (auto lib = open(kFileName, &error)) {
            for (auto& [name, value] : gPendingHints) lib->SetHint(name.c_str(), value.c_str());
            gPendingHints.clear();
            gShared.store(lib.release(), std::memory_order_release);
        } else {
            foundation::log("SDL2 cannot be loaded (" + error + "): no window and no sound device");
        }
    }
    return gShared.load(std::memory_order_acquire);
}

const SdlLibrary* SdlLibrary::loaded() { return gShared.load(std::memory_order_acquire); }

void SdlLibrary::setHint(const char* name, const char* value) {
    std::lock_guard lock(gMutex);
    if (const SdlLibrary* lib = gShared.load(std::memory_order_acquire)) {
        lib->SetHint(name, value);
        return;
    }
    for (auto& [n, v] : gPendingHints)
        if (n == name) {
            v = value;
            return;
        }
    gPendingHints.emplace_back(name, value);
}

}  // namespace platform::sdl
