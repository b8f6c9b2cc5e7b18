#pragma once
// One product of an extended-ecommerce hit, under short field names; the
// dictionary builder numbers it into &pr<n>... or &il<L>pi<p>... fields.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The field storage shared by products, promotions and product actions.
class TLYEcommerceObject {
public:
    // A null field name logs a warning and changes nothing; a value that is not
    // a string (or number) is stored as the null marker.
    void setString(const platform::foundation::Value& value, const std::optional<std::string>& key);
    void setNumber(const platform::foundation::Value& value, const std::optional<std::string>& key);
    const platform::foundation::Value::Dictionary& parameters() const { return parameters_; }
    void setParameters(platform::foundation::Value::Dictionary parameters) { parameters_ = std::move(parameters); }

protected:
    platform::foundation::Value::Dictionary parameters_;
};

class TLYEcommerceProduct : public TLYEcommerceObject {
public:
    TLYEcommerceProduct& setId(const platform::foundation::Value& v) {
        setString(v, "id");
        return *this;
    }
    TLYEcommerceProduct& setName(const platform::foundation::Value& v) {
        setString(v, "nm");
        return *this;
    }
    TLYEcommerceProduct& setBrand(const platform::foundation::Value& v) {
        setString(v, "br");
        return *this;
    }
    TLYEcommerceProduct& setCategory(const platform::foundation::Value& v) {
        setString(v, "ca");
        return *this;
    }
    TLYEcommerceProduct& setVariant(const platform::foundation::Value& v) {
        setString(v, "va");
        return *this;
    }
    TLYEcommerceProduct& setPrice(const platform::foundation::Value& v) {
        setNumber(v, "pr");
        return *this;
    }
    TLYEcommerceProduct& setQuantity(const platform::foundation::Value& v) {
        setNumber(v, "qt");
        return *this;
    }
    TLYEcommerceProduct& setCouponCode(const platform::foundation::Value& v) {
        setString(v, "cc");
        return *this;
    }
    TLYEcommerceProduct& setPosition(const platform::foundation::Value& v) {
        setNumber(v, "ps");
        return *this;
    }
    TLYEcommerceProduct& setCustomDimension(uint64_t index, const platform::foundation::Value& v);
    TLYEcommerceProduct& setCustomMetric(uint64_t index, const platform::foundation::Value& v);

    // Every field under &pr<index><field>.
    platform::foundation::Value::Dictionary buildWithIndex(uint64_t index) const;
    // Every field under &il<list>pi<index><field>.
    platform::foundation::Value::Dictionary buildWithListIndex(uint64_t listIndex, uint64_t index) const;
};
