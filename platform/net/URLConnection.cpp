#include "platform/net/URLConnection.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <list>
#include <mutex>
#include <thread>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/CurlLibrary.h"

namespace platform::net {

namespace pf = platform::foundation;

namespace {

constexpr long kMaxRedirects = 16;

std::string trimLine(const char* data, size_t size) {
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

URLErrorCode codeForCurl(CURLcode code) {
    switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL: return kURLErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT: return kURLErrorBadURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return kURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT: return kURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT: return kURLErrorTimedOut;
    case CURLE_TOO_MANY_REDIRECTS: return kURLErrorHTTPTooManyRedirects;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR: return kURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER: return kURLErrorSecureConnectionFailed;
    case CURLE_BAD_CONTENT_ENCODING: return kURLErrorCannotDecodeContentData;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE: return kURLErrorNetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY: return kURLErrorBadServerResponse;
    default: return kURLErrorUnknown;
    }
}

// What one transfer reports, as it happens.
struct TransferHooks {
    std::function<void(const URLResponse&)> onResponse;
    std::function<void(const uint8_t*, size_t)> onData;
    std::function<bool()> cancelled;
    std::function<void(CURLM*)> registerMulti;  // null when done
};

struct TransferState {
    const CurlLibrary* curl = nullptr;
    const URLRequest* request = nullptr;
    TransferHooks* hooks = nullptr;
    CURL* easy = nullptr;
    int64_t status = 0;
    HeaderFields headers;
    bool responseDelivered = false;
    double lastProgress = 0;
    curl_off_t lastBytes = -1;
    size_t kept = 0;         // body bytes handed on
    bool truncated = false;  // ended at the request's limit, as it asked
    bool tooLarge = false;   // ended at the request's limit, as a failure

    void deliverResponse() {
        if (responseDelivered) return;
        responseDelivered = true;
        long code = 0;
        curl->easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
        char* effective = nullptr;
        curl->easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
        URLResponse response(effective ? effective : request->url(), code ? code : status, headers);
        if (hooks->onResponse) hooks->onResponse(response);
    }
};

size_t headerCallback(char* data, size_t size, size_t count, void* user) {
    auto* st = static_cast<TransferState*>(user);
    const size_t n = size * count;
    const std::string line = trimLine(data, n);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new answer begins (after a redirect or an interim 1xx): forget the last one's head.
        st->headers.clear();
        const size_t sp = line.find(' ');
        st->status = sp == std::string::npos ? 0 : std::atoll(line.c_str() + sp + 1);
    } else if (const size_t colon = line.find(':'); colon != std::string::npos && colon > 0) {
        size_t start = colon + 1;
        while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
        st->headers.add(line.substr(0, colon), line.substr(start));
    }
    return n;
}

size_t writeCallback(char* data, size_t size, size_t count, void* user) {
    auto* st = static_cast<TransferState*>(user);
    const size_t n = size * count;
    if (st->hooks->cancelled && st->hooks->cancelled()) return 0;
    st->deliverResponse();
    st->lastProgress = pf::Clock::current().monotonic();
    // Nothing beyond the request's limit is kept; a short write ends the transfer.
    const size_t room = st->request->maximumResponseBodySize() - st->kept;
    size_t keep = n;
    if (n > room) {
        if (st->request->truncatesResponseBody()) {
            st->truncated = true;
            keep = room;
        } else {
            st->tooLarge = true;
            return 0;
        }
    }
    st->kept += keep;
    if (st->hooks->onData && keep > 0) st->hooks->onData(reinterpret_cast<const uint8_t*>(data), keep);
    return keep < n ? 0 : n;
}

int progressCallback(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    (void)dltotal;
    (void)ultotal;
    auto* st = static_cast<TransferState*>(user);
    if (dlnow + ulnow != st->lastBytes) {
        st->lastBytes = dlnow + ulnow;
        st->lastProgress = pf::Clock::current().monotonic();
    }
    return st->hooks->cancelled && st->hooks->cancelled() ? 1 : 0;
}

// The worker threads of asynchronous connections, and the one way to
// initialise libcurl: under the same lock, so that the process's exit, which
// closes the registry, never runs beside a library initialisation. Never
// destroyed: workers and exit handlers use it until the very end.
class TransferThreads {
public:
    static TransferThreads& shared() {
        static auto* threads = new TransferThreads;
        return *threads;
    }

