#pragma once
// One promotion of an extended-ecommerce hit; built into &promo<n><field>.
#include <cstdint>

#include "analytics/TLYEcommerceProduct.h"

class TLYEcommercePromotion : public TLYEcommerceObject {
public:
    TLYEcommercePromotion& setId(const platform::foundation::Value& v) {
        setString(v, "id");
        return *this;
    }
    TLYEcommercePromotion& setName(const platform::foundation::Value& v) {
        setString(v, "nm");
        return *this;
    }
    TLYEcommercePromotion& setCreative(const platform::foundation::Value& v) {
        setString(v, "cr");
        return *this;
    }
    // A string here, unlike a product's position.
    TLYEcommercePromotion& setPosition(const platform::foundation::Value& v) {
        setString(v, "ps");
        return *this;
    }

    platform::foundation::Value::Dictionary buildWithIndex(uint64_t index) const;

private:
    using TLYEcommerceObject::setNumber;
};
