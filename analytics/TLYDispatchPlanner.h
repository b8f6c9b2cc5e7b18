#pragma once
// How a dispatch pass turns stored hits into one request: which hits go
// together (the batching strategies), which are too old, which payloads the
// body carries, GET or POST, and whether the body fits its limit. Pure
// functions of the hits and the settings: the batching dispatcher fetches,
// sends and deletes around them.
#include <cstdint>
#include <optional>
#include <string>

#include "analytics/TLYRequestBuilder.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"

// Single-hit and batch endpoints, plain and secure.
struct TLYDispatchEndpoints {
    std::string httpURL, httpsURL, httpBatchURL, httpsBatchURL;
};

// The dispatcher's tunables, with their defaults.
struct TLYDispatchSettings {
    uint64_t batchingStrategy = 2;  // 0 single hits; 1 prefix; 2 time gap; 3 halving; 4 half; 5 session split
    uint64_t compressionStrategy = kTLYCompressionGzip;  // for POSTs of more than one hit
    uint64_t maxHitsPerDispatch = 20;
    double maxHitAge = 2592000.0;        // seconds; older hits are deleted unsent
    uint64_t maxBodySize = 8192;         // 0: no body checks (choosing hits still compares with it)
    uint64_t maxHitSize = 8192;          // 0: no check
    double batchRetryInterval = 3600.0;  // how long batching stays off after the service refused a batch
    TLYDispatchEndpoints endpoints;
};

class TLYDispatchPlanner {
public:
    using Value = platform::foundation::Value;

    // The hits of one request, from the pending ones (oldest first).
    struct Choice {
        Value::Array hits;
        bool unexpectedStrategy = false;  // the strategy is unknown: one hit was taken
    };
    // All hits of the first hit's security when they fit the body limit, else
    // as many as the batching strategy cuts; one hit while batching is off.
    static Choice chooseHits(const Value::Array& pending, const TLYDispatchSettings& settings, bool batchingDisabled,
                             const TLYRequestBuilder& builder);

    // The request for chosen hits, all of which share its fate: an empty or
    // oversized payload is left out of the body, not out of the list. None when
    // the body, joined or compressed, passes the body limit.
    static std::optional<platform::net::URLRequest> planRequest(const Value::Array& hits,
                                                                const TLYDispatchSettings& settings,
                                                                const TLYRequestBuilder& builder);

    // The hits at or past the age limit at `now` (seconds since 1970).
    static Value::Array expiredHits(const Value::Array& hits, double now, const TLYDispatchSettings& settings);

    // The number of hits before the widest gap in time among the first
    // `maxHits`; equal gaps go to the later one.
    static uint64_t batchByTimeGap(const Value::Array& hits, uint64_t maxHits);
    // Among the first `maxHits`, the last session control from the end: the
    // batch ends before a "start" or with an "end"; `maxHits` without one.
    static uint64_t batchBySessionSplit(const Value::Array& hits, uint64_t maxHits);

    // A hit is plain only when its "useSecure" parameter is the string "0".
    static bool isPlain(const Value& hit);
};