    // libcurl, initialised; null when it cannot be loaded or the process is exiting.
    const CurlLibrary* library(std::string* why) {
        std::lock_guard<std::mutex> lock(mutex_);
        return libraryLocked(why);
    }

    // Starts `body` on a worker thread once libcurl is ready; false (nothing
    // started) with the reason otherwise. `cancel` stops the body at exit.
    bool launch(std::function<void()> body, std::function<void()> cancel, std::string* why) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!libraryLocked(why)) return false;
        reapLocked();
        auto entry = workers_.insert(workers_.end(), Worker{});
        entry->cancel = std::move(cancel);
        entry->thread = std::thread([this, entry, body = std::move(body)] {
            body();
            std::lock_guard<std::mutex> done(mutex_);
            entry->finished = true;
        });
        return true;
    }

    // At exit: no new transfer; running ones are cancelled and joined.
    void stopAll() {
        std::list<Worker> running;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
            running.splice(running.end(), workers_);
        }
        for (auto& worker : running)
            if (worker.cancel) worker.cancel();
        for (auto& worker : running) {
            if (worker.thread.get_id() == std::this_thread::get_id())
                worker.thread.detach();
            else if (worker.thread.joinable())
                worker.thread.join();
        }
    }

private:
    struct Worker {
        std::thread thread;
        std::function<void()> cancel;
        bool finished = false;
    };

    static void stopAllAtExit() { shared().stopAll(); }

    const CurlLibrary* libraryLocked(std::string* why) {
        if (closed_) {
            if (why) *why = "the process is exiting";
            return nullptr;
        }
        if (!initialised_) {
            initialised_ = true;
            // Registered after libcurl's own libraries set up their exit
            // handlers, so this one runs before those tear them down.
            if (CurlLibrary::shared()) std::atexit(stopAllAtExit);
        }
        const CurlLibrary* lib = CurlLibrary::shared();
        if (!lib && why) *why = CurlLibrary::loadError();
        return lib;
    }

    // Joins the workers that have ended.
    void reapLocked() {
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (!it->finished) {
                ++it;
                continue;
            }
            it->thread.join();
            it = workers_.erase(it);
        }
    }

    std::mutex mutex_;
    bool closed_ = false;
    bool initialised_ = false;
    std::list<Worker> workers_;
};

// Closes the registry as soon as the process begins to exit, whether or not a
// transfer ever ran, so that no worker starts libcurl during the exit.
[[maybe_unused]] const bool gClosesAtExit = std::atexit([] { TransferThreads::shared().stopAll(); }) == 0;

