#include "platform/foundation/SharedLibrary.h"

#include <dlfcn.h>
#include <atomic>

namespace platform::foundation {

namespace {
std::atomic<SharedLibrary::Observer> observer{nullptr};
}

void SharedLibrary::setObserver(Observer o) { observer.store(o); }

void SharedLibrary::noteIndirectLoads() {
    if (Observer o = observer.load()) o(std::string(), true);
}

std::unique_ptr<SharedLibrary> SharedLibrary::open(const std::string& file, std::string* error) {
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (error) *error = dlerror();
        return nullptr;
    }
    if (Observer o = observer.load()) o(file, true);
    return std::unique_ptr<SharedLibrary>(new SharedLibrary(handle, file));
}

SharedLibrary::~SharedLibrary() {
    dlclose(handle_);
    if (Observer o = observer.load()) o(file_, false);
}

void* SharedLibrary::symbol(const char* name) const { return dlsym(handle_, name); }

}  // namespace platform::foundation
