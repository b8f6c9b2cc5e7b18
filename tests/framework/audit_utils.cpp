// Language utilities with no language list, or one of the wrong shape.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "framework/TwkUtils.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"

namespace pf = platform::foundation;

namespace {

class AuditLanguage : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::filesystem::temp_directory_path() / ("twkutils-audit-" + std::to_string(::getpid()));
        pf::Sandbox::setHome(home_.string());
        pf::UserDefaults::resetStandard();
    }
    void TearDown() override {
        pf::UserDefaults::resetStandard();
        std::filesystem::remove_all(home_);
    }
    std::filesystem::path home_;
};

TEST_F(AuditLanguage, AbsentOrMalformedLanguageListMeansEnglish) {
    auto& defaults = pf::UserDefaults::standard();
    defaults.removeObject("AppleLanguages");
    EXPECT_EQ(TwkUtils::getLang(), "en");
    EXPECT_EQ(TwkUtils::getLangNoDash(), "en");
    EXPECT_FALSE(TwkUtils::isChineseOrJapanese());
    defaults.setObject("AppleLanguages", pf::Value("zh-Hant"));  // a text, not a list
    EXPECT_EQ(TwkUtils::getLang(), "en");
    defaults.setObject("AppleLanguages", pf::Value(pf::Value::Array{pf::Value(int64_t{7}), pf::Value("ja")}));
    EXPECT_EQ(TwkUtils::getLang(), "en");
}

}  // namespace