// Runs one request to its end. Nullopt on success (the response has been
// delivered), else the error; a cancelled transfer answers kURLErrorCancelled.
std::optional<pf::Error> runTransfer(const URLRequest& request, TransferHooks& hooks) {
    std::string unavailable;
    const CurlLibrary* lib = TransferThreads::shared().library(&unavailable);
    const std::string& url = request.url();
    if (!lib) return urlError(kURLErrorUnknown, url, unavailable);
    const CurlLibrary& curl = *lib;
    if (url.empty()) return urlError(kURLErrorBadURL, url);

    CURL* easy = curl.easy_init();
    if (!easy) return urlError(kURLErrorUnknown, url, "could not create a transfer");
    TransferState st;
    st.curl = lib;
    st.request = &request;
    st.hooks = &hooks;
    st.easy = easy;

    curl.easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl.easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl.easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl.easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // A transfer cancelled while its host name is being resolved does not wait
    // for the resolver (an exiting process would wait as long as the lookup).
    curl.easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl.easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl.easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl.easy_setopt(easy, CURLOPT_FOLLOWLOCATION, request.followsRedirects() ? 1L : 0L);
    curl.easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    // Compression is asked for only by a request that names it; an answer
    // compressed unasked is still decoded (the header line below keeps the
    // decoder's default list off the wire).
    const std::string acceptEncoding = request.valueForHTTPHeaderField("Accept-Encoding");
    curl.easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, acceptEncoding.empty() ? "gzip, deflate" : acceptEncoding.c_str());

    const std::string& method = request.httpMethod();
    const Data& body = request.httpBody();
    if (method == "HEAD") {
        curl.easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (!body.empty() || method == "POST") {
        curl.easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl.easy_setopt(easy, CURLOPT_POSTFIELDS, body.empty() ? "" : reinterpret_cast<const char*>(body.data()));
        if (method != "POST") curl.easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method != "GET") {
        curl.easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    curl_slist* headerList = nullptr;
    for (const auto& [name, value] : request.allHTTPHeaderFields().fields())
        headerList = curl.slist_append(headerList, (name + ": " + value).c_str());
    headerList = curl.slist_append(headerList, "Expect:");
    if (acceptEncoding.empty()) headerList = curl.slist_append(headerList, "Accept-Encoding:");
    curl.easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);

    curl.easy_setopt(easy, CURLOPT_HEADERFUNCTION, headerCallback);
    curl.easy_setopt(easy, CURLOPT_HEADERDATA, &st);
    curl.easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeCallback);
    curl.easy_setopt(easy, CURLOPT_WRITEDATA, &st);
    curl.easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl.easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, progressCallback);
    curl.easy_setopt(easy, CURLOPT_XFERINFODATA, &st);

    CURLM* multi = curl.multi_init();
    curl.multi_add_handle(multi, easy);
    if (hooks.registerMulti) hooks.registerMulti(multi);

    auto& clock = pf::Clock::current();
    const double timeout =
        request.timeoutInterval() > 0 ? request.timeoutInterval() : URLRequest::kDefaultTimeoutInterval;
    st.lastProgress = clock.monotonic();
    bool cancelled = false, timedOut = false;
    int running = 1;
    while (true) {
        curl.multi_perform(multi, &running);
        if (!running) break;
        if (hooks.cancelled && hooks.cancelled()) {
            cancelled = true;
            break;
        }
        const double idle = clock.monotonic() - st.lastProgress;
        if (idle >= timeout) {
            timedOut = true;
            break;
        }
        // A manual clock moves in jumps: look at it often.
        const int waitMs = clock.isManual() ? 10 : static_cast<int>(std::clamp((timeout - idle) * 1000.0, 1.0, 1000.0));
        curl.multi_poll(multi, nullptr, 0, waitMs, nullptr);
    }

    CURLcode result = CURLE_OK;
    if (!cancelled && !timedOut) {
        int left = 0;
        while (CURLMsg* msg = curl.multi_info_read(multi, &left))
            if (msg->msg == CURLMSG_DONE) result = msg->data.result;
    }
    if (hooks.registerMulti) hooks.registerMulti(nullptr);

    std::optional<pf::Error> error;
    if (cancelled || (hooks.cancelled && hooks.cancelled())) {
        error = urlError(kURLErrorCancelled, url);
    } else if (timedOut) {
        error = urlError(kURLErrorTimedOut, url);
    } else if (st.truncated) {
        st.deliverResponse();
    } else if (st.tooLarge) {
        error = urlError(kURLErrorDataLengthExceedsMaximum, url);
    } else if (result == CURLE_ABORTED_BY_CALLBACK || result == CURLE_WRITE_ERROR) {
        error = urlError(kURLErrorCancelled, url);
    } else if (result != CURLE_OK) {
        error = urlError(codeForCurl(result), url, curl.easy_strerror(result));
    } else {
        st.deliverResponse();
    }

    curl.multi_remove_handle(multi, easy);
    curl.multi_cleanup(multi);
    curl.easy_cleanup(easy);
    curl.slist_free_all(headerList);
    return error;
}

}  // namespace

