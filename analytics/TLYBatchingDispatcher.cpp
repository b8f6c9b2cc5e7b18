#include "analytics/TLYBatchingDispatcher.h"

#include <cmath>
#include <cstdlib>
#include <future>

#include "analytics/TLYAnalyticsPropertiesStore.h"
#include "analytics/TLYDataStore.h"
#include "analytics/TLYHitUtil.h"
#include "analytics/TLYLog.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"

#include "analytics/TLY.h"
#include "platform/foundation/Thread.h"
#include "analytics/TLYTrackerModel.h"

using platform::foundation::Clock;
using platform::foundation::Error;
using platform::foundation::RunLoop;
using Value = platform::foundation::Value;

namespace {

constexpr const char* kDefaultSecureBase = "https://ssl.tallymark.example";
constexpr const char* kDefaultPlainBase = "http://www.tallymark.example";
// A single hit this short goes by GET; at this length and above by POST.
constexpr size_t kMaxGetPayload = 2000;
// The longest wait between passes after failures, unless the interval is longer.
constexpr double kMaxRetryDelay = 3600.0;

RunLoop* defaultAnalyticsLoop() {
    return &TLY::thread().runLoop();
}

double nowSinceReferenceDate() { return Clock::current().sinceReferenceDate(); }

double hitTimestamp(const Value& hit) {
    const Value& t = hit["timestamp"];
    return t.isDate() ? t.dateValue() : t.isNumber() ? t.doubleValue() : 0;
}

// A hit is plain only when its "useSecure" says "0".
bool isPlain(const Value& hit) {
    const Value& useSecure = hit["parameters"]["useSecure"];
    return useSecure.isString() && useSecure.string() == "0";
}

std::string hostOf(const std::string& url) {
    size_t start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    if (!authority.empty() && authority[0] == '[') return authority.substr(1, authority.find(']') - 1);
    return authority.substr(0, authority.find(':'));
}

// The whole text reads as one single-precision number.
std::optional<float> samplingRate(const Value& value) {
    if (value.isNumber()) return value.floatValue();
    if (!value.isString()) return std::nullopt;
    const std::string& text = value.string();
    const char* begin = text.c_str();
    while (*begin == ' ' || *begin == '\t' || *begin == '\n' || *begin == '\r') ++begin;
    if (!*begin) return std::nullopt;
    char* end = nullptr;
    float rate = std::strtof(begin, &end);
    if (end == begin || *end != '\0') return std::nullopt;
    return rate;
}

Value::Array objectIds(const Value::Array& hits) {
    Value::Array ids;
    for (const auto& hit : hits)
        if (hit.contains("objectID")) ids.push_back(hit["objectID"]);
    return ids;
}

}  // namespace

// --- Creation and destruction ---

TLYBatchingDispatcher::Endpoints TLYBatchingDispatcher::defaultEndpoints() {
    std::string secure = kDefaultSecureBase, plain = kDefaultPlainBase;
    if (const char* override = std::getenv(kTLYCollectURLEnvironmentVariable); override && *override) {
        std::string base = override;
        while (!base.empty() && base.back() == '/') base.pop_back();
        secure = plain = base;
    }
    return {plain + "/collect", secure + "/collect", plain + "/batch", secure + "/batch"};
}

std::shared_ptr<TLYBatchingDispatcher> TLYBatchingDispatcher::dispatcher() {
    std::shared_ptr<TLYDataStore> store = TLYDataStore::dataStore();
    if (!store) return nullptr;
    auto dispatcher = initWithDataStore(store);
    if (dispatcher) dispatcher->setDataStoreObject(store);
    return dispatcher;
}

std::shared_ptr<TLYBatchingDispatcher> TLYBatchingDispatcher::initWithDataStore(std::shared_ptr<TLYHitStorage> store,
                                                                                Environment environment) {
    if (!store) return nullptr;
    auto dispatcher = std::make_shared<TLYBatchingDispatcher>(std::move(store), std::move(environment));
    dispatcher->setUp();
    return dispatcher;
}

