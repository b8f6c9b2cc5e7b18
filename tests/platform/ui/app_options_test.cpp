#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

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

TEST(AppOptions, AMissingValueIsNamedAsMissing) {
    const std::vector<std::vector<std::string>> cases = {
        {"--home"}, {"--home", "--snapshot", "f.png"}, {"--snapshot", "f.png", "--home", "--headless"}};
    for (auto args : cases) {
        args.insert(args.begin(), "Quenmira");
        for (const std::string defaultSnapshot : {"", "/shots/q.png"}) {
            auto r = parseOptions(args, defaultSnapshot);
            ASSERT_TRUE(r.exitCode) << args[1];
            EXPECT_EQ(*r.exitCode, 2);
            EXPECT_NE(r.output.find("--home: 1 required DIR missing"), std::string::npos) << r.output;
        }
    }
    auto r = parseOptions({"Quenmira", "--snapshot", "--home", "h"});
    EXPECT_NE(r.output.find("--snapshot: 1 required FILE missing"), std::string::npos) << r.output;
    // A value that merely begins with a dash is still the option's value.
    r = parseOptions({"Quenmira", "--home", "-h"});
    EXPECT_NE(r.output.find("--home: 1 required DIR missing"), std::string::npos) << r.output;
    r = parseOptions({"Quenmira", "--home", "-dir"});
    ASSERT_FALSE(r.exitCode) << r.output;
    EXPECT_EQ(r.configuration.home, "-dir");
}

TEST(AppOptions, TheDefaultSnapshotServesOnlyALaunchWithoutOneAndWithAWindow) {
    auto r = parseOptions({"Quenmira", "--after", "5"}, "/shots/q.png");
    ASSERT_FALSE(r.exitCode) << r.output;
    EXPECT_EQ(r.configuration.snapshot, "/shots/q.png");
    r = parseOptions({"Quenmira", "--snapshot", "x.png"}, "/shots/q.png");
    EXPECT_EQ(r.configuration.snapshot, "x.png");
    r = parseOptions({"Quenmira", "--headless"}, "/shots/q.png");
    EXPECT_EQ(r.configuration.snapshot, "");
    r = parseOptions({"Quenmira", "--help"}, "/shots/q.png");
    EXPECT_EQ(r.exitCode, 0);
}

TEST(AppOptions, ServiceAddressesInTheEnvironmentAreCheckedAtLaunch) {
    using platform::ui::AddressForm;
    const std::vector<platform::ui::EnvironmentAddress> addresses = {
        {"QM_TEST_SERVICE_URL", AddressForm::ServiceURL, "the service must be an http or https URL"},
        {"QM_TEST_SERVICE_HOST", AddressForm::HostAndPort, "the server must be a host and maybe a port"}};
    struct Case {
        const char* url;
        const char* host;
        bool usable;
    };
    const Case cases[] = {
        {"http://127.0.0.1:8080/some/path", "127.0.0.1:8080", true},
        {"HTTPS://crash.example", "maker.example", true},
        {"http://[::1]:9/", "[::1]:9", true},
        {"", "", true},
        {"http://127.0.0.1/some/path?x=1", "h", false},
        {"http://h/p#top", "h", false},
        {"not a url", "h", false},
        {"ftp://h/", "h", false},
        {"http://user@h/", "h", false},
        {"http://h:99999/", "h", false},
        {"http:///path", "h", false},
        {"http://h", "not a host", false},
        {"http://h", "http://h", false},
        {"http://h", "h:port", false},
        {"http://h", "h/applist", false},
    };
    for (const Case& c : cases) {
        setenv("QM_TEST_SERVICE_URL", c.url, 1);
        setenv("QM_TEST_SERVICE_HOST", c.host, 1);
        auto r = parseOptions({"Quenmira"});
        platform::ui::checkEnvironmentAddresses(r, addresses, "Quenmira");
        EXPECT_EQ(!r.exitCode, c.usable) << c.url << " " << c.host;
        if (c.usable) continue;
        EXPECT_EQ(r.exitCode, 2);
        const bool urlBad = r.output.find("QM_TEST_SERVICE_URL") != std::string::npos;
        EXPECT_NE(r.output.find(std::string("Quenmira: QM_TEST_SERVICE_") + (urlBad ? "URL: the service" : "HOST: the server")),
                  std::string::npos)
            << r.output;
        EXPECT_NE(r.output.find(std::string("not \"") + (urlBad ? c.url : c.host) + "\"\nRun with --help"),
                  std::string::npos)
            << r.output;
    }
    unsetenv("QM_TEST_SERVICE_URL");
    unsetenv("QM_TEST_SERVICE_HOST");
    // An earlier refusal stays the one reported.
    auto r = parseOptions({"Quenmira", "--frobnicate"});
    setenv("QM_TEST_SERVICE_HOST", "not a host", 1);
    platform::ui::checkEnvironmentAddresses(r, addresses, "Quenmira");
    unsetenv("QM_TEST_SERVICE_HOST");
    EXPECT_NE(r.output.find("--frobnicate"), std::string::npos);
}

// Whatever refuses a value, the refusal stays one line with the value's
// control characters shown escaped.
TEST(AppOptions, ControlCharactersInARefusedValueAreShownEscaped) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--brightness", "1\n0"}, "not \"1\\n0\""},
        {{"--battery", "0.5:full\r"}, "not \"full\\r\""},
        {{"--info-plist", "/nonexistent/\x1b[1mInfo.plist"}, "\"/nonexistent/\\x1b[1mInfo.plist\""},
        {{"stray\tword\x7f"}, "stray\\tword\\x7f"},
    };
    for (auto [args, shown] : cases) {
        args.insert(args.begin(), "Quenmira");
        auto r = parseOptions(args);
        ASSERT_EQ(r.exitCode, 2) << shown;
        EXPECT_NE(r.output.find(shown), std::string::npos) << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 2) << r.output;
    }
}
