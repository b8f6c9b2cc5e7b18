#include "crash/manager/PKRHTTPOperation.h"

#include <algorithm>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Thread.h"

namespace pf = platform::foundation;
namespace net = platform::net;

std::shared_ptr<PKRHTTPOperation> PKRHTTPOperation::operationWithRequest(net::URLRequest request) {
    return std::make_shared<PKRHTTPOperation>(std::move(request));
}

PKRHTTPOperation::~PKRHTTPOperation() {
    if (connection_) connection_->cancel();
}

void PKRHTTPOperation::start() {
    if (cancelled_) {
        finish();
        return;
    }
    if (!pf::Thread::isMainThread()) {
        auto self = shared_from_this();
        pf::RunLoop::main().perform([self] { self->startOnMainThread(); });
        return;
    }
    startOnMainThread();
}

void PKRHTTPOperation::startOnMainThread() {
    if (finished_ || executing_) return;
    if (cancelled_) {
        finish();
        return;
    }
    executing_ = true;
    connection_ = net::URLConnection::connectionWithRequest(request_, this, true);
}

void PKRHTTPOperation::cancel() {
    if (finished_) return;
    cancelled_ = true;
    if (connection_) connection_->cancel();
    if (executing_) finish();
}

void PKRHTTPOperation::setCompletion(Completion completion) { completion_ = std::move(completion); }

void PKRHTTPOperation::didReceiveResponse(net::URLConnection&, const net::URLResponse& response) {
    data_ = Data();  // a redirect's body is not this answer's
    response_ = response;
}

void PKRHTTPOperation::didReceiveData(net::URLConnection&, const Data& data) {
    if (!data_) data_ = Data();
    data_->insert(data_->end(), data.begin(), data.end());
}

void PKRHTTPOperation::connectionDidFinishLoading(net::URLConnection&) {
    if (!data_) data_ = Data();
    finish();
}

void PKRHTTPOperation::didFailWithError(net::URLConnection&, const Error& error) {
    error_ = error;
    data_.reset();
    finish();
}

void PKRHTTPOperation::finish() {
    if (finished_) return;
    executing_ = false;
    finished_ = true;
    connection_.reset();
    if (completion_ && !cancelled_) {
        std::weak_ptr<PKRHTTPOperation> weak = shared_from_this();
        Completion completion = std::move(completion_);
        completion_ = nullptr;
        pf::dispatch::mainQueue().async([weak, completion] {
            auto self = weak.lock();
            if (!self || self->cancelled_) return;
            completion(*self, self->data(), self->error());
        });
    }
    if (auto hook = std::move(onFinish_)) hook();
}

void PKRHTTPOperationQueue::addOperation(std::shared_ptr<PKRHTTPOperation> operation) {
    if (!operation || operation->isFinished()) return;
    std::weak_ptr<PKRHTTPOperationQueue> weak = shared_from_this();
    PKRHTTPOperation* raw = operation.get();
    operation->onFinish_ = [weak, raw] {
        if (auto queue = weak.lock()) queue->finished(raw);
    };
    operations_.push_back(std::move(operation));
    startNext();
}

void PKRHTTPOperationQueue::startNext() {
    if (operations_.empty() || operations_.front()->isExecuting()) return;
    // start() may finish it at once (cancelled), which takes it off the queue.
    auto next = operations_.front();
    next->start();
}

void PKRHTTPOperationQueue::finished(PKRHTTPOperation* operation) {
    // Keep it alive until its own finish() has returned.
    auto it =
        std::find_if(operations_.begin(), operations_.end(), [&](const auto& op) { return op.get() == operation; });
    if (it == operations_.end()) return;
    auto keep = *it;
    operations_.erase(it);
    pf::dispatch::mainQueue().async([keep] {});
    startNext();
}