TLYBatchingDispatcher::TLYBatchingDispatcher(std::shared_ptr<TLYHitStorage> store, Environment environment)
    : store_(std::move(store)), environment_(std::move(environment)) {
    loop_ = environment_.analyticsLoop ? environment_.analyticsLoop : defaultAnalyticsLoop();
    propertiesStore_ =
        environment_.propertiesStore ? environment_.propertiesStore : TLYAnalyticsPropertiesStore::sharedInstance();
    endpoints_ = defaultEndpoints();
    urlConnectionClass_ = TLYURLConnection::initWithRequest;
}

void TLYBatchingDispatcher::setUp() {
    reachability_ = TLYReachabilityChecker::initWithDelegate(this, hostOf(endpoints_.httpsURL));
    if (reachability_) {
        if (environment_.reachabilityApi) reachability_->setReachabilityApi(environment_.reachabilityApi);
        reachability_->start();
    }
    initialDispatch();
}

TLYBatchingDispatcher::~TLYBatchingDispatcher() {
    if (reachability_) reachability_->stop();
    std::shared_ptr<TLYURLConnection> connection;
    std::shared_ptr<platform::foundation::Timer> timer;
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        connection = std::move(connection_);
        timer = std::move(timer_);
    }
    if (connection) connection->cancel();
    // Timer and delayed calls hold this object weakly; they only need to go.
    const void* target = this;
    RunLoop* loop = loop_;
    auto cancel = [timer, loop, target] {
        if (timer) timer->invalidate();
        loop->cancelPerforms(target);
    };
    if (onAnalyticsThread())
        cancel();
    else
        loop_->perform(cancel);
}

// --- Thread hops ---

bool TLYBatchingDispatcher::onAnalyticsThread() const { return &RunLoop::current() == loop_; }

bool TLYBatchingDispatcher::hop(std::function<void()> fn, bool wait) {
    if (onAnalyticsThread()) return false;
    if (!wait) {
        loop_->perform(std::move(fn));
        return true;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    loop_->perform([fn = std::move(fn), done] {
        fn();
        done->set_value();
    });
    finished.wait();
    return true;
}

// --- Scheduling ---

void TLYBatchingDispatcher::initialDispatch() {
    std::weak_ptr<TLYBatchingDispatcher> weak = weak_from_this();
    if (hop([weak] { if (auto self = weak.lock()) self->initialDispatch(); }, false)) return;
    loop_->performAfter(1.0, [weak] { if (auto self = weak.lock()) self->timerFired(); }, this);
}

void TLYBatchingDispatcher::timerFired() {
    if (canScheduleDispatch()) dispatch();
}

bool TLYBatchingDispatcher::canScheduleDispatch() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return dispatchInterval_ > 0 && hostReachable_ && hasHits_;
}

bool TLYBatchingDispatcher::canDispatch() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return hostReachable_ && hasHits_;
}

double TLYBatchingDispatcher::retryDelay() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    double delay = dispatchInterval_;
    double cap = std::max(dispatchInterval_, kMaxRetryDelay);
    for (uint32_t i = 1; i < failedPasses_ && delay < cap; ++i) delay *= 2;
    return std::min(delay, cap);
}

void TLYBatchingDispatcher::keepDispatching(bool failed) {
    bool rebuild;
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        if (failed) {
            ++failedPasses_;
            rebuild = true;  // the next try counts from this failure
        } else {
            rebuild = failedPasses_ != 0 || !timer_;
            failedPasses_ = 0;
        }
    }
    if (rebuild) rescheduleDispatch();
}

void TLYBatchingDispatcher::rescheduleDispatch() {
    std::weak_ptr<TLYBatchingDispatcher> weak = weak_from_this();
    if (hop([weak] { if (auto self = weak.lock()) self->rescheduleDispatch(); }, false)) return;
    cancelDispatch();
    if (!canScheduleDispatch()) return;
    double interval = retryDelay();
    auto timer = platform::foundation::Timer::scheduled(
        interval, true, [weak](platform::foundation::Timer&) { if (auto self = weak.lock()) self->timerFired(); },
        loop_);
    std::lock_guard<std::recursive_mutex> lock(lock_);
    timer_ = std::move(timer);
}

