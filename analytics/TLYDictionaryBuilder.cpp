#include "analytics/TLYDictionaryBuilder.h"

#include "analytics/TLYEcommerceFields.h"
#include "analytics/TLYFields.h"
#include "analytics/TLYLog.h"
#include "analytics/TLYStringUtil.h"
#include "analytics/TLYUsageTracker.h"
#include "analytics/TLYUtil.h"

using platform::foundation::Value;

namespace {

const char* typeName(const Value& v) {
    switch (v.type()) {
    case Value::Type::Null: return "NSNull";
    case Value::Type::Bool:
    case Value::Type::Integer:
    case Value::Type::Real: return "NSNumber";
    case Value::Type::String: return "NSString";
    case Value::Type::Data: return "NSData";
    case Value::Type::Date: return "NSDate";
    case Value::Type::Array: return "NSArray";
    case Value::Type::Dictionary: return "NSDictionary";
    }
    return "NSObject";
}

}  // namespace

TLYDictionaryBuilder& TLYDictionaryBuilder::set(const Value& value, const std::optional<std::string>& key) {
    TLYUsageTracker::trackAction("set:forKey:");
    return tly_set(value, key);
}

TLYDictionaryBuilder& TLYDictionaryBuilder::tly_set(const Value& value, const std::optional<std::string>& key) {
    if (!key) {
        tlyLogBareWarning("nil key not allowed in setString");
        return *this;
    }
    parameters_[*key] = value;
    return *this;
}

TLYDictionaryBuilder& TLYDictionaryBuilder::setAll(const Value& params) {
    TLYUsageTracker::trackAction("setAll:");
    if (!params.isDictionary()) return *this;
    for (const auto& [key, value] : params.dictionary()) {
        // Keys of a dictionary value are always strings here.
        if (!value.isString() && !value.isNull()) {
            tlyLogBareWarning(std::string("Unexpected value type: ") + typeName(value));
            continue;
        }
        parameters_[key] = value;
    }
    return *this;
}

std::optional<std::string> TLYDictionaryBuilder::get(const std::string& key) const {
    TLYUsageTracker::trackAction("dictionaryGet:");
    auto it = parameters_.find(key);
    if (it == parameters_.end() || it->second.isNull()) return std::nullopt;
    if (it->second.isString()) return it->second.string();
    tlyLogBareWarning(std::string("Unexpected type in Builder: ") + typeName(it->second));
    return std::nullopt;
}

TLYDictionaryBuilder& TLYDictionaryBuilder::setCampaignParametersFromUrl(const std::string& urlString) {
    TLYUsageTracker::trackAction("setCampaignParametersFromUrl:");
    std::string query = TLYStringUtil::urlParams(urlString);
    if (query.empty()) query = urlString;
    Value params = TLYStringUtil::decodeParametersFromQuery(query);
    static const std::pair<const char*, const char*> table[] = {
        {"tclid", kTLYTrackerClickId},      {"nclid", kTLYNetworkClickId},        {"amob_t", kTLYAdMobType},
        {"utm_source", kTLYCampaignSource}, {"utm_medium", kTLYCampaignMedium},   {"utm_campaign", kTLYCampaignName},
        {"utm_term", kTLYCampaignKeyword},  {"utm_content", kTLYCampaignContent}, {"utm_id", kTLYCampaignId},
        {"aclid", kTLYAdClickId},           {"anid", kTLYAdNetworkClickId},
    };
    for (const auto& [param, field] : table) tly_set(valueForString(params[param]), std::string(field));
    return *this;
}

TLYDictionaryBuilder& TLYDictionaryBuilder::setProductAction(std::shared_ptr<TLYEcommerceProductAction> action) {
    pAction_ = std::move(action);
    return *this;
}

TLYDictionaryBuilder& TLYDictionaryBuilder::addProduct(std::shared_ptr<TLYEcommerceProduct> product) {
    if (product) products_.push_back(std::move(product));
    return *this;
}

TLYDictionaryBuilder& TLYDictionaryBuilder::addPromotion(std::shared_ptr<TLYEcommercePromotion> promotion) {
    if (promotion) promotions_.push_back(std::move(promotion));
    return *this;
}

TLYDictionaryBuilder& TLYDictionaryBuilder::addProductImpression(std::shared_ptr<TLYEcommerceProduct> product,
                                                                 const std::optional<std::string>& impressionList,
                                                                 const std::optional<std::string>& impressionSource) {
    if (!product) return *this;
    std::string list = impressionList.value_or("");
    auto it = impressionLists_.find(list);
    if (it == impressionLists_.end()) {
        it = impressionLists_.emplace(list, std::vector<std::shared_ptr<TLYEcommerceProduct>>{}).first;
        impressionListNames_.push_back(list);
        impressionListSources_.push_back(impressionSource.value_or(""));
    }
    it->second.push_back(std::move(product));
    return *this;
}

