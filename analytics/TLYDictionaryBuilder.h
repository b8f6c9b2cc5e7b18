#pragma once
// Assembles the dictionary of one hit: typed builders per hit type, free
// fields, campaign parameters from a URL, and extended-ecommerce products,
// impressions, promotions and a product action folded in by build().
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/TLYEcommerceProduct.h"
#include "analytics/TLYEcommerceProductAction.h"
#include "analytics/TLYEcommercePromotion.h"
#include "platform/foundation/Value.h"

class TLYDictionaryBuilder {
public:
    using Value = platform::foundation::Value;

    TLYDictionaryBuilder() = default;

    // A null key logs a warning and changes nothing; a null value is stored as
    // the null marker.
    TLYDictionaryBuilder& set(const Value& value, const std::optional<std::string>& key);
    TLYDictionaryBuilder& tly_set(const Value& value, const std::optional<std::string>& key);
    // Only string keys with string or null values are taken; others log a warning.
    TLYDictionaryBuilder& setAll(const Value& params);
    // A string value, or null (for the null marker, and for other types with a warning).
    std::optional<std::string> get(const std::string& key) const;
    TLYDictionaryBuilder& setCampaignParametersFromUrl(const std::string& urlString);
    TLYDictionaryBuilder& setProductAction(std::shared_ptr<TLYEcommerceProductAction> action);
    TLYDictionaryBuilder& addProduct(std::shared_ptr<TLYEcommerceProduct> product);
    TLYDictionaryBuilder& addPromotion(std::shared_ptr<TLYEcommercePromotion> promotion);
    // Null list names and sources count as "".
    TLYDictionaryBuilder& addProductImpression(std::shared_ptr<TLYEcommerceProduct> product,
                                               const std::optional<std::string>& impressionList,
                                               const std::optional<std::string>& impressionSource);
    // The hit; the builder is left as it is.
    Value build() const;

    // A string, or the null marker.
    static Value valueForString(const Value& v);
    // A number's decimal text, or the null marker.
    static Value valueForNumber(const Value& v);

    static TLYDictionaryBuilder createScreenView();
    static TLYDictionaryBuilder createAppView();
    static TLYDictionaryBuilder createEventWithCategory(const Value& category, const Value& action, const Value& label,
                                                        const Value& value);
    static TLYDictionaryBuilder createExceptionWithDescription(const Value& description, const Value& fatal);
    static TLYDictionaryBuilder tly_exceptionWithDescription(const Value& description, const Value& fatal);
    static TLYDictionaryBuilder createItemWithTransactionId(const Value& transactionId, const Value& name,
                                                            const Value& sku, const Value& category, const Value& price,
                                                            const Value& quantity, const Value& currencyCode);
    static TLYDictionaryBuilder createSocialWithNetwork(const Value& network, const Value& action, const Value& target);
    static TLYDictionaryBuilder createTimingWithCategory(const Value& category, const Value& intervalMillis,
                                                         const Value& name, const Value& label);
    static TLYDictionaryBuilder createTransactionWithId(const Value& transactionId, const Value& affiliation,
                                                        const Value& revenue, const Value& tax, const Value& shipping,
                                                        const Value& currencyCode);

    const Value::Dictionary& parameters() const { return parameters_; }

private:
    Value::Dictionary parameters_;
    std::map<std::string, std::vector<std::shared_ptr<TLYEcommerceProduct>>> impressionLists_;
    std::vector<std::string> impressionListNames_;
    std::vector<std::string> impressionListSources_;
    std::vector<std::shared_ptr<TLYEcommerceProduct>> products_;
    std::vector<std::shared_ptr<TLYEcommercePromotion>> promotions_;
    std::shared_ptr<TLYEcommerceProductAction> pAction_;
};
