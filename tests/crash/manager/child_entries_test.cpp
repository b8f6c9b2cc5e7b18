// The children the crash tests start are entries of this program that only a
// child's own command line registers: a listing of the tests holds none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "tests/support/ShellTools.h"

TEST(ChildEntries, AreRegisteredOnlyWhereAChildIsStarted) {
    const std::string self = "/proc/" + std::to_string(getpid()) + "/exe";
    const std::string listed = qmtest::run({self, "--gtest_list_tests"}, qmtest::RunOptions().mergingErrors()).out;
    EXPECT_NE(listed.find("ChildEntries."), std::string::npos) << listed;
    EXPECT_FALSE(std::regex_search(listed, std::regex(R"((^|\n)\w*Child\.)"))) << listed;
    const std::string one = qmtest::run({self, "--gtest_list_tests", "--gtest_filter=CXXTerminateChild.Run"}, qmtest::RunOptions().mergingErrors()).out;
    EXPECT_NE(one.find("CXXTerminateChild.\n  Run"), std::string::npos) << one;
}
