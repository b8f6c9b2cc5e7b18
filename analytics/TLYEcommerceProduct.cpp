#include "analytics/TLYEcommerceProduct.h"

#include "analytics/TLYEcommerceFields.h"
#include "analytics/TLYFields.h"
#include "analytics/TLYLog.h"
#include "analytics/TLYUtil.h"

using platform::foundation::Value;

void TLYEcommerceObject::setString(const Value& value, const std::optional<std::string>& key) {
    if (!key) {
        tlyLogBareWarning("nil key not allowed in setString");
        return;
    }
    parameters_[*key] = TLYUtil::valueForString(value);
}

void TLYEcommerceObject::setNumber(const Value& value, const std::optional<std::string>& key) {
    if (!key) {
        tlyLogBareWarning("nil key not allowed in setNumber");
        return;
    }
    parameters_[*key] = TLYUtil::valueForNumber(value);
}

TLYEcommerceProduct& TLYEcommerceProduct::setCustomDimension(uint64_t index, const Value& v) {
    setString(v, TLYFields::customDimensionForIndex(index));
    return *this;
}

TLYEcommerceProduct& TLYEcommerceProduct::setCustomMetric(uint64_t index, const Value& v) {
    setNumber(v, TLYFields::customMetricForIndex(index));
    return *this;
}

Value::Dictionary TLYEcommerceProduct::buildWithIndex(uint64_t index) const {
    Value::Dictionary out;
    for (const auto& [key, value] : parameters_) out[TLYEcommerceFields::productFieldForIndex(index, key)] = value;
    return out;
}

Value::Dictionary TLYEcommerceProduct::buildWithListIndex(uint64_t listIndex, uint64_t index) const {
    Value::Dictionary out;
    std::string list = TLYEcommerceFields::impressionListForIndex(listIndex);
    for (const auto& [key, value] : parameters_)
        out[TLYEcommerceFields::productImpressionForList(list, index, key)] = value;
    return out;
}
