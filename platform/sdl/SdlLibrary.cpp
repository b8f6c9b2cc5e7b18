#include "platform/sdl/SdlLibrary.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/foundation/Log.h"

namespace platform::sdl {

namespace {

std::mutex gMutex;
bool gTried = false;
std::atomic<const SdlLibrary*> gShared{nullptr};  // kept open for the process's life
std::vector<std::pair<std::string, std::string>> gPendingHints;

}  // namespace

std::unique_ptr<SdlLibrary> SdlLibrary::open(const std::string& file, std::string* error) {
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (error) *error = dlerror();
        return nullptr;
    }
    std::unique_ptr<SdlLibrary> lib(new SdlLibrary);
    lib->handle_ = handle;
#define QM_SDL_RESOLVE(name)                                                           \
    lib->name = reinterpret_cast<decltype(lib->name)>(dlsym(handle, "SDL_" #name));   \
    if (!lib->name) {                                                                  \
        if (error) *error = file + " has no SDL_" #name;                               \
        return nullptr;                                                                \
    }
    QM_SDL_FUNCTIONS(QM_SDL_RESOLVE)
#undef QM_SDL_RESOLVE
    return lib;
}

SdlLibrary::~SdlLibrary() {
    if (handle_) dlclose(handle_);
}

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
