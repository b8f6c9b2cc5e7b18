#include "platform/foundation/SharedLibrary.h"

#include <dlfcn.h>

namespace platform::foundation {

std::unique_ptr<SharedLibrary> SharedLibrary::open(const std::string& file, std::string* error) {
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (error) *error = dlerror();
        return nullptr;
    }
    return std::unique_ptr<SharedLibrary>(new SharedLibrary(handle, file));
}

SharedLibrary::~SharedLibrary() { dlclose(handle_); }

void* SharedLibrary::symbol(const char* name) const { return dlsym(handle_, name); }

}  // namespace platform::foundation
