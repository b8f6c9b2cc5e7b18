#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "crash/manager/PKRKeychainUtils.h"
#include "crash/manager/PKRPelkorBaseManager.h"
#include "crash/manager/PKRPelkorHelpers.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Sandbox.h"
#include "tests/platform/foundation/TestUtil.h"

using foundation_test::TempDir;
using platform::foundation::Bundle;
using platform::foundation::FileManager;

namespace {

// A main bundle of our own, with the SDK's resource bundle from resources/.
class SDKHelpersTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::foundation::Sandbox::setHome(home_.path);
        FileManager::writeFileAtomically(bundle_.file("Info.plist"), R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>net.example.quenmira</string></dict></plist>)");
        FileManager::copy(std::string(QM_SOURCE_DIR) + "/resources/PelkorSDKResources.bundle",
                          bundle_.file("PelkorSDKResources.bundle"));
        Bundle::setMainBundlePath(bundle_.path);
    }
    void TearDown() override { Bundle::setMainBundlePath(QM_BUNDLE_DIR); }
    void write(const std::string& name, const std::string& text = "x") {
        FileManager::createDirectory(FileManager::deletingLastPathComponent(bundle_.file(name)));
        FileManager::writeFileAtomically(bundle_.file(name), text);
    }
    TempDir home_, bundle_;
};

}  // namespace

TEST_F(SDKHelpersTest, EnvironmentFollowsTheProvisionAndTheReceipt) {
    EXPECT_EQ(kPKREnvironmentAppStore, current_app_environment());
    write("StoreKit/sandboxReceipt");
    EXPECT_EQ(kPKREnvironmentSandboxReceipt, current_app_environment());
    write("embedded.mobileprovision");
    EXPECT_EQ(kPKREnvironmentOther, current_app_environment());
}

TEST_F(SDKHelpersTest, URLEncodingAndNames) {
    EXPECT_EQ("a%20b%2Fc-d.e_f~", url_encoded_string("a b/c-d.e_f~"));
    EXPECT_EQ("%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D%20%7B%7D",
              url_encoded_string("!*'();:@&=+$,/?%#[] {}"));
    EXPECT_EQ("\xC3\xA9t\xC3\xA9", url_encoded_string("\xC3\xA9t\xC3\xA9"));  // other characters stay
    EXPECT_EQ("net.example.quenmira", encoded_app_identifier(std::nullopt));
    EXPECT_EQ("net.example.quenmira.PelkorSDK", keychain_service_name());
    EXPECT_EQ("Placeholder", app_display_name("Placeholder"));
    EXPECT_EQ(home_.path + "/Library/Caches/net.pelkorapp.sdk.ios", settings_dir());
    EXPECT_TRUE(FileManager::exists(settings_dir()));
}

TEST_F(SDKHelpersTest, LocalizedStringsFallThroughToTheResourceBundle) {
    // The main bundle translating a key to itself does not count.
    write("en.lproj/Localizable.strings",
          "\"UpdateVersion\" = \"UpdateVersion\";\n\"CrashSendReport\" = \"Send it\";\n");
    EXPECT_EQ("Version", localized_sdk_string(std::string("UpdateVersion")));
    EXPECT_EQ("Send it", localized_sdk_string(std::string("CrashSendReport")));
    EXPECT_EQ("NoSuchKey", localized_sdk_string(std::string("NoSuchKey")));
    EXPECT_EQ("", localized_sdk_string(std::nullopt));
    for (const char* key : {"PelkorAppNamePlaceholder", "CrashDataFoundTitle", "CrashDataFoundDescription",
                            "CrashDataFoundAnonymousDescription", "CrashDontSendReport", "CrashSendReportAlways"})
        EXPECT_NE(key, localized_sdk_string(std::string(key))) << key;
}

TEST_F(SDKHelpersTest, AnonymousIdentifierLivesInTheKeychain) {
    std::optional<std::string> id = app_anonymous_id();
    ASSERT_TRUE(id);
    EXPECT_EQ(36u, id->size());
    EXPECT_EQ(id, app_anonymous_id());
    platform::foundation::dispatch::drainGlobalQueues();
    EXPECT_EQ(id, PKRKeychainUtils::getPasswordForUsername(std::string("appAnonID"), keychain_service_name()));

    std::optional<std::string> fresh = app_anonymous_id(true);
    EXPECT_NE(id, fresh);
    platform::foundation::dispatch::drainGlobalQueues();
    EXPECT_EQ(fresh, PKRKeychainUtils::getPasswordForUsername(std::string("appAnonID"), keychain_service_name()));
}

TEST_F(SDKHelpersTest, BaseManagerKeychainDatesAndExecutable) {
    PKRPelkorBaseManager manager(std::string("0123456789abcdef0123456789abcdef"), kPKREnvironmentOther);
    EXPECT_EQ(kPKRDefaultServerURL, manager.serverURL());
    EXPECT_FALSE(manager.addStringValueToKeychain(std::nullopt, std::string("k")));
    EXPECT_TRUE(manager.addStringValueToKeychainForThisDeviceOnly(std::string("v"), std::string("k")));
    EXPECT_EQ("v", manager.stringValueFromKeychainForKey(std::string("k")));
    EXPECT_TRUE(manager.removeKeyFromKeychain(std::string("k")));
    EXPECT_EQ(std::nullopt, manager.stringValueFromKeychainForKey(std::string("k")));

    EXPECT_EQ(1796618635.0, manager.parseRFC3339Date("2026-12-07T04:43:55Z"));
    EXPECT_EQ(std::nullopt, manager.parseRFC3339Date("2026-12-07 04:43:55"));

    // The executable's build-id, as the loader gives it its UUID.
    auto run = foundation_test::runCommand({"readelf", "-n", "/proc/" + std::to_string(getpid()) + "/exe"});
    auto at = run.output.find("Build ID: ");
    ASSERT_NE(std::string::npos, at) << run.output;
    EXPECT_EQ(run.output.substr(at + 10, 32), manager.executableUUID());
}
