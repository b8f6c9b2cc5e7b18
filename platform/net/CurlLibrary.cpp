#include "platform/net/CurlLibrary.h"

#include <mutex>

#include "platform/foundation/Log.h"
#include "platform/foundation/SharedLibrary.h"

namespace platform::net {

namespace {

std::once_flag gOnce;
const CurlLibrary* gShared = nullptr;  // kept open for the process's life
std::string gLoadError;

}  // namespace

std::unique_ptr<CurlLibrary> CurlLibrary::open(const std::string& file, std::string* error) {
    auto library = foundation::SharedLibrary::open(file, error);
    if (!library) return nullptr;
    std::unique_ptr<CurlLibrary> lib(new CurlLibrary);
#define QM_CURL_RESOLVE(name) \
    if (!library->resolve(lib->name, "curl_" #name, error)) return nullptr;
    QM_CURL_FUNCTIONS(QM_CURL_RESOLVE)
#undef QM_CURL_RESOLVE
    lib->library_ = std::move(library);
    return lib;
}

CurlLibrary::~CurlLibrary() = default;

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
