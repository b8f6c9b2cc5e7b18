#include "analytics/TLYDispatchPlanner.h"

#include <algorithm>
#include <vector>

using Value = platform::foundation::Value;

namespace {

// A single hit this short goes by GET; at this length and above by POST.
constexpr size_t kMaxGetPayload = 2000;

double hitTime(const Value& hit) {
    const Value& t = hit["timestamp"];
    return t.isDate() ? t.dateValue() : t.isNumber() ? t.doubleValue() : 0;
}

// How many candidates the strategy takes when all of them together pass
// `limit`. `running` holds the body's length after each candidate; the first
// `fitting` of them fit.
uint64_t cut(uint64_t strategy, const Value::Array& candidates, const std::vector<uint64_t>& running, uint64_t fitting,
             uint64_t limit, bool& unexpected) {
    uint64_t count = candidates.size();
    uint64_t total = running.back();
    switch (strategy) {
    case 1: return fitting;
    case 2: return TLYDispatchPlanner::batchByTimeGap(candidates, fitting);
    case 3:
        // Halving: the hits before the last running total within half of the
        // whole, unless the whole is twice the limit or more.
        if (total >= 2 * limit) return fitting;
        for (size_t i = count - 1; i >= 1; --i)
            if (running[i] <= total / 2) return i;
        return 0;
    case 4: return std::min<uint64_t>(count / 2, fitting);
    case 5: return TLYDispatchPlanner::batchBySessionSplit(candidates, fitting);
    default: unexpected = true; return 1;
    }
}

}  // namespace

bool TLYDispatchPlanner::isPlain(const Value& hit) {
    const Value& useSecure = hit["parameters"]["useSecure"];
    return useSecure.isString() && useSecure.string() == "0";
}

TLYDispatchPlanner::Choice TLYDispatchPlanner::chooseHits(const Value::Array& pending,
                                                          const TLYDispatchSettings& settings, bool batchingDisabled,
                                                          const TLYRequestBuilder& builder) {
    Choice choice;
    if (pending.empty()) return choice;
    if (settings.batchingStrategy == 0 || batchingDisabled) {
        choice.hits = {pending.front()};
        return choice;
    }
    bool plain = isPlain(pending.front());
    Value::Array candidates;
    for (const auto& hit : pending)
        if (isPlain(hit) == plain) candidates.push_back(hit);

    // Running totals of the payloads' characters; the separators that join
    // them are not counted, so a chosen batch may still fail the body check.
    uint64_t limit = settings.maxBodySize;
    std::vector<uint64_t> running;
    uint64_t total = 0;
    for (const auto& hit : candidates) {
        total += builder.parametersForHit(hit).size();
        running.push_back(total);
    }
    uint64_t fitting = 0;
    while (fitting < running.size() && running[fitting] <= limit) ++fitting;

    uint64_t count = candidates.size();
    uint64_t take = total > limit
                        ? cut(settings.batchingStrategy, candidates, running, fitting, limit, choice.unexpectedStrategy)
                        : count;
    take = std::min<uint64_t>(std::max<uint64_t>(take, 1), count);
    choice.hits.assign(candidates.begin(), candidates.begin() + long(take));
    return choice;
}

std::optional<platform::net::URLRequest> TLYDispatchPlanner::planRequest(const Value::Array& hits,
                                                                         const TLYDispatchSettings& settings,
                                                                         const TLYRequestBuilder& builder) {
    if (hits.empty()) return std::nullopt;
    bool secure = !isPlain(hits.front());
    uint64_t hitLimit = settings.maxHitSize;
    uint64_t bodyLimit = settings.maxBodySize;

    std::vector<std::string> payloads;
    for (const auto& hit : hits) {
        std::string payload = builder.parametersForHit(hit);
        if (!payload.empty() && (hitLimit == 0 || payload.size() <= hitLimit)) payloads.push_back(std::move(payload));
    }
    std::string body = TLYRequestBuilder::batchBody(payloads);
    if (bodyLimit != 0 && body.size() > bodyLimit) return std::nullopt;

    const TLYDispatchEndpoints& urls = settings.endpoints;
    bool single = hits.size() == 1;
    std::string url =
        single ? (secure ? urls.httpsURL : urls.httpURL) : (secure ? urls.httpsBatchURL : urls.httpBatchURL);
    if (single && body.size() < kMaxGetPayload) return builder.requestGetUrl(url, body);
    uint64_t compression = single ? uint64_t(kTLYCompressionNone) : settings.compressionStrategy;
    platform::net::URLRequest request = builder.requestPostUrl(url, body, compression);
    if (bodyLimit != 0 && request.httpBody().size() > bodyLimit) return std::nullopt;
    return request;
}

Value::Array TLYDispatchPlanner::expiredHits(const Value::Array& hits, double now,
                                             const TLYDispatchSettings& settings) {
    double cutoff = now - settings.maxHitAge;
    Value::Array expired;
    for (const auto& hit : hits)
        if (hitTime(hit) <= cutoff) expired.push_back(hit);
    return expired;
}

uint64_t TLYDispatchPlanner::batchByTimeGap(const Value::Array& hits, uint64_t maxHits) {
    uint64_t m = std::min<uint64_t>(hits.size(), maxHits);
    if (m <= 1) return m;
    uint64_t answer = m;
    uint64_t widest = 0;
    for (uint64_t i = 1; i < m; ++i) {
        const Value& earlier = hits[i - 1]["timestamp"];
        const Value& later = hits[i]["timestamp"];
        if (earlier.isNull() || later.isNull()) continue;
        double a = hitTime(hits[i - 1]), b = hitTime(hits[i]);
        if (b < a) continue;
        auto gap = uint64_t((b - a) * 1000.0);
        if (gap >= widest) {
            answer = i;
            widest = gap;
        }
    }
    return answer;
}

uint64_t TLYDispatchPlanner::batchBySessionSplit(const Value::Array& hits, uint64_t maxHits) {
    uint64_t n = std::min<uint64_t>(maxHits, hits.size());
    for (uint64_t i = n; i-- > 1;) {
        const Value& control = hits[i]["parameters"]["&sc"];
        if (!control.isString()) continue;
        if (control.string() == "start") return i;
        if (control.string() == "end") return i + 1;
    }
    return maxHits;
}