pf::Error urlError(URLErrorCode code, const std::string& url, const std::string& detail) {
    std::string message;
    switch (code) {
    case kURLErrorCancelled: message = "cancelled"; break;
    case kURLErrorBadURL:
    case kURLErrorUnsupportedURL: message = "unsupported URL"; break;
    case kURLErrorTimedOut: message = "The request timed out."; break;
    case kURLErrorCannotFindHost: message = "A server with the specified hostname could not be found."; break;
    case kURLErrorCannotConnectToHost: message = "Could not connect to the server."; break;
    case kURLErrorNetworkConnectionLost: message = "The network connection was lost."; break;
    case kURLErrorHTTPTooManyRedirects: message = "too many HTTP redirects"; break;
    case kURLErrorNotConnectedToInternet: message = "The Internet connection appears to be offline."; break;
    case kURLErrorBadServerResponse: message = "The server returned a bad response."; break;
    case kURLErrorCannotDecodeContentData: message = "cannot decode raw data"; break;
    case kURLErrorFileDoesNotExist: message = "The requested resource does not exist."; break;
    case kURLErrorFileIsDirectory: message = "The requested resource is a directory."; break;
    case kURLErrorSecureConnectionFailed:
        message = "An SSL error has occurred and a secure connection to the server cannot be made.";
        break;
    case kURLErrorServerCertificateUntrusted: message = "The certificate for this server is invalid."; break;
    default: message = detail.empty() ? "The operation couldn't be completed." : detail; break;
    }
    pf::Value::Dictionary info;
    info[pf::kLocalizedDescriptionKey] = message;
    info[kURLErrorFailingURLStringKey] = url;
    if (!detail.empty()) info["QMUnderlyingDescription"] = detail;
    return pf::Error(kURLErrorDomain, code, pf::Value(std::move(info)));
}

// State shared by the connection, its worker and the callbacks in flight.
struct URLConnection::Shared : std::enable_shared_from_this<URLConnection::Shared> {
    std::mutex mutex;
    bool cancelled = false;
    CURLM* multi = nullptr;
    pf::RunLoop* loop = nullptr;
    pf::dispatch::Queue* queue = nullptr;
    // Keeps the connection alive until its last callback has run (or it is cancelled).
    std::shared_ptr<URLConnection> keepAlive;

    bool isCancelled() {
        std::lock_guard<std::mutex> lock(mutex);
        return cancelled;
    }

    // Stops the transfer and drops what is not yet delivered. Answers the
    // connection's keep-alive, for the caller to release outside the lock.
    std::shared_ptr<URLConnection> cancel() {
        std::lock_guard<std::mutex> lock(mutex);
        if (cancelled) return nullptr;
        cancelled = true;
        if (multi) CurlLibrary::shared()->multi_wakeup(multi);
        return std::move(keepAlive);
    }

    // Posts `fn` to the delivering thread unless cancelled; there it runs only
    // if the connection is still not cancelled. `last` ends the keep-alive.
    void post(std::function<void(URLConnection&)> fn, bool last) {
        std::lock_guard<std::mutex> lock(mutex);
        if (cancelled) return;
        std::function<void()> task = [self = shared_from_this(), fn = std::move(fn), last] {
            std::shared_ptr<URLConnection> conn;
            {
                std::lock_guard<std::mutex> lock(self->mutex);
                if (self->cancelled) return;
                conn = self->keepAlive;
                if (last) self->keepAlive.reset();
            }
            if (conn) fn(*conn);
        };
        if (queue)
            queue->async(std::move(task));
        else if (loop)
            loop->perform(std::move(task));
    }
};

URLConnection::URLConnection(const URLRequest& request, URLConnectionDelegate* delegate)
    : request_(request), delegate_(delegate), shared_(std::make_shared<Shared>()) {}

URLConnection::~URLConnection() { cancel(); }

std::shared_ptr<URLConnection> URLConnection::connectionWithRequest(const URLRequest& request,
                                                                    URLConnectionDelegate* delegate,
                                                                    bool startImmediately) {
    auto conn = std::make_shared<URLConnection>(request, delegate);
    if (startImmediately) conn->start();
    return conn;
}

void URLConnection::setDelegateQueue(pf::dispatch::Queue* queue) { queue_ = queue; }

