#include "analytics/TLYBatchingDispatcher.h"

#include <cmath>
#include <cstdlib>

#include "analytics/TLY.h"
#include "analytics/TLYAnalyticsPropertiesStore.h"
#include "analytics/TLYDataStore.h"
#include "analytics/TLYHitUtil.h"
#include "analytics/TLYLog.h"
#include "analytics/TLYTrackerModel.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/Timer.h"
#include "platform/store/Context.h"

using platform::foundation::Clock;
using platform::foundation::Error;
using platform::foundation::RunLoop;
using Value = platform::foundation::Value;

namespace {

constexpr const char* kDefaultSecureBase = "https://ssl.tallymark.example";
constexpr const char* kDefaultPlainBase = "http://www.tallymark.example";

double nowSinceReferenceDate() { return Clock::current().sinceReferenceDate(); }

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
    return initWithDataStore(TLYDataStore::dataStore());
}

std::shared_ptr<TLYBatchingDispatcher> TLYBatchingDispatcher::initWithDataStore(std::shared_ptr<TLYHitStorage> store,
                                                                                Environment environment) {
    if (!store) return nullptr;
    std::shared_ptr<TLYBatchingDispatcher> dispatcher(
        new TLYBatchingDispatcher(std::move(store), std::move(environment)));
    dispatcher->setUp();
    return dispatcher;
}

TLYBatchingDispatcher::TLYBatchingDispatcher(std::shared_ptr<TLYHitStorage> store, Environment environment)
    : store_(std::move(store)), dataStoreObject_(std::dynamic_pointer_cast<TLYDataStore>(store_)),
      environment_(std::move(environment)),
      loop_(environment_.analyticsLoop ? environment_.analyticsLoop : &TLY::thread().runLoop()),
      propertiesStore_(environment_.propertiesStore ? environment_.propertiesStore
                                                    : TLYAnalyticsPropertiesStore::sharedInstance()),
      urlConnectionClass_(TLYURLConnection::initWithRequest) {
    settings_.endpoints = defaultEndpoints();
}

void TLYBatchingDispatcher::setUp() {
    reachability_ = TLYReachabilityChecker::initWithDelegate(this, hostOf(settings_.endpoints.httpsURL));
    if (reachability_) {
        if (environment_.reachabilityApi) reachability_->setReachabilityApi(environment_.reachabilityApi);
        reachability_->start();
    }
    initialDispatch();
}

TLYBatchingDispatcher::~TLYBatchingDispatcher() {
    // Nothing else holds the dispatcher now: its fields can be read here.
    if (reachability_) reachability_->stop();
    if (connection_) connection_->cancel();
    // Timer and delayed calls hold this object weakly; they only need to go.
    const void* target = this;
    RunLoop* loop = loop_;
    auto cancel = [timer = std::move(timer_), loop, target] {
        if (timer) timer->invalidate();
        loop->cancelPerforms(target);
    };
    if (isAnalyticsThread())
        cancel();
    else
        loop_->perform(cancel);
}

// --- The analytics thread ---

bool TLYBatchingDispatcher::isAnalyticsThread() const { return &RunLoop::current() == loop_; }

const TLYBatchingDispatcher& TLYBatchingDispatcher::checked() const {
    if (!isAnalyticsThread())
        platform::foundation::Exception::raise(platform::foundation::kInternalInconsistencyException,
                                               "the batching dispatcher's state is read on the analytics thread");
    return *this;
}

void TLYBatchingDispatcher::onAnalyticsThread(std::function<void()> work) {
    if (isAnalyticsThread())
        work();
    else
        loop_->perform(std::move(work));
}

// --- Scheduling ---

void TLYBatchingDispatcher::initialDispatch() {
    std::weak_ptr<TLYBatchingDispatcher> weak = weak_from_this();
    onAnalyticsThread([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->loop_->performAfter(
            1.0,
            [weak] {
                if (auto self = weak.lock()) self->timerFired();
            },
            self.get());
    });
}

void TLYBatchingDispatcher::timerFired() {
    if (canScheduleDispatch()) dispatch();
}

bool TLYBatchingDispatcher::canScheduleDispatch() const { return dispatchInterval_ > 0 && hostReachable_ && hasHits_; }

bool TLYBatchingDispatcher::canDispatch() const { return hostReachable_ && hasHits_; }

void TLYBatchingDispatcher::setHasHits(bool hasHits) {
    if (hasHits_ == hasHits) return;
    hasHits_ = hasHits;
    rescheduleDispatch();
}

void TLYBatchingDispatcher::setHostReachable(bool reachable) {
    if (hostReachable_ == reachable) return;
    hostReachable_ = reachable;
    rescheduleDispatch();
}

