#include "analytics/TLYURLConnection.h"

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/URLConnection.h"

#include "analytics/TLY.h"
#include "platform/foundation/Thread.h"

namespace {

std::atomic<bool> gDryRun{false};
// The dispatcher reads only an answer's status: a larger body is cut off here
// rather than held in memory, however much a compressed answer would inflate to.
constexpr size_t kKeptAnswerBytes = 1024;

platform::foundation::RunLoop& analyticsLoop() { return TLY::thread().runLoop(); }

// Receives the platform connection's calls for one TLYURLConnection; kept
// apart so the platform connection never calls into a destroyed object.
class Receiver : public platform::net::URLConnectionDelegate {
public:
    std::function<void(const platform::net::URLResponse&)> onResponse;
    std::function<void(const platform::net::Data&)> onData;
    std::function<void(std::optional<platform::foundation::Error>)> onEnd;

    void didReceiveResponse(platform::net::URLConnection&, const platform::net::URLResponse& r) override {
        onResponse(r);
    }
    void didReceiveData(platform::net::URLConnection&, const platform::net::Data& d) override { onData(d); }
    void connectionDidFinishLoading(platform::net::URLConnection&) override { onEnd(std::nullopt); }
    void didFailWithError(platform::net::URLConnection&, const platform::foundation::Error& e) override { onEnd(e); }
};

}  // namespace

void TLYURLConnection::setDryRun(bool dryRun) { gDryRun = dryRun; }
bool TLYURLConnection::dryRun() { return gDryRun; }

std::shared_ptr<TLYURLConnection> TLYURLConnection::initWithRequest(
    const platform::net::URLRequest& request, platform::foundation::dispatch::Queue* completionQueue,
    CompletionHandler completionHandler, platform::foundation::RunLoop* startLoop) {
    auto connection = std::make_shared<TLYURLConnection>(request, completionQueue, std::move(completionHandler));
    platform::foundation::RunLoop& loop = startLoop ? *startLoop : analyticsLoop();
    // Strong until it has started: the connection keeps itself alive until its
    // block has run.
    loop.perform([connection] { connection->start(); });
    return connection;
}

TLYURLConnection::TLYURLConnection(const platform::net::URLRequest& request,
                                   platform::foundation::dispatch::Queue* completionQueue,
                                   CompletionHandler completionHandler)
    : request_(request),
      completionQueue_(completionQueue ? completionQueue : &platform::foundation::dispatch::mainQueue()),
      completionHandler_(std::move(completionHandler)) {
    request_.setMaximumResponseBodySize(kKeptAnswerBytes, true);
}

TLYURLConnection::~TLYURLConnection() {
    if (connection_) connection_->cancel();
}

void TLYURLConnection::start() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!completionHandler_ || connection_ || receiver_) return;  // finished, cancelled or running
    }
    if (dryRun()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            answer_.hasResponse = true;
            answer_.isHTTP = true;
            answer_.statusCode = 200;
            answer_.data.clear();
        }
        finish(std::nullopt);
        return;
    }
    auto self = shared_from_this();
    auto receiver = std::make_shared<Receiver>();
    // The platform connection holds its delegate without owning it; the
    // receiver lives here until the answer is complete, and holds this
    // connection alive meanwhile.
    receiver->onResponse = [self](const platform::net::URLResponse& response) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->answer_.hasResponse = true;
        self->answer_.isHTTP = true;
        self->answer_.statusCode = response.statusCode();
        self->answer_.data.clear();
    };
    receiver->onData = [self](const platform::net::Data& data) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->answer_.data.insert(self->answer_.data.end(), data.begin(), data.end());
    };
    receiver->onEnd = [self](std::optional<platform::foundation::Error> error) { self->finish(std::move(error)); };
    std::shared_ptr<platform::net::URLConnection> connection;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        receiver_ = receiver;
        connection = platform::net::URLConnection::connectionWithRequest(request_, receiver.get(), false);
        connection_ = connection;
    }
    connection->start();
}

void TLYURLConnection::cancel() {
    std::shared_ptr<platform::net::URLConnection> connection;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_.data.clear();
        connection = connection_;
    }
    if (connection) connection->cancel();
    finish(std::nullopt);
}

void TLYURLConnection::finish(std::optional<platform::foundation::Error> error) {
    CompletionHandler handler;
    Answer answer;
    std::shared_ptr<platform::net::URLConnectionDelegate> receiver;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!completionHandler_) return;  // the block runs once
        handler = std::move(completionHandler_);
        completionHandler_ = nullptr;
        answer = answer_;
        answer.error = std::move(error);
        connection_.reset();
        receiver = std::move(receiver_);
    }
    // The receiver may be the caller of this function: let it go after return.
    completionQueue_->async([handler = std::move(handler), answer = std::move(answer), receiver]() mutable {
        receiver.reset();
        handler(answer);
    });
}