void URLConnection::start() {
    if (started_) return;
    started_ = true;
    auto shared = shared_;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->cancelled) return;
        shared->queue = queue_;
        if (!queue_) shared->loop = &pf::RunLoop::current();
        shared->keepAlive = shared_from_this();
    }
    URLConnectionDelegate* delegate = delegate_;
    const bool collect = static_cast<bool>(handler_);
    auto body = [shared, delegate, collect, handler = handler_, request = request_] {
        TransferHooks hooks;
        hooks.cancelled = [shared] { return shared->isCancelled(); };
        hooks.registerMulti = [shared](CURLM* multi) {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->multi = multi;
        };
        // The completion form gathers the answer here and delivers it in one call,
        // so any queue, serial or not, sees it whole.
        auto response = std::make_shared<URLResponse>();
        auto body = std::make_shared<Data>();
        if (collect) {
            hooks.onResponse = [response, body](const URLResponse& r) {
                *response = r;
                body->clear();
            };
            hooks.onData = [body](const uint8_t* bytes, size_t n) { body->insert(body->end(), bytes, bytes + n); };
        } else {
            hooks.onResponse = [shared, delegate](const URLResponse& r) {
                shared->post(
                    [delegate, r](URLConnection& c) {
                        if (delegate) delegate->didReceiveResponse(c, r);
                    },
                    false);
            };
            hooks.onData = [shared, delegate](const uint8_t* bytes, size_t n) {
                shared->post(
                    [delegate, data = Data(bytes, bytes + n)](URLConnection& c) {
                        if (delegate) delegate->didReceiveData(c, data);
                    },
                    false);
            };
        }
        auto error = runTransfer(request, hooks);
        if (collect) {
            shared->post(
                [handler, response, body, error](URLConnection&) {
                    if (error)
                        handler(nullptr, nullptr, &*error);
                    else
                        handler(response.get(), body.get(), nullptr);
                },
                true);
        } else if (error) {
            shared->post(
                [delegate, e = *error](URLConnection& c) {
                    if (delegate) delegate->didFailWithError(c, e);
                },
                true);
        } else {
            shared->post(
                [delegate](URLConnection& c) {
                    if (delegate) delegate->connectionDidFinishLoading(c);
                },
                true);
        }
    };
    std::string why;
    if (TransferThreads::shared().launch(
            std::move(body), [shared] { shared->cancel(); }, &why))
        return;
    // No worker: the failure is delivered like any other.
    pf::Error error = urlError(kURLErrorUnknown, request_.url(), why);
    if (handler_) {
        shared->post([handler = handler_, error](URLConnection&) { handler(nullptr, nullptr, &error); }, true);
    } else {
        shared->post(
            [delegate, error](URLConnection& c) {
                if (delegate) delegate->didFailWithError(c, error);
            },
            true);
    }
}

void URLConnection::cancel() {
    std::shared_ptr<URLConnection> release = shared_->cancel();
    // `release` may be the last reference; nothing touches this object after it goes.
}

std::optional<Data> URLConnection::sendSynchronousRequest(const URLRequest& request, URLResponse* response,
                                                          pf::Error* error) {
    Data data;
    std::optional<URLResponse> got;
    TransferHooks hooks;
    hooks.onResponse = [&](const URLResponse& r) {
        got = r;
        data.clear();
    };
    hooks.onData = [&](const uint8_t* bytes, size_t n) { data.insert(data.end(), bytes, bytes + n); };
    auto failure = runTransfer(request, hooks);
    if (failure) {
        if (error) *error = *failure;
        return std::nullopt;
    }
    if (response && got) *response = *got;
    return data;
}

std::shared_ptr<URLConnection> URLConnection::sendAsynchronousRequest(const URLRequest& request,
                                                                      pf::dispatch::Queue& queue,
                                                                      CompletionHandler handler) {
    auto conn = std::make_shared<URLConnection>(request, nullptr);
    conn->handler_ = std::move(handler);
    conn->setDelegateQueue(&queue);
    conn->start();
    return conn;
}

}  // namespace platform::net
