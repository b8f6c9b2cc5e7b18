#pragma once
// Indexed wire names of extended-ecommerce fields: &pr<n><field>,
// &il<L>pi<p><field>, &promo<n><field>.
#include <cstdint>
#include <optional>
#include <string>

#include "analytics/TLYStringUtil.h"

inline constexpr const char* kTLYProductAction = "&pa";
inline constexpr const char* kTLYPromotionAction = "&promoa";
inline constexpr const char* kTLYPAction_Detail = "detail";
inline constexpr const char* kTLYPAction_Click = "click";
inline constexpr const char* kTLYPAction_Add = "add";
inline constexpr const char* kTLYPAction_Remove = "remove";
inline constexpr const char* kTLYPAction_Checkout = "checkout";
inline constexpr const char* kTLYPAction_CheckoutOption = "checkout_option";
inline constexpr const char* kTLYPAction_Purchase = "purchase";
inline constexpr const char* kTLYPAction_Refund = "refund";
inline constexpr const char* kTLYPromotionAction_View = "view";
inline constexpr const char* kTLYPromotionAction_Click = "click";

class TLYEcommerceFields {
public:
    TLYEcommerceFields() = delete;
    static std::string stripAmpersandIfPresent(const std::string& s) { return TLYStringUtil::stripLeadingAmpersand(s); }
    static std::string productFieldForIndex(uint64_t index, const std::optional<std::string>& suffix) {
        std::string name = "&pr" + std::to_string(index);
        return suffix ? name + stripAmpersandIfPresent(*suffix) : name;
    }
    static std::string impressionListForIndex(uint64_t index) { return "&il" + std::to_string(index); }
    static std::string productImpressionForList(const std::string& listPrefix, uint64_t index,
                                                const std::string& suffix) {
        return listPrefix + "pi" + std::to_string(index) + stripAmpersandIfPresent(suffix);
    }
    static std::string promotionForIndex(uint64_t index, const std::string& suffix) {
        return "&promo" + std::to_string(index) + stripAmpersandIfPresent(suffix);
    }
};
