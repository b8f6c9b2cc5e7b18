#include "platform/net/CurlLibrary.h"

#include <dlfcn.h>

#include <mutex>

#include "platform/foundation/Log.h"

namespace platform::net {

namespace {

std::once_flag gOnce;
const CurlLibrary* gShared = nullptr;  // kept open for the process's life
std::string gLoadError;

}  // namespace

std::unique_ptr<CurlLibrary> CurlLibrary::open(const std::string& file, std::string* error) {
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (error) *error = dlerror();
        return nullptr;
    }
    std::unique_ptr<CurlLibrary> lib(new CurlLibrary);
    lib->handle_ = handle;
#define QM_CURL_RESOLVE(name)                                                           \
    lib->name = reinterpret_cast<decltype(lib->name)>(dlsym(handle, "curl_" #name));   \
    if (!lib->name) {                                                                   \
        if (error) *error = file + " has no curl_" #name;                               \
        return nullptr;                                                                 \
    }
    QM_CURL_FUNCTIONS(QM_CURL_RESOLVE)
#undef QM_CURL_RESOLVE
    return lib;
}

CurlLibrary::~CurlLibrary() {
    if (handle_) dlclose(handle_);
}

const CurlLibrary* CurlLibrary::shared() {
    std::call_once(gOnce, [] {
        std::string error;
        if (auto lib = open(kFileName, &error)) {
            lib->global_init(CURL_GLOBAL_DEFAULT);
            gShared = lib.release();
        } else {
            gLoadError = "libcurl cannot be loaded (" + error + ")";
            foundation::log(gLoadError + ": no transfer can be made");
        }
    });
    return gShared;
}

std::string CurlLibrary::loadError() {
    shared();
    return gLoadError;
}

}  // namespace platform::net
