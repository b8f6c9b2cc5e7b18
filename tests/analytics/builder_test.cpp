#include <gtest/gtest.h>

#include "analytics/TLYDictionaryBuilder.h"
#include "analytics/TLYEcommerceFields.h"
#include "analytics/TLYFields.h"
#include "analytics/TLYRequestBuilder.h"
#include "analytics/TLYUsageTracker.h"
#include "dispatch_support.h"

using platform::foundation::Value;

namespace {

Value::Dictionary dict(const Value& v) { return v.dictionary(); }

TEST(BuilderTypedHits, FieldsAndNullMarkersPerHitType) {
    Value event = TLYDictionaryBuilder::createEventWithCategory("ui", "tap", Value(), Value()).build();
    EXPECT_EQ(
        dict(event),
        (Value::Dictionary{
            {"&t", Value("event")}, {"&ec", Value("ui")}, {"&ea", Value("tap")}, {"&el", Value()}, {"&ev", Value()}}));
    Value withValue = TLYDictionaryBuilder::createEventWithCategory("ui", "tap", "lbl", Value(3)).build();
    EXPECT_EQ(withValue["&ev"], Value("3"));
    // A category that is not a string goes as it is, and the wire carries its text.
    Value numbered = TLYDictionaryBuilder::createEventWithCategory(Value(5), "tap", Value(), Value()).build();
    EXPECT_EQ(numbered["&ec"], Value(5));
    Value record(Value::Dictionary{{"parameters", numbered}, {"timestamp", Value::date(1.0)}});
    EXPECT_NE(TLYRequestBuilder().parametersForHit(record).find("ec=5&"), std::string::npos);

    EXPECT_EQ(dict(TLYDictionaryBuilder::createExceptionWithDescription("d", Value(false)).build()),
              (Value::Dictionary{{"&t", Value("exception")}, {"&exd", Value("d")}, {"&exf", Value("0")}}));
    EXPECT_EQ(
        dict(TLYDictionaryBuilder::createItemWithTransactionId("t1", "n", "sku", "cat", Value(1.5), Value(2), "EUR")
                 .build()),
        (Value::Dictionary{{"&t", Value("item")},
                           {"&ti", Value("t1")},
                           {"&in", Value("n")},
                           {"&ic", Value("sku")},
                           {"&iv", Value("cat")},
                           {"&ip", Value("1.5")},
                           {"&iq", Value("2")},
                           {"&cu", Value("EUR")}}));
    EXPECT_EQ(dict(TLYDictionaryBuilder::createSocialWithNetwork("net", "like", "tgt").build()),
              (Value::Dictionary{
                  {"&t", Value("social")}, {"&sn", Value("net")}, {"&sa", Value("like")}, {"&st", Value("tgt")}}));
    EXPECT_EQ(dict(TLYDictionaryBuilder::createTimingWithCategory("load", Value(120), "img", "lbl").build()),
              (Value::Dictionary{{"&t", Value("timing")},
                                 {"&utc", Value("load")},
                                 {"&utt", Value("120")},
                                 {"&utv", Value("img")},
                                 {"&utl", Value("lbl")}}));
    EXPECT_EQ(
        dict(TLYDictionaryBuilder::createTransactionWithId("t1", "shop", Value(10), Value(1), Value(2), "USD").build()),
        (Value::Dictionary{{"&t", Value("transaction")},
                           {"&ti", Value("t1")},
                           {"&ta", Value("shop")},
                           {"&tr", Value("10")},
                           {"&tt", Value("1")},
                           {"&ts", Value("2")},
                           {"&cu", Value("USD")}}));
}

TEST(BuilderTypedHits, ScreenAndAppViewDifferOnlyInTheirUsageLetters) {
    TLYUsageTracker::getUsageSequence();
    Value screen = TLYDictionaryBuilder::createScreenView().build();
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), ".9");
    Value app = TLYDictionaryBuilder::createAppView().build();
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), ".-");
    EXPECT_EQ(screen, app);
    EXPECT_EQ(screen["&t"], Value("screenview"));
    // The reporter's builder records nothing.
    TLYDictionaryBuilder::tly_exceptionWithDescription("x", Value(true));
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), "");
}

TEST(BuilderFreeFields, SetAllTakesOnlyStringsAndWarnsAboutTheRest) {
    tlytest::LogCapture capture;
    TLYUsageTracker::getUsageSequence();
    TLYDictionaryBuilder b;
    b.set("v", std::string("&cd"))
        .set("x", std::nullopt)
        .setAll(Value(Value::Dictionary{{"&ul", Value("fr")}, {"&ni", Value(1)}, {"&aip", Value()}}));
    EXPECT_EQ(b.get("&cd"), "v");
    EXPECT_EQ(b.get("&ul"), "fr");
    EXPECT_FALSE(b.get("&ni"));
    EXPECT_FALSE(b.get("&aip"));
    EXPECT_TRUE(b.build().contains("&aip"));
    EXPECT_EQ(capture.count("nil key not allowed in setString"), 1u);
    EXPECT_EQ(capture.count("Unexpected value type: NSNumber"), 1u);
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), ".AABCCCC");
}