void TLYBatchingDispatcher::cancelDispatch() {
    loop_->cancelPerforms(this);
    std::shared_ptr<platform::foundation::Timer> timer;
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        timer = std::move(timer_);
    }
    if (timer) timer->invalidate();
}

// --- Intake ---

void TLYBatchingDispatcher::queueModel(std::shared_ptr<TLYTrackerModel> model) {
    if (optOut() || !model) return;
    auto self = shared_from_this();
    auto build = [self, model] { self->queueDispatch(model->buildDictionary()); };
    if (hop(build, false)) return;
    build();
}

void TLYBatchingDispatcher::queueDispatch(const Value& parameters) {
    auto self = shared_from_this();
    if (hop([self, parameters] { self->queueDispatch(parameters); }, false)) return;
    if (optOut()) return;

    if (parameters.contains("&sf")) {
        if (auto rate = samplingRate(parameters["&sf"])) {
            uint32_t hash = TLYHitUtil::tlyHash(parameters["&cid"].stringValue());
            // The rate stays single precision; its scaling is done in double.
            if (double(float(hash % 10000)) >= double(*rate) * 100.0) return;
        }
    }

    Value hitParameters = parameters.isDictionary() ? parameters : Value(Value::Dictionary{});
    std::string trackingId = parameters["&tid"].stringValue();
    if (!trackingId.empty()) {
        // The number is committed with the hit, never after it: a hit stored
        // without its number would have it handed out again.
        if (uncommitted_.empty()) propertiesStore_->sqlStore()->beginTransaction();
        auto number = propertiesStore_->nextHitNumberForTrackingId(trackingId, parameters["&cid"].stringValue());
        if (number && !number->empty()) hitParameters["&_s"] = *number;
    }
    double hitTime = Clock::current().now();
    if (parameters["timestamp"].isDate()) {
        hitTime = parameters["timestamp"].dateValue();
        hitParameters.erase("timestamp");
    }
    Value record(Value::Dictionary{});
    record["timestamp"] = Value::date(hitTime);
    record["parameters"] = hitParameters;
    persist(record);
    checkIAdCampaignAttributionWithHitParameters(hitParameters);
}

void TLYBatchingDispatcher::persist(const Value& record) {
    store_->addHit(record);
    // Held strongly: stored hits are committed even when the dispatcher goes first.
    if (uncommitted_.empty()) loop_->perform([self = shared_from_this()] { self->commitStoredHits(); });
    uncommitted_.push_back(record);
    setHasHits(true);
}

void TLYBatchingDispatcher::commitStoredHits() {
    static const char* method = "-[TLYBatchingDispatcher persist:]";
    Value::Array records = std::move(uncommitted_);
    uncommitted_.clear();
    propertiesStore_->sqlStore()->commitTransaction();
    Error error;
    bool saved = store_->save(&error);
    for (const auto& record : records) {
        if (saved)
            TLY_VERBOSE(method, "Saved hit: %s", record.description().c_str());
        else
            TLY_ERROR(method, "Failed to save hit: %s", error.description().c_str());
    }
}

// --- Choosing hits ---

std::optional<Value::Array> TLYBatchingDispatcher::nextPendingHits() {
    for (;;) {
        Error error;
        auto hits = store_->fetchHitsWithLimit(maxHitsPerDispatch(), &error);
        if (!hits) {
            TLY_ERROR("-[TLYBatchingDispatcher nextPendingHits]", "Failed to load pending hits: %s",
                      error.description().c_str());
            return std::nullopt;
        }
        if (hits->empty()) return hits;
        double cutoff = Clock::current().now() - maxHitAge();
        Value::Array expired;
        for (const auto& hit : *hits)
            if (hitTimestamp(hit) <= cutoff) expired.push_back(hit);
        if (expired.empty()) return hits;
        // A store that cannot delete would hand the same hits back for ever.
        if (!deleteHits(expired)) return Value::Array{};
    }
}

std::string TLYBatchingDispatcher::payloadFor(const Value& hit) const { return requestBuilder_.parametersForHit(hit); }

