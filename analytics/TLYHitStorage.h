#pragma once
// What the batching dispatcher asks of the hit store. Hits are dictionaries:
// "timestamp" (a date), "parameters" (the "&" fields) and, once fetched,
// "objectID" (the store's handle of the row). Called on the analytics thread.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

class TLYHitStorage {
public:
    virtual ~TLYHitStorage() = default;
    // Inserted, not yet saved; a hit without "timestamp" gets the current time.
    virtual void addHit(const platform::foundation::Value& hit) = 0;
    virtual bool save(platform::foundation::Error* error) = 0;
    // Oldest first; at most `limit` (0: all). Nullopt when the fetch failed.
    virtual std::optional<platform::foundation::Value::Array> fetchHitsWithLimit(
        uint64_t limit, platform::foundation::Error* error) = 0;
    virtual bool deleteHitsWithIds(const platform::foundation::Value::Array& objectIds,
                                   platform::foundation::Error* error) = 0;
    virtual bool deleteAllHits(platform::foundation::Error* error) = 0;
    virtual int64_t hitCount(platform::foundation::Error* error) = 0;  // -1 on error
    virtual std::string clientId() = 0;
};