Value TLYDictionaryBuilder::build() const {
    Value::Dictionary hit = parameters_;
    auto merge = [&hit](const Value::Dictionary& fields) {
        for (const auto& [key, value] : fields) hit[key] = value;
    };
    if (pAction_) merge(pAction_->build());
    for (size_t i = 0; i < products_.size(); ++i) merge(products_[i]->buildWithIndex(i + 1));
    for (size_t i = 0; i < promotions_.size(); ++i) merge(promotions_[i]->buildWithIndex(i + 1));
    for (size_t l = 0; l < impressionListNames_.size(); ++l) {
        std::string prefix = TLYEcommerceFields::impressionListForIndex(l + 1);
        hit[prefix + "nm"] = impressionListNames_[l];
        if (!impressionListSources_[l].empty()) hit[prefix + "ls"] = impressionListSources_[l];
        const auto& products = impressionLists_.at(impressionListNames_[l]);
        for (size_t p = 0; p < products.size(); ++p) merge(products[p]->buildWithListIndex(l + 1, p + 1));
    }
    return Value(std::move(hit));
}

Value TLYDictionaryBuilder::valueForString(const Value& v) { return TLYUtil::valueForString(v); }

Value TLYDictionaryBuilder::valueForNumber(const Value& v) { return TLYUtil::valueForNumber(v); }

namespace {

TLYDictionaryBuilder typed(const char* hitType, std::initializer_list<std::pair<const char*, Value>> fields) {
    TLYDictionaryBuilder b;
    b.tly_set(Value(hitType), std::string(kTLYHitType));
    for (const auto& [key, value] : fields) b.tly_set(value, std::string(key));
    return b;
}

}  // namespace

TLYDictionaryBuilder TLYDictionaryBuilder::createScreenView() {
    TLYUsageTracker::trackAction("createScreenView");
    return typed(kTLYScreenView, {});
}

TLYDictionaryBuilder TLYDictionaryBuilder::createAppView() {
    TLYUsageTracker::trackAction("createAppView");
    return typed(kTLYScreenView, {});
}

TLYDictionaryBuilder TLYDictionaryBuilder::createEventWithCategory(const Value& category, const Value& action,
                                                                   const Value& label, const Value& value) {
    TLYUsageTracker::trackAction("createEventWithCategory:action:label:value:");
    return typed(kTLYEvent, {{kTLYEventCategory, valueForString(category)},
                             {kTLYEventAction, valueForString(action)},
                             {kTLYEventLabel, valueForString(label)},
                             {kTLYEventValue, valueForNumber(value)}});
}

TLYDictionaryBuilder TLYDictionaryBuilder::createExceptionWithDescription(const Value& description,
                                                                          const Value& fatal) {
    TLYUsageTracker::trackAction("createExceptionWithDescription:withFatal:");
    return tly_exceptionWithDescription(description, fatal);
}

TLYDictionaryBuilder TLYDictionaryBuilder::tly_exceptionWithDescription(const Value& description, const Value& fatal) {
    return typed(kTLYException, {{kTLYExceptionDescription, valueForString(description)},
                                 {kTLYExceptionFatal, valueForNumber(fatal)}});
}

TLYDictionaryBuilder TLYDictionaryBuilder::createItemWithTransactionId(const Value& transactionId, const Value& name,
                                                                       const Value& sku, const Value& category,
                                                                       const Value& price, const Value& quantity,
                                                                       const Value& currencyCode) {
    TLYUsageTracker::trackAction("createItemWithTransactionId:name:sku:category:price:quantity:currencyCode:");
    return typed(kTLYItem, {{kTLYTransactionId, valueForString(transactionId)},
                            {kTLYItemName, valueForString(name)},
                            {kTLYItemSku, valueForString(sku)},
                            {kTLYItemCategory, valueForString(category)},
                            {kTLYItemPrice, valueForNumber(price)},
                            {kTLYItemQuantity, valueForNumber(quantity)},
                            {kTLYCurrencyCode, valueForString(currencyCode)}});
}

TLYDictionaryBuilder TLYDictionaryBuilder::createSocialWithNetwork(const Value& network, const Value& action,
                                                                   const Value& target) {
    TLYUsageTracker::trackAction("createSocialWithNetwork:action:target:");
    return typed(kTLYSocial, {{kTLYSocialNetwork, valueForString(network)},
                              {kTLYSocialAction, valueForString(action)},
                              {kTLYSocialTarget, valueForString(target)}});
}

TLYDictionaryBuilder TLYDictionaryBuilder::createTimingWithCategory(const Value& category, const Value& intervalMillis,
                                                                    const Value& name, const Value& label) {
    TLYUsageTracker::trackAction("createTimingWithCategory:interval:name:label:");
    return typed(kTLYTiming, {{kTLYTimingCategory, valueForString(category)},
                              {kTLYTimingValue, valueForNumber(intervalMillis)},
                              {kTLYTimingVar, valueForString(name)},
                              {kTLYTimingLabel, valueForString(label)}});
}

TLYDictionaryBuilder TLYDictionaryBuilder::createTransactionWithId(const Value& transactionId, const Value& affiliation,
                                                                   const Value& revenue, const Value& tax,
                                                                   const Value& shipping, const Value& currencyCode) {
    TLYUsageTracker::trackAction("createTransactionWithId:affiliation:revenue:tax:shipping:currencyCode:");
    return typed(kTLYTransaction, {{kTLYTransactionId, valueForString(transactionId)},
                                   {kTLYTransactionAffiliation, valueForString(affiliation)},
                                   {kTLYTransactionRevenue, valueForNumber(revenue)},
                                   {kTLYTransactionTax, valueForNumber(tax)},
                                   {kTLYTransactionShipping, valueForNumber(shipping)},
                                   {kTLYCurrencyCode, valueForString(currencyCode)}});
}