Value::Array TLYBatchingDispatcher::hitsForDispatch() {
    auto pending = nextPendingHits();
    if (!pending || pending->empty()) {
        TLY_INFO("-[TLYBatchingDispatcher hitsForDispatch]", "No pending hits.");
        return {};
    }
    uint64_t strategy = batchingStrategy();
    if (strategy == 0 || serverBatchingDisabled()) return {pending->front()};

    bool plain = isPlain(pending->front());
    Value::Array candidates;
    for (const auto& hit : *pending)
        if (isPlain(hit) == plain) candidates.push_back(hit);

    // Running totals of the body as it will be sent: payload bytes plus the
    // line feeds that join them.
    uint64_t limit = maxBodySize();
    std::vector<uint64_t> running;
    uint64_t total = 0;
    for (size_t i = 0; i < candidates.size(); ++i) {
        total += payloadFor(candidates[i]).size() + (i ? 1 : 0);
        running.push_back(total);
    }
    uint64_t fitting = 0;
    while (fitting < running.size() && running[fitting] <= limit) ++fitting;

    uint64_t count = candidates.size();
    uint64_t take = count;
    if (total > limit) {
        switch (strategy) {
        case 1: take = fitting; break;
        case 2: take = batchByTimeGap(candidates, fitting); break;
        case 3:
            take = 0;
            if (total < 2 * limit) {
                for (size_t i = count - 1; i >= 1; --i) {
                    if (running[i] <= total / 2) {
                        take = i;
                        break;
                    }
                }
            } else {
                take = fitting;
            }
            break;
        case 4: take = std::min<uint64_t>(count / 2, fitting); break;
        case 5: take = batchBySessionSplit(candidates, fitting); break;
        default:
            TLY_ERROR("-[TLYBatchingDispatcher hitsForDispatch]", "unexpected batch strategy: %lu",
                      (unsigned long)strategy);
            take = 1;
            break;
        }
    }
    take = std::min<uint64_t>(std::max<uint64_t>(take, 1), count);
    return Value::Array(candidates.begin(), candidates.begin() + long(take));
}

uint64_t TLYBatchingDispatcher::batchByTimeGap(const Value::Array& hits, uint64_t maxHits) {
    uint64_t m = std::min<uint64_t>(hits.size(), maxHits);
    if (m <= 1) return m;
    uint64_t answer = m;
    uint64_t widest = 0;
    for (uint64_t i = 1; i < m; ++i) {
        const Value& earlier = hits[i - 1]["timestamp"];
        const Value& later = hits[i]["timestamp"];
        if (earlier.isNull() || later.isNull()) continue;
        double a = hitTimestamp(hits[i - 1]), b = hitTimestamp(hits[i]);
        if (b < a) continue;
        auto gap = uint64_t((b - a) * 1000.0);
        if (gap >= widest) {
            answer = i;
            widest = gap;
        }
    }
    return answer;
}

uint64_t TLYBatchingDispatcher::batchBySessionSplit(const Value::Array& hits, uint64_t maxHits) {
    uint64_t n = std::min<uint64_t>(maxHits, hits.size());
    for (uint64_t i = n; i-- > 1;) {
        const Value& control = hits[i]["parameters"]["&sc"];
        if (!control.isString()) continue;
        if (control.string() == "start") return i;
        if (control.string() == "end") return i + 1;
    }
    return maxHits;
}

// --- A dispatch pass ---

TLYDispatchCompletion TLYBatchingDispatcher::defaultCompletionHandler() const {
    std::weak_ptr<const TLYBatchingDispatcher> weak = weak_from_this();
    return [weak](TLYDispatchResult result) {
        auto self = std::const_pointer_cast<TLYBatchingDispatcher>(weak.lock());
        if (self && result == TLYDispatchResult::Good) self->dispatch();
    };
}

void TLYBatchingDispatcher::complete(const TLYDispatchCompletion& completion, TLYDispatchResult result) {
    if (completion) completion(result);
}

