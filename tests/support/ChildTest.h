#pragma once
// QM_CHILD_TEST(Suite, Name) { ... }: the body a test runs in a fresh copy of
// its own program, started with --gtest_filter=Suite.Name. The body is a test
// only in that copy: a program started otherwise (ctest's listing, a whole
// run) does not register it, so it is never counted as a test that passes
// trivially in the parent. Inside it gtest's assertions work as in any test.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace qmtest {

// Whether this program was started to run the child `fullName` alone.
inline bool childRequested(const std::string& fullName) {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream each(args);
    const std::string flag = "--gtest_filter=";
    for (std::string arg; std::getline(each, arg, '\0');) {
        if (arg.rfind(flag, 0) != 0) continue;
        std::istringstream patterns(arg.substr(flag.size()));
        for (std::string pattern; std::getline(patterns, pattern, ':');)
            if (pattern == fullName) return true;
    }
    return false;
}

class ChildTestBody : public ::testing::Test {
public:
    explicit ChildTestBody(void (*body)()) : body_(body) {}
    void TestBody() override { body_(); }

private:
    void (*body_)();
};

inline bool registerChild(const char* suite, const char* name, const char* file, int line, void (*body)()) {
    if (!childRequested(std::string(suite) + "." + name)) return false;
    ::testing::RegisterTest(suite, name, nullptr, nullptr, file, line,
                            [body]() -> ChildTestBody* { return new ChildTestBody(body); });
    return true;
}

}  // namespace qmtest

#define QM_CHILD_TEST(Suite, Name)                                                              \
    static void qm_child_##Suite##_##Name();                                                    \
    [[maybe_unused]] static const bool qm_child_registered_##Suite##_##Name =                   \
        ::qmtest::registerChild(#Suite, #Name, __FILE__, __LINE__, &qm_child_##Suite##_##Name); \
    static void qm_child_##Suite##_##Name()
