#include "platform/net/CurlLibrary.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/SharedLibrary.h"

namespace platform::net {

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

namespace {

std::unique_ptr<CurlLibrary> openShared(std::string* error) {
    auto lib = CurlLibrary::open(CurlLibrary::kFileName, error);
    if (!lib) {
        *error = "libcurl cannot be loaded (" + *error + ")";
        foundation::log(*error + ": no transfer can be made");
        return nullptr;
    }
    lib->global_init(CURL_GLOBAL_DEFAULT);
    return lib;
}

constinit foundation::LazyLibrary<CurlLibrary> gShared(&openShared);

}  // namespace

const CurlLibrary* CurlLibrary::shared() { return gShared.get(); }

std::string CurlLibrary::loadError() { return gShared.error(); }

}  // namespace platform::net