void TLYBatchingDispatcher::dispatchWithCompletionHandler(TLYDispatchCompletion completion) {
    bool chained = !completion;
    if (completion)
        setDispatchInterval(-1.0);
    else
        completion = defaultCompletionHandler();
    auto self = shared_from_this();
    // Each pass carries its own block to its own request, so a caller's block
    // is called once, with the outcome of that caller's pass.
    if (hop([self, completion, chained] { self->dispatchPass(completion, chained); }, false)) return;
    dispatchPass(completion, chained);
}

void TLYBatchingDispatcher::dispatchPass(TLYDispatchCompletion completion, bool chained) {
    static const char* method = "-[TLYBatchingDispatcher dispatchWithCompletionHandler:]";
    if (!canDispatch()) return complete(completion, TLYDispatchResult::NoData);
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        if (serverBatchingDisabled_ && nowSinceReferenceDate() - batchFailedTime_ > batchRetryInterval_)
            serverBatchingDisabled_ = false;
    }
    Value::Array hits = hitsForDispatch();
    if (hits.empty()) {
        setHasHits(false);
        return complete(completion, TLYDispatchResult::NoData);
    }
    if (hasConnection()) return complete(completion, TLYDispatchResult::NoData);

    platform::foundation::NotificationCenter::defaultCenter().post(kTLYWillDispatchNotification, this);

    bool secure = !isPlain(hits.front());
    uint64_t hitLimit = maxHitSize();
    uint64_t bodyLimit = maxBodySize();

    // A hit too large for any request can never be sent: drop it here, with a
    // line, instead of sending an empty request in its place.
    Value::Array sendable, oversized;
    std::vector<std::string> payloads;
    for (const auto& hit : hits) {
        std::string payload = payloadFor(hit);
        if (payload.empty() || (hitLimit != 0 && payload.size() > hitLimit)) {
            oversized.push_back(hit);
        } else {
            sendable.push_back(hit);
            payloads.push_back(std::move(payload));
        }
    }
    if (!oversized.empty()) {
        TLY_ERROR(method, "Dropping %lu hit(s) larger than %llu bytes.", (unsigned long)oversized.size(),
                  (unsigned long long)hitLimit);
        deleteHits(oversized);
    }
    if (sendable.empty()) return complete(completion, TLYDispatchResult::Good);

    // Shrink a batch that would not fit; what is left out waits for the next pass.
    std::string body = TLYRequestBuilder::batchBody(payloads);
    while (bodyLimit != 0 && body.size() > bodyLimit && sendable.size() > 1) {
        sendable.pop_back();
        payloads.pop_back();
        body = TLYRequestBuilder::batchBody(payloads);
    }

    Endpoints urls = endpoints();
    bool single = sendable.size() == 1;
    std::string url = single ? (secure ? urls.httpsURL : urls.httpURL)
                             : (secure ? urls.httpsBatchURL : urls.httpBatchURL);
    std::optional<platform::net::URLRequest> request;
    if (bodyLimit == 0 || body.size() <= bodyLimit) {
        if (single && body.size() < kMaxGetPayload) {
            request = requestBuilder_.requestGetUrl(url, body);
        } else {
            uint64_t compression = single ? uint64_t(kTLYCompressionNone) : compressionStrategy();
            request = requestBuilder_.requestPostUrl(url, body, compression);
            // Compression rarely grows a body; when it does past the limit,
            // the plain body still fits.
            if (bodyLimit != 0 && request->httpBody().size() > bodyLimit)
                request = requestBuilder_.requestPostUrl(url, body, kTLYCompressionNone);
        }
    }
    if (!request) {
        TLY_ERROR(method, "Failed to generate request for hit(s).");
        deleteHits(sendable);
        return complete(completion, TLYDispatchResult::Good);
    }

    TLY_VERBOSE(method, "Sending hit(s) %s: %s", request->httpMethod().c_str(), request->url().c_str());
    std::weak_ptr<TLYBatchingDispatcher> weak = weak_from_this();
    auto connection = urlConnectionClass()(
        *request, &platform::foundation::dispatch::mainQueue(),
        [weak, sendable, completion, chained](const TLYURLConnection::Answer& answer) {
            if (auto self = weak.lock())
                self->handleAnswer(sendable, answer, completion, chained);
            else
                complete(completion, TLYDispatchResult::Error);
        },
        loop_);
    std::lock_guard<std::recursive_mutex> lock(lock_);
    connection_ = std::move(connection);
}

