#include <gtest/gtest.h>

#include "platform/ui/Options.h"

using platform::ui::parseOptions;

TEST(AppOptions, HelpListsEveryOption) {
    auto r = parseOptions({"Quenmira", "--help"});
    ASSERT_TRUE(r.exitCode);
    EXPECT_EQ(*r.exitCode, 0);
    for (const char* opt :
         {"--device", "--battery", "--brightness", "--headless", "--snapshot", "--after", "--home", "--info-plist"})
        EXPECT_NE(r.output.find(opt), std::string::npos) << opt;
}

TEST(AppOptions, ReadsValues) {
    auto r = parseOptions({"Quenmira", "--device", "iPad4,1", "--battery", "0.5:charging", "--brightness", "0.3",
                           "--headless", "--snapshot", "/tmp/x.png", "--after", "12.5", "--home", "/tmp/h"});
    ASSERT_FALSE(r.exitCode) << r.output;
    EXPECT_EQ(r.configuration.device, "iPad4,1");
    EXPECT_EQ(r.configuration.battery, "0.5:charging");
    EXPECT_EQ(*r.configuration.brightness, 0.3);
    EXPECT_TRUE(r.configuration.headless);
    EXPECT_EQ(r.configuration.snapshot, "/tmp/x.png");
    EXPECT_EQ(*r.configuration.after, 12.5);
    EXPECT_EQ(r.configuration.home, "/tmp/h");

    auto none = parseOptions({"Quenmira"});
    ASSERT_FALSE(none.exitCode);
    EXPECT_FALSE(none.configuration.headless);
    EXPECT_FALSE(none.configuration.brightness);
}

TEST(AppOptions, ValuesAnOptionCannotUseAreRefusedInOneStyle) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--brightness", "nan"}, "--brightness: brightness must be a number from 0 to 1, not \"nan\""},
        {{"--brightness", "0.5x"}, "--brightness: brightness must be a number from 0 to 1, not \"0.5x\""},
        {{"--snapshot", ""}, "--snapshot: snapshot must name the PNG file to write, not \"\""},
        {{"--snapshot", "x.png", "--after", "-3"},
         "--after: time must be a number of seconds from 0 to 86400, not \"-3\""},
        {{"--snapshot", "x.png", "--after", "abc"},
         "--after: time must be a number of seconds from 0 to 86400, not \"abc\""},
        {{"--snapshot", "x.png", "--after", "inf"}, "not \"inf\""},
        {{"--home", ""}, "--home: home must name a folder, not \"\""},
        {{"--device", ""}, "--device: device must be a hardware identifier such as iPhone7,1, not \"\""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "Quenmira");
        auto r = parseOptions(args);
        ASSERT_TRUE(r.exitCode) << c.message;
        EXPECT_EQ(*r.exitCode, 2);
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_LT(r.output.size(), 200u) << r.output;  // no 309-digit bound
    }
    auto ok = parseOptions({"Quenmira", "--snapshot", "x.png", "--after", "0", "--brightness", "1"});
    EXPECT_FALSE(ok.exitCode) << ok.output;
}

TEST(AppOptions, BadOptionsAreClearErrors) {
    struct Case {
        std::vector<std::string> args;
        const char* mentions;
    };
    const Case cases[] = {
        {{"Quenmira", "--frobnicate"}, "--frobnicate"},
        {{"Quenmira", "--battery", "57"}, "0 to 1"},
        {{"Quenmira", "--battery", "0.5:sideways"}, "sideways"},
        {{"Quenmira", "--brightness", "2"}, "brightness"},
        {{"Quenmira", "--brightness", "bright"}, "brightness"},
        {{"Quenmira", "--snapshot"}, "snapshot"},
        {{"Quenmira", "--after", "3"}, "--snapshot"},
        {{"Quenmira", "--snapshot", "x.png", "--after", "-1"}, "after"},
        {{"Quenmira", "--info-plist", "/nonexistent/Info.plist"}, "/nonexistent/Info.plist"},
        {{"Quenmira", "--info-plist", "/proc/self/status"}, "\"/proc/self/status\" ("},
        {{"Quenmira", "stray"}, "stray"},
    };
    for (const Case& c : cases) {
        auto r = parseOptions(c.args);
        ASSERT_TRUE(r.exitCode) << c.args[1];
        EXPECT_NE(*r.exitCode, 0) << c.args[1];
        EXPECT_NE(r.output.find(c.mentions), std::string::npos) << c.args[1] << ": " << r.output;
        EXPECT_NE(r.output.find("--help"), std::string::npos);
    }
}