void TLYBatchingDispatcher::rescheduleDispatch() {
    std::weak_ptr<TLYBatchingDispatcher> weak = weak_from_this();
    onAnalyticsThread([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->cancelDispatch();
        if (!self->canScheduleDispatch()) return;
        self->timer_ = platform::foundation::Timer::scheduled(
            self->dispatchInterval_, true,
            [weak](platform::foundation::Timer&) {
                if (auto self = weak.lock()) self->timerFired();
            },
            self->loop_);
    });
}

void TLYBatchingDispatcher::cancelDispatch() {
    loop_->cancelPerforms(this);
    if (auto timer = std::move(timer_)) timer->invalidate();
}

// --- Intake ---

void TLYBatchingDispatcher::queueModel(std::shared_ptr<TLYTrackerModel> model) {
    if (!model) return;
    if (optOut_) return;
    // Held strongly: a hit handed over is stored even when the dispatcher goes first.
    onAnalyticsThread([self = shared_from_this(), model] {
        if (!self->optOut_) self->intake(model->buildDictionary());
    });
}

void TLYBatchingDispatcher::queueDispatch(const Value& parameters) {
    onAnalyticsThread([self = shared_from_this(), parameters] { self->intake(parameters); });
}

void TLYBatchingDispatcher::intake(const Value& parameters) {
    if (optOut_) return;

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

std::optional<Value::Array> TLYBatchingDispatcher::nextPendingHits(bool& stuck) {
    for (;;) {
        Error error;
        auto hits = store_->fetchHitsWithLimit(settings_.maxHitsPerDispatch, &error);
        if (!hits) {
            if (!platform::store::isNoStoreError(error))  // a store that could not be opened said so then
                TLY_ERROR("-[TLYBatchingDispatcher nextPendingHits]", "Failed to load pending hits: %s",
                          error.description().c_str());
            return std::nullopt;
        }
        if (hits->empty()) return hits;
        Value::Array expired = TLYDispatchPlanner::expiredHits(*hits, Clock::current().now(), settings_);
        if (expired.empty()) return hits;
        // A store that cannot delete would hand the same hits back for ever.
        if (!deleteHits(expired)) {
            stuck = true;
            return Value::Array{};
        }
    }
}

Value::Array TLYBatchingDispatcher::hitsForDispatch(bool& stuck) {
    static const char* method = "-[TLYBatchingDispatcher hitsForDispatch]";
    auto pending = nextPendingHits(stuck);
    if (!pending || pending->empty()) {
        TLY_INFO(method, "No pending hits.");
        return {};
    }
    auto choice = TLYDispatchPlanner::chooseHits(*pending, settings_, serverBatchingDisabled_, requestBuilder_);
    if (choice.unexpectedStrategy)
        TLY_ERROR(method, "unexpected batch strategy: %lu", (unsigned long)settings_.batchingStrategy);
    return std::move(choice.hits);
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
    if (completion)
        setDispatchInterval(-1.0);
    else
        completion = defaultCompletionHandler();
    // Each pass carries its own block to its own request, so a caller's block
    // is called once, with the outcome of that caller's pass.
    onAnalyticsThread([self = shared_from_this(), completion] { self->dispatchPass(completion); });
}

void TLYBatchingDispatcher::dispatchPass(const TLYDispatchCompletion& completion) {
    static const char* method = "-[TLYBatchingDispatcher dispatchWithCompletionHandler:]";
    if (!canDispatch()) return complete(completion, TLYDispatchResult::NoData);
    if (serverBatchingDisabled_ && nowSinceReferenceDate() - batchFailedTime_ > settings_.batchRetryInterval)
        serverBatchingDisabled_ = false;
    bool stuck = false;
    Value::Array hits = hitsForDispatch(stuck);
    if (hits.empty()) {
        // hasHits says what the store holds: hits it could not delete are still there.
        if (!stuck) setHasHits(false);
        return complete(completion, TLYDispatchResult::NoData);
    }
    if (connection_) return complete(completion, TLYDispatchResult::NoData);

    platform::foundation::NotificationCenter::defaultCenter().post(kTLYWillDispatchNotification, this);

    auto request = TLYDispatchPlanner::planRequest(hits, settings_, requestBuilder_);
    if (!request) {
        TLY_ERROR(method, "Failed to generate request for hit(s).");
        deleteHits(hits);
        return complete(completion, TLYDispatchResult::Good);
    }
    TLY_VERBOSE(method, "Sending hit(s) %s: %s", request->httpMethod().c_str(), request->url().c_str());
    send(*request, hits, completion);
}

void TLYBatchingDispatcher::send(const platform::net::URLRequest& request, const Value::Array& hits,
                                 const TLYDispatchCompletion& completion) {
    std::weak_ptr<TLYBatchingDispatcher> weak = weak_from_this();
    connection_ = urlConnectionClass_(
        request, &platform::foundation::dispatch::mainQueue(),
        [weak, hits, completion](const TLYURLConnection::Answer& answer) {
            auto self = weak.lock();
            if (!self) return complete(completion, TLYDispatchResult::Error);
            self->didSendHits(hits, answer, completion);
        },
        loop_);
}

// --- Answers ---

void TLYBatchingDispatcher::didSendHits(const Value::Array& hits, const TLYURLConnection::Answer& answer,
                                        const TLYDispatchCompletion& completion) {
    static const char* method = "-[TLYBatchingDispatcher didSendHits:response:data:error:]";
    auto self = shared_from_this();
    bool http = answer.hasResponse && answer.isHTTP;
    if (http) {
        int64_t status = answer.statusCode;
        // A request carries several hits only while batching is on.
        if (hits.size() > 1 && (status == 302 || status == 404 || status == 502)) {
            double now = nowSinceReferenceDate();
            onAnalyticsThread([self, now] {
                self->serverBatchingDisabled_ = true;
                self->batchFailedTime_ = now;
                self->connection_.reset();
                self->retryStoredHitsLater();
            });
            TLY_INFO(method, "Hit(s) not dispatched, falling back to non-batching mode: HTTP status %ld", (long)status);
            return complete(completion, TLYDispatchResult::Error);
        }
        // Whatever the status, the service has answered for these hits.
        onAnalyticsThread([self, hits] { self->didSendHits(hits); });
    } else {
        bool failed = answer.error.has_value();
        onAnalyticsThread([self, failed] {
            self->connection_.reset();
            if (failed) self->retryStoredHitsLater();
        });
    }
    if (answer.error) {
        TLY_INFO(method, "Dispatch error: %s", answer.error->description().c_str());
        return complete(completion, TLYDispatchResult::Error);
    }
    TLY_INFO(method, "Hit(s) dispatched: HTTP status %ld", http ? (long)answer.statusCode : -1L);
    complete(completion, TLYDispatchResult::Good);
}

void TLYBatchingDispatcher::retryStoredHitsLater() {
    // The timer is made only when the interval, the reachability or hasHits
    // changes; when none changed since the creation (a first pass that met no
    // service, or a collector that refused the batch), none exists, and the
    // hits would wait for the next launch.
    if (!timer_ && canScheduleDispatch()) rescheduleDispatch();
}

void TLYBatchingDispatcher::didSendHits(const Value::Array& hits) {
    deleteHits(hits);
    connection_.reset();
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
    bool wasOptedOut = optOut_.exchange(optOut);
    if (!wasOptedOut && optOut) onAnalyticsThread([self = shared_from_this()] { self->deleteAllHits(); });
}

void TLYBatchingDispatcher::deleteAllHits() {
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
    std::weak_ptr<TLYBatchingDispatcher> weak = weak_from_this();
    onAnalyticsThread([weak, status] {
        if (auto self = weak.lock()) self->setHostReachable(status != kTLYReachabilityNotReachable);
    });
}

// --- Accessors ---

std::shared_ptr<TLYDataStore> TLYBatchingDispatcher::dataStore() const { return dataStoreObject_; }
std::string TLYBatchingDispatcher::clientId() { return store_->clientId(); }

double TLYBatchingDispatcher::dispatchInterval() const { return dispatchInterval_; }

void TLYBatchingDispatcher::setDispatchInterval(double seconds) {
    if (dispatchInterval_.exchange(seconds) != seconds) rescheduleDispatch();
}

void TLYBatchingDispatcher::setSettings(Settings settings) {
    std::weak_ptr<TLYBatchingDispatcher> weak = weak_from_this();
    onAnalyticsThread([weak, settings = std::move(settings)] {
        if (auto self = weak.lock()) self->settings_ = settings;
    });
}

void TLYBatchingDispatcher::setUrlConnectionClass(TLYURLConnectionFactory factory) {
    if (!factory) factory = TLYURLConnection::initWithRequest;
    std::weak_ptr<TLYBatchingDispatcher> weak = weak_from_this();
    onAnalyticsThread([weak, factory = std::move(factory)] {
        if (auto self = weak.lock()) self->urlConnectionClass_ = factory;
    });
}

const TLYBatchingDispatcher::Settings& TLYBatchingDispatcher::settings() const { return checked().settings_; }
bool TLYBatchingDispatcher::hasHits() const { return checked().hasHits_; }
bool TLYBatchingDispatcher::hostReachable() const { return checked().hostReachable_; }
bool TLYBatchingDispatcher::serverBatchingDisabled() const { return checked().serverBatchingDisabled_; }
bool TLYBatchingDispatcher::hasConnection() const { return checked().connection_ != nullptr; }
bool TLYBatchingDispatcher::hasTimer() const { return checked().timer_ != nullptr; }