// --- Answers ---

void TLYBatchingDispatcher::handleAnswer(const Value::Array& hits, const TLYURLConnection::Answer& answer,
                                         const TLYDispatchCompletion& completion, bool chained) {
    static const char* method = "-[TLYBatchingDispatcher didSendHits:response:data:error:]";
    auto clearConnection = [this] {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        connection_.reset();
    };
    if (answer.hasResponse && answer.isHTTP) {
        int64_t status = answer.statusCode;
        if (hits.size() > 1 && !serverBatchingDisabled() && (status == 302 || status == 404 || status == 502)) {
            {
                std::lock_guard<std::recursive_mutex> lock(lock_);
                serverBatchingDisabled_ = true;
                batchFailedTime_ = nowSinceReferenceDate();
            }
            TLY_INFO(method, "Hit(s) not dispatched, falling back to non-batching mode: HTTP status %ld",
                     (long)status);
            clearConnection();
            complete(completion, TLYDispatchResult::Error);
            // Not a failure of the service: the same hits go on at once, one per request.
            if (chained) dispatch();
            return;
        }
        // The service could not take them now: they stay for a later pass.
        if (status >= 500 || status == 429) {
            TLY_INFO(method, "Hit(s) not dispatched: HTTP status %ld", (long)status);
            clearConnection();
            keepDispatching(true);
            return complete(completion, TLYDispatchResult::Error);
        }
        auto self = shared_from_this();
        if (!hop([self, hits] { self->didSendHits(hits); }, false)) didSendHits(hits);
    } else {
        // No answer: nothing is known to have arrived, so nothing is deleted.
        clearConnection();
        keepDispatching(true);
        TLY_INFO(method, "Dispatch error: %s",
                 answer.error ? answer.error->description().c_str() : "no answer from the collection service");
        return complete(completion, TLYDispatchResult::Error);
    }
    if (answer.error) {
        keepDispatching(true);
        TLY_INFO(method, "Dispatch error: %s", answer.error->description().c_str());
        return complete(completion, TLYDispatchResult::Error);
    }
    keepDispatching(false);
    TLY_INFO(method, "Hit(s) dispatched: HTTP status %ld", (long)answer.statusCode);
    complete(completion, TLYDispatchResult::Good);
}

void TLYBatchingDispatcher::didSendHits(const Value::Array& hits) {
    deleteHits(hits);
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        connection_.reset();
    }
    TLY_INFO("-[TLYBatchingDispatcher didSendHits:]", "%lu hit(s) sent", (unsigned long)hits.size());
}

bool TLYBatchingDispatcher::deleteHits(const Value::Array& hits) {
    static const char* method = "-[TLYBatchingDispatcher deleteHits:]";
    Error deleteError;
    bool deleted = store_->deleteHitsWithIds(objectIds(hits), &deleteError);
    setHasHits(store_->hitCount(nullptr) >= 1);
    TLY_INFO(method, "hit(s) Successfully deleted");
    Error error;
    if (!store_->save(&error))
        TLY_ERROR(method, "Unable to save after deleting hit(s): %s", error.description().c_str());
    return deleted;
}

// --- Opt-out ---

void TLYBatchingDispatcher::optOutChanged(bool optOut) {
    bool wasOptedOut;
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        wasOptedOut = optOut_;
        optOut_ = optOut;
    }
    if (!wasOptedOut && optOut) deleteAllHits();
}

void TLYBatchingDispatcher::deleteAllHits() {
    auto self = shared_from_this();
    if (hop([self] { self->deleteAllHits(); }, false)) return;
    static const char* method = "-[TLYBatchingDispatcher deleteAllHits]";
    Error error;
    if (!store_->deleteAllHits(&error))
        TLY_ERROR(method, "Failed to delete all hits for opt-out: %s", error.description().c_str());
    Error saveError;
    if (!store_->save(&saveError))
        TLY_ERROR(method, "Failed to save after updating opt-out property %s: %s", "and deleting pending hits",
                  saveError.description().c_str());
    setHasHits(false);
}

