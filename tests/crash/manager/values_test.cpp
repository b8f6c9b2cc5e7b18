#include <gtest/gtest.h>

#include "crash/manager/PKRAppVersionMetaInfo.h"
#include "crash/manager/PKRCrashDetails.h"
#include "crash/manager/PKRPelkorAttachment.h"
#include "platform/foundation/Bundle.h"

using platform::foundation::Value;

namespace {

PKRCrashDetails details(std::optional<std::string> signal) {
    return PKRCrashDetails("id", "key", std::move(signal), std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                           "9.3", std::nullopt, "1.0", "7", 42);
}

// Through the bytes of a binary property list, as the archive on disk holds it.
Value throughFile(const Value& coder) { return *Value::fromPropertyList(coder.toBinaryPropertyList()); }

}  // namespace

TEST(CrashDetails, AppKillIsASigkillInAnyCase) {
    EXPECT_TRUE(details("sigkill").isAppKill());
    EXPECT_FALSE(details("SIGSEGV").isAppKill());
    EXPECT_FALSE(details(std::nullopt).isAppKill());
}

TEST(PelkorAttachment, ArchivesOnlyWhatItHas) {
    PKRCrashAttachment attachment(std::nullopt, Value::Data{1, 2, 3}, std::nullopt);
    Value coder = Value::emptyDictionary();
    attachment.encodeWithCoder(coder);
    EXPECT_FALSE(coder.contains("filename"));
    EXPECT_EQ(Value("application/octet-stream"), coder["contentType"]);

    PKRPelkorAttachment decoded(throughFile(coder));
    EXPECT_EQ(std::nullopt, decoded.filename());
    EXPECT_EQ((Value::Data{1, 2, 3}), decoded.pelkorAttachmentData());
    EXPECT_EQ("application/octet-stream", decoded.contentType());
}

TEST(AppVersionMetaInfo, FromTheServiceDictionaryAndBackThroughTheArchive) {
    // The application bundle carries the SDK's strings ("UpdateVersion").
    platform::foundation::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
    Value dict = Value::emptyDictionary();
    dict["title"] = "Quenmira";
    dict["version"] = "345";
    dict["shortversion"] = "1.2";
    dict["minimum_os_version"] = "9.0";
    dict["notes"] = "fixes";
    dict["mandatory"] = 0;
    dict["timestamp"] = 1796618635;
    dict["appsize"] = 1572864;
    dict["id"] = 7;
    dict["uuids"] = Value(Value::Dictionary{{"arm64", Value("abc")}});
    auto info = PKRAppVersionMetaInfo::appVersionMetaInfoFromDict(dict);
    EXPECT_TRUE(info->isValid());
    EXPECT_EQ("1.5 MB", info->sizeInMB());
    EXPECT_EQ("Quenmira Version 1.2 (345)", info->nameAndVersionString());
    EXPECT_TRUE(info->hasUUID(std::string("abc")));
    EXPECT_FALSE(info->hasUUID(std::nullopt));

    Value coder = Value::emptyDictionary();
    info->encodeWithCoder(coder);
    PKRAppVersionMetaInfo decoded(throughFile(coder));
    EXPECT_TRUE(decoded.isEqualToAppVersionMetaInfo(info.get()));
    EXPECT_EQ(Value(7), decoded.versionID());

    decoded.setShortVersion("");
    EXPECT_EQ("Version 345", decoded.versionString());
    decoded.setVersionID(8);  // takes no part in equality
    decoded.setShortVersion("1.2");
    EXPECT_EQ(decoded, *info);
    decoded.setNotes("new");
    EXPECT_FALSE(decoded == *info);
}

// A value absent on either side makes two records unequal; a record still equals itself.
TEST(AppVersionMetaInfo, AbsentValuesCompareUnequal) {
    PKRAppVersionMetaInfo a, b;
    EXPECT_FALSE(a.isEqualToAppVersionMetaInfo(&b));
    EXPECT_TRUE(a.isEqualToAppVersionMetaInfo(&a));
    EXPECT_FALSE(PKRAppVersionMetaInfo::isEqualComparingNumber(Value(), Value()));
    EXPECT_FALSE(PKRAppVersionMetaInfo::isEqualComparingDictionary(Value(), Value()));
    b.setSize(0);
    EXPECT_FALSE(a.isEqualToAppVersionMetaInfo(&b));
    EXPECT_EQ("0 MB", b.sizeInMB());
    EXPECT_EQ("0 MB", a.sizeInMB());

    Value zero = Value::emptyDictionary();
    zero["title"] = "Quenmira";
    zero["version"] = "1";
    zero["timestamp"] = 0;
    EXPECT_FALSE(PKRAppVersionMetaInfo::appVersionMetaInfoFromDict(zero)->isValid());
    auto empty = PKRAppVersionMetaInfo::appVersionMetaInfoFromDict(Value(Value::Array{Value(1)}));
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->isEqualToAppVersionMetaInfo(&a));
}
