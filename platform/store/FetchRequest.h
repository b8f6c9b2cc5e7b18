#pragma once
// What to fetch, count or delete: an entity, an AND of attribute comparisons,
// an order and a limit.
#include <cstddef>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform::store {

struct Comparison {
    enum class Op { Equal, NotEqual, Less, LessOrEqual, Greater, GreaterOrEqual };
    std::string attribute;
    Op op = Op::Equal;
    platform::foundation::Value value;  // a date compares as seconds since 1970
};

struct SortDescriptor {
    std::string attribute;
    bool ascending = true;
};

struct FetchRequest {
    std::string entityName;
    std::vector<Comparison> predicate;  // all must hold; empty matches every row
    std::vector<SortDescriptor> sortDescriptors;
    size_t fetchLimit = 0;               // 0: no limit
    bool includesPropertyValues = true;  // false: object identifiers only

    explicit FetchRequest(std::string entity = "") : entityName(std::move(entity)) {}
    FetchRequest& where(std::string attribute, Comparison::Op op, platform::foundation::Value value) {
        predicate.push_back({std::move(attribute), op, std::move(value)});
        return *this;
    }
    FetchRequest& sortBy(std::string attribute, bool ascending = true) {
        sortDescriptors.push_back({std::move(attribute), ascending});
        return *this;
    }
    FetchRequest& limit(size_t n) {
        fetchLimit = n;
        return *this;
    }
};

}  // namespace platform::store
