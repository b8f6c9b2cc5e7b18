#pragma once
// URL loading over libcurl. Synchronous loading runs on the calling thread;
// asynchronous loading runs on a worker thread and delivers its callbacks on the
// run loop of the thread that started it, or on a dispatch queue. Compression
// is asked for only by a request that sets its own "Accept-Encoding"; answers
// compressed with gzip or deflate arrive decoded, and no more of a body is kept
// than the request allows. TLS peers are verified; a request fails as timed out
// after its time-out interval without progress (measured on the process clock,
// so a manual clock can expire it).
//
// libcurl is initialised before the first worker thread starts; when the
// process exits, running workers are cancelled and joined before the libraries
// they use go away, and no transfer starts any more.
//
// A running connection keeps itself alive until its last callback. cancel()
// stops it: once cancel() has returned on the delivering thread, no callback
// follows (from another thread, a callback already running may still finish).
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/net/URLError.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"

namespace platform::foundation {
class RunLoop;
namespace dispatch {
class Queue;
}
}  // namespace platform::foundation

namespace platform::net {

class URLConnection;

class URLConnectionDelegate {
public:
    virtual ~URLConnectionDelegate() = default;
    // The final answer's head (after any followed redirects); may come again
    // never, as bodies of redirects are not delivered.
    virtual void didReceiveResponse(URLConnection&, const URLResponse&) {}
    virtual void didReceiveData(URLConnection&, const Data&) {}
    virtual void connectionDidFinishLoading(URLConnection&) {}
    virtual void didFailWithError(URLConnection&, const foundation::Error&) {}
};

class URLConnection : public std::enable_shared_from_this<URLConnection> {
public:
    using CompletionHandler =
        std::function<void(const URLResponse* response, const Data* data, const foundation::Error* error)>;

    // The delegate is not owned; it must cancel the connection before it goes.
    static std::shared_ptr<URLConnection> connectionWithRequest(const URLRequest& request,
                                                                URLConnectionDelegate* delegate,
                                                                bool startImmediately = true);
    ~URLConnection();

    // Deliver on `queue` instead of the starting thread's run loop (before
    // start()). The delegate's calls come in order only on a serial queue.
    void setDelegateQueue(foundation::dispatch::Queue* queue);
    void start();   // once; later calls do nothing
    void cancel();  // nothing is called back afterwards; idempotent
    const URLRequest& originalRequest() const { return request_; }

    // Loads on the calling thread. Data (possibly empty) when an answer came,
    // whatever its status; nullopt with `error` filled when none did.
    static std::optional<Data> sendSynchronousRequest(const URLRequest& request, URLResponse* response,
                                                      foundation::Error* error);
    // Loads on a worker thread and calls `handler` once on `queue`: with the
    // response and data, or with the error (response and data null).
    static std::shared_ptr<URLConnection> sendAsynchronousRequest(const URLRequest& request,
                                                                  foundation::dispatch::Queue& queue,
                                                                  CompletionHandler handler);

    struct Shared;

    URLConnection(const URLRequest& request, URLConnectionDelegate* delegate);

private:
    URLRequest request_;
    URLConnectionDelegate* delegate_;
    CompletionHandler handler_;  // the completion-handler form
    foundation::dispatch::Queue* queue_ = nullptr;
    std::shared_ptr<Shared> shared_;
    bool started_ = false;
};

}  // namespace platform::net
