#pragma once
// Carries one collection request and hands its answer to a block on a chosen
// queue, or, in dry-run mode, answers 200 without sending anything.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/net/URLRequest.h"

namespace platform::foundation {
class RunLoop;
namespace dispatch {
class Queue;
}
}  // namespace platform::foundation
namespace platform::net {
class URLConnection;
class URLConnectionDelegate;
}  // namespace platform::net

class TLYURLConnection : public std::enable_shared_from_this<TLYURLConnection> {
public:
    struct Answer {
        bool hasResponse = false;  // a response object came
        bool isHTTP = false;       // ... and it is an HTTP one
        int64_t statusCode = -1;
        std::vector<uint8_t> data;  // the body gathered so far
        std::optional<platform::foundation::Error> error;
    };
    using CompletionHandler = std::function<void(const Answer&)>;

    static void setDryRun(bool dryRun);
    static bool dryRun();

    // Starts itself on `startLoop` (the analytics thread's when null) without
    // waiting; the block runs once, on `completionQueue`.
    static std::shared_ptr<TLYURLConnection> initWithRequest(const platform::net::URLRequest& request,
                                                             platform::foundation::dispatch::Queue* completionQueue,
                                                             CompletionHandler completionHandler,
                                                             platform::foundation::RunLoop* startLoop = nullptr);
    TLYURLConnection(const platform::net::URLRequest& request, platform::foundation::dispatch::Queue* completionQueue,
                     CompletionHandler completionHandler);
    ~TLYURLConnection();

    void start();
    // Stops the request; the block still runs, with no error.
    void cancel();
    const platform::net::URLRequest& request() const { return request_; }

private:
    void finish(std::optional<platform::foundation::Error> error);

    platform::net::URLRequest request_;
    std::shared_ptr<platform::net::URLConnection> connection_;
    std::shared_ptr<platform::net::URLConnectionDelegate> receiver_;
    std::mutex mutex_;
    Answer answer_;
    platform::foundation::dispatch::Queue* completionQueue_;
    CompletionHandler completionHandler_;  // cleared once called
};

using TLYURLConnectionFactory = std::function<std::shared_ptr<TLYURLConnection>(
    const platform::net::URLRequest& request, platform::foundation::dispatch::Queue* completionQueue,
    TLYURLConnection::CompletionHandler completionHandler, platform::foundation::RunLoop* startLoop)>;
