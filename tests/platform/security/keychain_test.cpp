#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/foundation/Sandbox.h"
#include "platform/security/Keychain.h"
#include "tests/platform/foundation/TestUtil.h"
#include "tests/support/GlobalStateGuard.h"

using namespace platform::security;
using foundation_test::TempDir;

namespace {

class KeychainTest : public ::testing::Test {
protected:
    void SetUp() override { platform::foundation::Sandbox::setHome(home_.path); }
    TempDir home_;
    qmtest::GlobalStateGuard guard_;
};

Item item(const std::string& account, const std::string& data) {
    Item i;
    i.service = "svc";
    i.account = account;
    i.label = "svc";
    i.data = data;
    return i;
}

Query query(const std::string& account) {
    Query q;
    q.service = "svc";
    q.account = account;
    return q;
}

}  // namespace

TEST_F(KeychainTest, AnswersThePlatformStatusCodes) {
    EXPECT_EQ(kSuccess, Keychain::add(item("a", "one")));
    EXPECT_EQ(kDuplicateItem, Keychain::add(item("a", "two")));
    Item found;
    ASSERT_EQ(kSuccess, Keychain::copyMatching(query("a"), &found));
    EXPECT_EQ("one", found.data);
    EXPECT_EQ(kItemNotFound, Keychain::copyMatching(query("b"), &found));
    EXPECT_EQ(kItemNotFound, Keychain::update(query("b"), Changes{.data = "x"}));
    EXPECT_EQ(kItemNotFound, Keychain::remove(query("b")));

    Query noClass = query("a");
    noClass.itemClass.clear();
    EXPECT_EQ(kParam, Keychain::copyMatching(noClass, &found));
    EXPECT_EQ(kParam, Keychain::update(query("a"), Changes{}));

    // Bytes that are not text survive, NUL included.
    ASSERT_EQ(kSuccess, Keychain::update(query("a"), Changes{.data = std::string("\0\xff", 2)}));
    ASSERT_EQ(kSuccess, Keychain::copyMatching(query("a"), &found));
    EXPECT_EQ(std::string("\0\xff", 2), found.data);
    EXPECT_EQ("svc", found.label);

    // A query without account acts on every item of the service.
    ASSERT_EQ(kSuccess, Keychain::add(item("b", "two")));
    Query service;
    service.service = "svc";
    EXPECT_EQ(kSuccess, Keychain::remove(service));
    EXPECT_EQ(kItemNotFound, Keychain::copyMatching(service, &found));
}

TEST_F(KeychainTest, FileIsOwnerOnlyAndReadableAsSQLite) {
    ASSERT_EQ(kSuccess, Keychain::add(item("a", "secret")));
    struct stat st {};
    ASSERT_EQ(0, stat(Keychain::path().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    ASSERT_EQ(0, stat(platform::foundation::Sandbox::keychains().c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);

    // A file left with a wider mode is narrowed on the next call.
    chmod(Keychain::path().c_str(), 0644);
    Item found;
    ASSERT_EQ(kSuccess, Keychain::copyMatching(query("a"), &found));
    ASSERT_EQ(0, stat(Keychain::path().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    auto run = foundation_test::runPython(home_, R"(
import sqlite3, sys
rows = sqlite3.connect(sys.argv[1]).execute("select class, service, account, data from items").fetchall()
print(rows)
)",
                                          Keychain::path());
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_EQ("[('genp', 'svc', 'a', b'secret')]\n", run.output);
}
