#pragma once
// libcurl, opened on the first transfer rather than linked: the header gives
// the types and constants, the functions come through a CurlLibrary. A
// process that never goes on the network does not load it (nor the TLS and
// name libraries it brings).
#include <curl/curl.h>

#include <memory>
#include <string>

// Every libcurl function the project calls (a list, kept out of the formatter).
// clang-format off
#define QM_CURL_FUNCTIONS(X)                                                                                        \
    X(global_init) X(easy_init) X(easy_setopt) X(easy_getinfo) X(easy_strerror) X(easy_cleanup) X(slist_append)    \
    X(slist_free_all) X(multi_init) X(multi_add_handle) X(multi_remove_handle) X(multi_perform) X(multi_poll)      \
    X(multi_info_read) X(multi_wakeup) X(multi_cleanup)
// clang-format on

namespace platform::foundation {
class SharedLibrary;
}

namespace platform::net {

class CurlLibrary {
public:
    static constexpr const char* kFileName = "libcurl.so.4";

    // The process's libcurl, opened and globally initialised on the first
    // call; null when it cannot be opened (the reason is logged once).
    static const CurlLibrary* shared();
    // Why shared() is null; empty while it is not.
    static std::string loadError();

    // A handle of its own on `file` with every function resolved; null with
    // the reason in `error` when the file or one of the functions is missing.
    static std::unique_ptr<CurlLibrary> open(const std::string& file, std::string* error);
    ~CurlLibrary();
    CurlLibrary(const CurlLibrary&) = delete;
    CurlLibrary& operator=(const CurlLibrary&) = delete;

#define QM_CURL_DECLARE(name) decltype(&::curl_##name) name = nullptr;
    QM_CURL_FUNCTIONS(QM_CURL_DECLARE)
#undef QM_CURL_DECLARE

private:
    CurlLibrary() = default;
    std::unique_ptr<foundation::SharedLibrary> library_;
};

}  // namespace platform::net
