#pragma once
// Wire names of hit fields and the hit types.
#include <cstdint>
#include <string>

inline constexpr const char* kTLYHitType = "&t";
inline constexpr const char* kTLYProtocolVersion = "&v";
inline constexpr const char* kTLYTrackingId = "&tid";
inline constexpr const char* kTLYClientId = "&cid";
inline constexpr const char* kTLYDataSource = "&ds";
inline constexpr const char* kTLYClientVersion = "&_v";
inline constexpr const char* kTLYAnonymizeIp = "&aip";
inline constexpr const char* kTLYSessionControl = "&sc";
inline constexpr const char* kTLYDeviceModelVersion = "&dm";
inline constexpr const char* kTLYScreenResolution = "&sr";
inline constexpr const char* kTLYLanguage = "&ul";
inline constexpr const char* kTLYNonInteraction = "&ni";
inline constexpr const char* kTLYScreenName = "&cd";
inline constexpr const char* kTLYAdNetworkId = "&a";
inline constexpr const char* kTLYAppName = "&an";
inline constexpr const char* kTLYAppVersion = "&av";
inline constexpr const char* kTLYAppId = "&aid";
inline constexpr const char* kTLYAppInstallerId = "&aiid";
inline constexpr const char* kTLYUserId = "&uid";
inline constexpr const char* kTLYEventCategory = "&ec";
inline constexpr const char* kTLYEventAction = "&ea";
inline constexpr const char* kTLYEventLabel = "&el";
inline constexpr const char* kTLYEventValue = "&ev";
inline constexpr const char* kTLYSocialNetwork = "&sn";
inline constexpr const char* kTLYSocialAction = "&sa";
inline constexpr const char* kTLYSocialTarget = "&st";
inline constexpr const char* kTLYTransactionId = "&ti";
inline constexpr const char* kTLYTransactionAffiliation = "&ta";
inline constexpr const char* kTLYTransactionRevenue = "&tr";
inline constexpr const char* kTLYTransactionShipping = "&ts";
inline constexpr const char* kTLYTransactionTax = "&tt";
inline constexpr const char* kTLYCurrencyCode = "&cu";
inline constexpr const char* kTLYItemPrice = "&ip";
inline constexpr const char* kTLYItemQuantity = "&iq";
inline constexpr const char* kTLYItemSku = "&ic";
inline constexpr const char* kTLYItemName = "&in";
inline constexpr const char* kTLYItemCategory = "&iv";
inline constexpr const char* kTLYCampaignSource = "&cs";
inline constexpr const char* kTLYCampaignMedium = "&cm";
inline constexpr const char* kTLYCampaignName = "&cn";
inline constexpr const char* kTLYCampaignKeyword = "&ck";
inline constexpr const char* kTLYCampaignContent = "&cc";
inline constexpr const char* kTLYCampaignId = "&ci";
inline constexpr const char* kTLYAdClickId = "&aclid";
inline constexpr const char* kTLYAdNetworkClickId = "&anid";
inline constexpr const char* kTLYTrackerClickId = "&tclid";
inline constexpr const char* kTLYNetworkClickId = "&nclid";
inline constexpr const char* kTLYAdMobType = "&amob_t";
inline constexpr const char* kTLYTimingCategory = "&utc";
inline constexpr const char* kTLYTimingVar = "&utv";
inline constexpr const char* kTLYTimingValue = "&utt";
inline constexpr const char* kTLYTimingLabel = "&utl";
inline constexpr const char* kTLYExceptionDescription = "&exd";
inline constexpr const char* kTLYExceptionFatal = "&exf";
inline constexpr const char* kTLYSampleRate = "&sf";
inline constexpr const char* kTLYIdfa = "&idfa";
inline constexpr const char* kTLYAdTargetingEnabled = "&ate";
inline constexpr const char* kTLYQueueTime = "&qt";
inline constexpr const char* kTLYHitTime = "&ht";
inline constexpr const char* kTLYCacheBuster = "&z";
inline constexpr const char* kTLYUsage = "&_u";
inline constexpr const char* kTLYHitNumber = "&_s";
inline constexpr const char* kTLYIdfaChangeCount = "&_crc";
inline constexpr const char* kTLYUseSecure = "useSecure";

inline constexpr const char* kTLYScreenView = "screenview";
inline constexpr const char* kTLYAppView = "appview";
inline constexpr const char* kTLYEvent = "event";
inline constexpr const char* kTLYSocial = "social";
inline constexpr const char* kTLYTransaction = "transaction";
inline constexpr const char* kTLYItem = "item";
inline constexpr const char* kTLYException = "exception";
inline constexpr const char* kTLYTiming = "timing";
inline constexpr const char* kTLYData = "data";

class TLYFields {
public:
    TLYFields() = delete;
    static std::string contentGroupForIndex(uint64_t index) { return "&cg" + std::to_string(index); }
    static std::string customDimensionForIndex(uint64_t index) { return "&cd" + std::to_string(index); }
    static std::string customMetricForIndex(uint64_t index) { return "&cm" + std::to_string(index); }
};
