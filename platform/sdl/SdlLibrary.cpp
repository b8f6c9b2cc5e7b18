#include "platform/sdl/SdlLibrary.h"

#include <mutex>
#include <utility>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/foundation/SharedLibrary.h"

namespace platform::sdl {

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

namespace {

// Hints given before SDL opens, and the library they go to once it has.
std::mutex gHintMutex;
std::vector<std::pair<std::string, std::string>> gPendingHints;
const SdlLibrary* gHintTarget = nullptr;

std::unique_ptr<SdlLibrary> openShared(std::string* error) {
    auto lib = SdlLibrary::open(SdlLibrary::kFileName, error);
    if (!lib) {
        foundation::log("SDL2 cannot be loaded (" + *error + "): no window and no sound device");
        return nullptr;
    }
    std::lock_guard lock(gHintMutex);
    for (auto& [name, value] : gPendingHints) lib->SetHint(name.c_str(), value.c_str());
    gPendingHints.clear();
    gHintTarget = lib.get();
    return lib;
}

constinit foundation::LazyLibrary<SdlLibrary> gShared(&openShared);

}  // namespace

const SdlLibrary* SdlLibrary::shared() { return gShared.get(); }

const SdlLibrary* SdlLibrary::loaded() { return gShared.loaded(); }

void SdlLibrary::setHint(const char* name, const char* value) {
    std::lock_guard lock(gHintMutex);
    if (gHintTarget) {
        gHintTarget->SetHint(name, value);
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
