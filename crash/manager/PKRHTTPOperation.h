#pragma once
// One request of the crash report manager, run as an operation of the app
// client's queue: it drives one URL connection on the main thread and hands
// the answer (status, body or failure) to its completion on the main queue.
// The queue runs one operation at a time, strictly in the order enqueued.
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/net/URLConnection.h"

class PKRHTTPOperationQueue;

class PKRHTTPOperation : public std::enable_shared_from_this<PKRHTTPOperation>,
                         private platform::net::URLConnectionDelegate {
public:
    using Data = platform::net::Data;
    using Error = platform::foundation::Error;
    // The body is null after a connection failure, the error null after an answer.
    using Completion = std::function<void(PKRHTTPOperation& operation, const Data* data, const Error* error)>;

    static std::shared_ptr<PKRHTTPOperation> operationWithRequest(platform::net::URLRequest request);
    explicit PKRHTTPOperation(platform::net::URLRequest request) : request_(std::move(request)) {}
    ~PKRHTTPOperation() override;

    // From any thread; the connection starts on the main thread.
    void start();
    // Stops the connection; a running operation then finishes at once, so the
    // queue moves on. The completion is not called.
    void cancel();
    bool isConcurrent() const { return true; }
    bool isExecuting() const { return executing_; }
    bool isFinished() const { return finished_; }
    bool isCancelled() const { return cancelled_; }

    const platform::net::URLRequest& URLRequest() const { return request_; }
    // The last answer's head; null before one came.
    const platform::net::URLResponse* response() const { return response_ ? &*response_ : nullptr; }
    int64_t statusCode() const { return response_ ? response_->statusCode() : 0; }
    const Data* data() const { return data_ ? &*data_ : nullptr; }
    const Error* error() const { return error_ ? &*error_ : nullptr; }

    // Runs once, on the main queue, after the operation finished uncancelled.
    void setCompletion(Completion completion);

private:
    friend class PKRHTTPOperationQueue;
    void didReceiveResponse(platform::net::URLConnection&, const platform::net::URLResponse& response) override;
    void didReceiveData(platform::net::URLConnection&, const Data& data) override;
    void connectionDidFinishLoading(platform::net::URLConnection&) override;
    void didFailWithError(platform::net::URLConnection&, const Error& error) override;
    void startOnMainThread();
    void finish();

    platform::net::URLRequest request_;
    std::shared_ptr<platform::net::URLConnection> connection_;
    std::optional<Data> data_;
    std::optional<platform::net::URLResponse> response_;
    std::optional<Error> error_;
    bool executing_ = false, finished_ = false, cancelled_ = false;
    Completion completion_;
    std::function<void()> onFinish_;  // the queue's hook
};

// Runs its operations one after another (at most one executing).
class PKRHTTPOperationQueue : public std::enable_shared_from_this<PKRHTTPOperationQueue> {
public:
    void addOperation(std::shared_ptr<PKRHTTPOperation> operation);
    // Waiting and executing operations, in order.
    std::deque<std::shared_ptr<PKRHTTPOperation>> operations() const { return operations_; }
    int64_t maxConcurrentOperationCount() const { return 1; }

private:
    void startNext();
    void finished(PKRHTTPOperation* operation);
    std::deque<std::shared_ptr<PKRHTTPOperation>> operations_;
};
