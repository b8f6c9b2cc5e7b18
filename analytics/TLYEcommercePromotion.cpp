#include "analytics/TLYEcommercePromotion.h"

#include "analytics/TLYEcommerceFields.h"

using platform::foundation::Value;

Value::Dictionary TLYEcommercePromotion::buildWithIndex(uint64_t index) const {
    Value::Dictionary out;
    for (const auto& [key, value] : parameters_) out[TLYEcommerceFields::promotionForIndex(index, key)] = value;
    return out;
}
