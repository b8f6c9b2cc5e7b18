#pragma once
// The product action of an extended-ecommerce hit; its field names are wire names.
#include "analytics/TLYEcommerceProduct.h"

class TLYEcommerceProductAction : public TLYEcommerceObject {
public:
    // One setter a line: a table of the wire fields.
    // clang-format off
    TLYEcommerceProductAction& setAction(const platform::foundation::Value& v) { setString(v, "&pa"); return *this; }
    TLYEcommerceProductAction& setTransactionId(const platform::foundation::Value& v) { setString(v, "&ti"); return *this; }
    TLYEcommerceProductAction& setAffiliation(const platform::foundation::Value& v) { setString(v, "&ta"); return *this; }
    TLYEcommerceProductAction& setRevenue(const platform::foundation::Value& v) { setNumber(v, "&tr"); return *this; }
    TLYEcommerceProductAction& setTax(const platform::foundation::Value& v) { setNumber(v, "&tt"); return *this; }
    TLYEcommerceProductAction& setShipping(const platform::foundation::Value& v) { setNumber(v, "&ts"); return *this; }
    TLYEcommerceProductAction& setCouponCode(const platform::foundation::Value& v) { setString(v, "&tcc"); return *this; }
    TLYEcommerceProductAction& setCheckoutStep(const platform::foundation::Value& v) { setNumber(v, "&cos"); return *this; }
    TLYEcommerceProductAction& setCheckoutOption(const platform::foundation::Value& v) { setString(v, "&col"); return *this; }
    TLYEcommerceProductAction& setProductActionList(const platform::foundation::Value& v) { setString(v, "&pal"); return *this; }
    TLYEcommerceProductAction& setProductListSource(const platform::foundation::Value& v) { setString(v, "&pls"); return *this; }
    // clang-format on

    const platform::foundation::Value::Dictionary& build() const { return parameters_; }
};