TEST(BuilderCampaign, ParametersFromAUrlSetAllElevenFields) {
    TLYDictionaryBuilder b;
    b.setCampaignParametersFromUrl("http://x.test/p?utm_source=news&utm_medium=mail&tclid=T1&other=1");
    Value hit = b.build();
    EXPECT_EQ(hit["&cs"], Value("news"));
    EXPECT_EQ(hit["&cm"], Value("mail"));
    EXPECT_EQ(hit["&tclid"], Value("T1"));
    for (const char* key : {"&nclid", "&amob_t", "&cn", "&ck", "&cc", "&ci", "&aclid", "&anid"}) {
        EXPECT_TRUE(hit.contains(key)) << key;
        EXPECT_TRUE(hit[key].isNull()) << key;
    }
    EXPECT_EQ(hit.size(), 11u);

    TLYDictionaryBuilder plain;
    plain.setCampaignParametersFromUrl("utm_campaign=spring%20sale&utm_term=a+b");
    EXPECT_EQ(plain.get("&cn"), "spring sale");
    EXPECT_EQ(plain.get("&ck"), "a b");
}

TEST(BuilderEcommerce, ProductsPromotionsImpressionsAndActionAreNumbered) {
    auto p1 = std::make_shared<TLYEcommerceProduct>();
    p1->setId("P1").setName("One").setPrice(Value(9.5)).setCustomDimension(4, "dim").setCustomMetric(5, Value(2));
    auto p2 = std::make_shared<TLYEcommerceProduct>();
    p2->setName("Two").setPosition(Value(3));
    auto promo = std::make_shared<TLYEcommercePromotion>();
    promo->setCreative("banner").setPosition("top");
    auto action = std::make_shared<TLYEcommerceProductAction>();
    action->setAction(kTLYPAction_Purchase).setRevenue(Value(19)).setCheckoutStep(Value(2));

    TLYDictionaryBuilder b = TLYDictionaryBuilder::createEventWithCategory("shop", "buy", Value(), Value());
    b.addProduct(p1).addProduct(p2).addProduct(nullptr).addPromotion(promo).setProductAction(action);
    b.addProductImpression(p2, std::string("Search"), std::string("results"));
    b.addProductImpression(p1, std::string("Search"), std::string("ignored"));
    b.addProductImpression(p1, std::nullopt, std::nullopt);
    Value hit = b.build();
    EXPECT_EQ(hit["&pr1id"], Value("P1"));
    EXPECT_EQ(hit["&pr1nm"], Value("One"));
    EXPECT_EQ(hit["&pr1pr"], Value("9.5"));
    EXPECT_EQ(hit["&pr1cd4"], Value("dim"));
    EXPECT_EQ(hit["&pr1cm5"], Value("2"));
    EXPECT_EQ(hit["&pr2nm"], Value("Two"));
    EXPECT_EQ(hit["&pr2ps"], Value("3"));
    EXPECT_EQ(hit["&promo1cr"], Value("banner"));
    EXPECT_EQ(hit["&promo1ps"], Value("top"));
    EXPECT_EQ(hit["&pa"], Value("purchase"));
    EXPECT_EQ(hit["&tr"], Value("19"));
    EXPECT_EQ(hit["&cos"], Value("2"));
    EXPECT_EQ(hit["&il1nm"], Value("Search"));
    EXPECT_EQ(hit["&il1ls"], Value("results"));
    EXPECT_EQ(hit["&il1pi1nm"], Value("Two"));
    EXPECT_EQ(hit["&il1pi2id"], Value("P1"));
    EXPECT_EQ(hit["&il2nm"], Value(""));
    EXPECT_FALSE(hit.contains("&il2ls"));
    EXPECT_EQ(hit["&il2pi1id"], Value("P1"));
    // Building leaves the builder as it was.
    EXPECT_EQ(b.build(), hit);
}

TEST(BuilderEcommerce, FieldNamesAndBadValues) {
    tlytest::LogCapture capture;
    TLYEcommerceProduct p;
    p.setPrice(Value("not a number")).setQuantity(Value());
    EXPECT_TRUE(p.parameters().at("pr").isNull());
    EXPECT_TRUE(p.parameters().at("qt").isNull());
    p.setString("x", std::nullopt);
    p.setNumber(Value(1), std::nullopt);
    EXPECT_EQ(p.parameters().size(), 2u);
    EXPECT_EQ(capture.count("nil key not allowed in setString"), 1u);
    EXPECT_EQ(capture.count("nil key not allowed in setNumber"), 1u);

    TLYEcommerceProduct q;
    q.setName("n").setBrand("b");
    auto first = q.buildWithIndex(1), second = q.buildWithIndex(2);
    EXPECT_EQ(first, (Value::Dictionary{{"&pr1nm", Value("n")}, {"&pr1br", Value("b")}}));
    EXPECT_EQ(second, (Value::Dictionary{{"&pr2nm", Value("n")}, {"&pr2br", Value("b")}}));
    EXPECT_EQ(q.buildWithListIndex(1, 3), (Value::Dictionary{{"&il1pi3nm", Value("n")}, {"&il1pi3br", Value("b")}}));

    EXPECT_EQ(TLYEcommerceFields::productFieldForIndex(2, std::nullopt), "&pr2");
    EXPECT_EQ(TLYEcommerceFields::productFieldForIndex(2, std::string("&cd4")), "&pr2cd4");
    EXPECT_EQ(TLYEcommerceFields::productImpressionForList("&il1", 3, "pr"), "&il1pi3pr");
    EXPECT_EQ(TLYEcommerceFields::promotionForIndex(1, "cr"), "&promo1cr");
    EXPECT_EQ(TLYFields::customDimensionForIndex(3), "&cd3");
    EXPECT_EQ(TLYFields::customMetricForIndex(7), "&cm7");
    EXPECT_EQ(TLYFields::contentGroupForIndex(1), "&cg1");
}

}  // namespace