// --- Reachability ---

void TLYBatchingDispatcher::reachabilityStatusChanged(TLYReachabilityChecker&, int32_t status) {
    setHostReachable(status != kTLYReachabilityNotReachable);
}

// --- Accessors ---

std::shared_ptr<TLYDataStore> TLYBatchingDispatcher::dataStore() const { return dataStoreObject_; }
std::string TLYBatchingDispatcher::clientId() { return store_->clientId(); }

double TLYBatchingDispatcher::dispatchInterval() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return dispatchInterval_;
}

void TLYBatchingDispatcher::setDispatchInterval(double seconds) {
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        if (dispatchInterval_ == seconds) return;
        dispatchInterval_ = seconds;
    }
    rescheduleDispatch();
}

bool TLYBatchingDispatcher::hasHits() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return hasHits_;
}

void TLYBatchingDispatcher::setHasHits(bool hasHits) {
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        if (hasHits_ == hasHits) return;
        hasHits_ = hasHits;
    }
    rescheduleDispatch();
}

bool TLYBatchingDispatcher::hostReachable() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return hostReachable_;
}

void TLYBatchingDispatcher::setHostReachable(bool reachable) {
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        if (hostReachable_ == reachable) return;
        hostReachable_ = reachable;
        // A network that comes back is tried at the plain interval again.
        if (reachable) failedPasses_ = 0;
    }
    rescheduleDispatch();
}

#define TLY_GUARDED_ACCESSORS(Type, getter, setter, field)          \
    Type TLYBatchingDispatcher::getter() const {                    \
        std::lock_guard<std::recursive_mutex> lock(lock_);          \
        return field;                                               \
    }                                                               \
    void TLYBatchingDispatcher::setter(Type value) {                \
        std::lock_guard<std::recursive_mutex> lock(lock_);          \
        field = value;                                              \
    }

TLY_GUARDED_ACCESSORS(bool, serverBatchingDisabled, setServerBatchingDisabled, serverBatchingDisabled_)
TLY_GUARDED_ACCESSORS(double, batchFailedTime, setBatchFailedTime, batchFailedTime_)
TLY_GUARDED_ACCESSORS(double, batchRetryInterval, setBatchRetryInterval, batchRetryInterval_)
TLY_GUARDED_ACCESSORS(uint64_t, batchingStrategy, setBatchingStrategy, batchingStrategy_)
TLY_GUARDED_ACCESSORS(uint64_t, compressionStrategy, setCompressionStrategy, compressionStrategy_)
TLY_GUARDED_ACCESSORS(uint64_t, maxHitsPerDispatch, setMaxHitsPerDispatch, maxHitsPerDispatch_)
TLY_GUARDED_ACCESSORS(double, maxHitAge, setMaxHitAge, maxHitAge_)
TLY_GUARDED_ACCESSORS(uint64_t, maxBodySize, setMaxBodySize, maxBodySize_)
TLY_GUARDED_ACCESSORS(uint64_t, maxHitSize, setMaxHitSize, maxHitSize_)
#undef TLY_GUARDED_ACCESSORS

bool TLYBatchingDispatcher::optOut() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return optOut_;
}

TLYBatchingDispatcher::Endpoints TLYBatchingDispatcher::endpoints() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return endpoints_;
}

void TLYBatchingDispatcher::setEndpoints(const Endpoints& endpoints) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    endpoints_ = endpoints;
}

TLYURLConnectionFactory TLYBatchingDispatcher::urlConnectionClass() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return urlConnectionClass_;
}

void TLYBatchingDispatcher::setUrlConnectionClass(TLYURLConnectionFactory factory) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    urlConnectionClass_ = factory ? std::move(factory) : TLYURLConnectionFactory(TLYURLConnection::initWithRequest);
}

bool TLYBatchingDispatcher::hasConnection() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return connection_ != nullptr;
}

bool TLYBatchingDispatcher::hasTimer() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return timer_ != nullptr;
}
