#include <gtest/gtest.h>

#include "platform/ui/Options.h"

using platform::ui::parseOptions;

TEST(AppOptions, HelpListsEveryOption) {
    auto r = parseOptions({"Quenmira", "--help"});
    ASSERT_TRUE(r.exitCode);
    EXPECT_EQ(*r.exitCode, 0);
    for (const char* opt : {"--device", "--battery", "--brightness", "--headless", "--snapshot", "--after", "--home",
                            "--info-plist"})
        EXPECT_NE(r.output.find(opt), std::string::npos) << opt;
}

TEST(AppOptions, ReadsValues) {
    auto r = parseOptions({"Quenmira", "--device", "iPad4,1", "--battery", "0.5:charging", "--brightness", "0.3",
                           "--headless", "--snapshot", "/tmp/x.png", "--after", "12.5", "--home", "/tmp/h"});
    ASSERT_FALSE(r.exitCode) << r.output;
    EXPECT_EQ(r.options.device, "iPad4,1");
    EXPECT_EQ(r.options.battery, "0.5:charging");
    EXPECT_EQ(*r.options.brightness, 0.3);
    EXPECT_TRUE(r.options.headless);
    EXPECT_EQ(r.options.snapshot, "/tmp/x.png");
    EXPECT_EQ(*r.options.after, 12.5);
    EXPECT_EQ(r.options.home, "/tmp/h");

    auto none = parseOptions({"Quenmira"});
    ASSERT_FALSE(none.exitCode);
    EXPECT_FALSE(none.options.headless);
    EXPECT_FALSE(none.options.brightness);
}

TEST(AppOptions, BadOptionsAreClearErrors) {
    struct Case { std::vector<std::string> args; const char* mentions; };
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
