#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "crash/manager/PKRKeychainUtils.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Sandbox.h"
#include "platform/security/Keychain.h"
#include "tests/crash/manager/ChildCase.h"
#include "tests/platform/foundation/TestUtil.h"
#include "tests/support/ChildTest.h"

using foundation_test::TempDir;
using platform::foundation::Error;
using platform::security::Keychain;

namespace {

class KeychainUtilsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // An earlier test's background keychain write must not land in this one's keychain.
        platform::foundation::dispatch::drainGlobalQueues();
        platform::foundation::Sandbox::setHome(home_.path);
    }
    std::string sql(const std::string& query) {
        auto run = foundation_test::runPython(
            home_, "import sqlite3, sys\nprint(sqlite3.connect(sys.argv[1]).execute(\"" + query + "\").fetchall())\n",
            {Keychain::path()});
        EXPECT_EQ(0, run.status) << run.output;
        return run.output;
    }
    TempDir home_;
};

}  // namespace

TEST_F(KeychainUtilsTest, StoresReadsAndDeletes) {
    Error error;
    EXPECT_EQ(std::nullopt, PKRKeychainUtils::getPasswordForUsername("user", "svc", &error));
    EXPECT_EQ(0, error.code);

    ASSERT_TRUE(PKRKeychainUtils::storeUsername("user", "pw", "svc", true, &error));
    EXPECT_TRUE(PKRKeychainUtils::storeUsername("user", "pw", "svc", false, &error));  // same value: untouched
    EXPECT_EQ("pw", PKRKeychainUtils::getPasswordForUsername("user", "svc"));
    EXPECT_EQ("[('svc', 'user', 'svc', 'always', b'pw')]\n",
              sql("select service, account, label, accessibility, data from items"));

    EXPECT_TRUE(PKRKeychainUtils::deleteItemForUsername("user", "svc", &error));
    EXPECT_FALSE(PKRKeychainUtils::deleteItemForUsername("user", "svc"));
    EXPECT_FALSE(PKRKeychainUtils::purgeItemsForServiceName("svc", &error));
    EXPECT_EQ(platform::security::kItemNotFound, error.code);
    EXPECT_EQ(kPKRKeychainUtilsErrorDomain, error.domain);

    EXPECT_FALSE(PKRKeychainUtils::storeUsername("user", std::nullopt, "svc", true, &error));
    EXPECT_EQ(kPKRKeychainMissingArgument, error.code);
    EXPECT_EQ(std::nullopt, PKRKeychainUtils::getPasswordForUsername(std::nullopt, "svc", &error));
    EXPECT_EQ(kPKRKeychainMissingArgument, error.code);
}

// Storing over an existing different value without leave to update succeeds
// and keeps the old value, as a single item.
TEST_F(KeychainUtilsTest, StoringOverADifferentValueWithoutUpdateKeepsTheOldOne) {
    ASSERT_TRUE(PKRKeychainUtils::storeUsername("user", "old", "svc", true));
    Error error;
    EXPECT_TRUE(PKRKeychainUtils::storeUsername("user", "new", "svc", false, &error));
    EXPECT_EQ(0, error.code);
    EXPECT_EQ("old", PKRKeychainUtils::getPasswordForUsername("user", "svc"));
    EXPECT_EQ("[('svc', 'user', b'old')]\n", sql("select service, account, data from items"));
}

// An item written with another label and accessibility (by an older version,
// or another component) is updated in place, not shadowed by a second item.
TEST_F(KeychainUtilsTest, UpdateMatchesByServiceAndAccountOnly) {
    platform::security::Item item;
    item.service = "svc";
    item.account = "user";
    item.label = "another label";
    item.accessibility = platform::security::kAccessibleWhenUnlocked;
    item.data = "old";
    ASSERT_EQ(platform::security::kSuccess, Keychain::add(item));
    ASSERT_TRUE(PKRKeychainUtils::storeUsername("user", "new", "svc", true,
                                                platform::security::kAccessibleAlwaysThisDeviceOnly));
    EXPECT_EQ("[('svc', 'alwaysThisDeviceOnly', b'new')]\n", sql("select label, accessibility, data from items"));
}

TEST_F(KeychainUtilsTest, FailingKeychainFailsWithoutAnErrorArgument) {
    // A file where the keychain's folder belongs makes every call fail.
    const std::string folder = platform::foundation::FileManager::deletingLastPathComponent(Keychain::path());
    ASSERT_TRUE(platform::foundation::FileManager::remove(folder));
    ASSERT_TRUE(platform::foundation::FileManager::writeFileAtomically(folder, std::string("not a folder")));
    EXPECT_FALSE(PKRKeychainUtils::storeUsername("user", "pw", "svc", true));
    EXPECT_FALSE(PKRKeychainUtils::deleteItemForUsername("user", "svc"));
    Error error;
    EXPECT_EQ(std::nullopt, PKRKeychainUtils::getPasswordForUsername("user", "svc", &error));
    EXPECT_EQ(platform::security::kIOError, error.code);
}

namespace {

constexpr int kOwn = 40, kShared = 10, kRounds = 2;

}  // namespace

// The crashed run and the next launch (or two test processes) share the
// keychain: each writes its own values and both rewrite shared ones. The
// writers are fresh processes, so that none inherits a lock another thread
// of this one held.
TEST_F(KeychainUtilsTest, TwoProcessesWritingAndReadingLoseNothing) {
    childcase::Child children[2];
    for (int p = 0; p < 2; ++p) {
        children[p] = childcase::start("/proc/self/exe", "KeychainUtilsChild.Run", std::to_string(p),
                                       {{"QM_CHILD_HOME", home_.path}});
        ASSERT_GT(children[p].pid, 0);
    }
    for (auto& child : children) ASSERT_TRUE(child.send("go"));
    for (auto& child : children) {
        auto result = child.finish();
        EXPECT_FALSE(result.timedOut) << "a writer hung";
        EXPECT_EQ(0, result.exitCode) << "signal " << result.signal;
    }
    for (int p = 0; p < 2; ++p)
        for (int i = 0; i < kOwn; ++i) {
            std::string key = "p" + std::to_string(p) + "-" + std::to_string(i);
            EXPECT_EQ(key + "#" + std::to_string(kRounds - 1), PKRKeychainUtils::getPasswordForUsername(key, "svc"));
        }
    EXPECT_EQ("[(" + std::to_string(2 * kOwn + kShared) + ", " + std::to_string(2 * kOwn + kShared) + ")]\n",
              sql("select count(*), count(distinct account) from items"));
    struct stat st {};
    ASSERT_EQ(0, stat(Keychain::path().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

// The writing side of the test above; does nothing in a normal run. It
// writes on a thread of its own, as background work does: on the main thread
// a call gives up after a moment's wait for the other writer, as it should.
QM_CHILD_TEST(KeychainUtilsChild, Run) {
    const char* name = childcase::current();
    if (!name) return;
    platform::foundation::Sandbox::setHome(getenv("QM_CHILD_HOME"));
    const std::string p = name;
    char c;
    if (read(childcase::kCommandFd, &c, 1) != 1) _exit(2);  // both start together
    int status = 0;
    std::thread writer([&] {
        for (int round = 0; round < kRounds; ++round) {
            for (int i = 0; i < kOwn; ++i) {
                std::string key = "p" + p + "-" + std::to_string(i);
                std::string value = key + "#" + std::to_string(round);
                if (!PKRKeychainUtils::storeUsername(key, value, "svc", true)) return void(status = 10);
                if (PKRKeychainUtils::getPasswordForUsername(key, "svc") != value) return void(status = 11);
                if (i % (kOwn / kShared) != 0) continue;
                std::string shared = "shared-" + std::to_string(i / (kOwn / kShared));
                if (!PKRKeychainUtils::storeUsername(shared, value, "svc", true)) return void(status = 12);
                if (!PKRKeychainUtils::getPasswordForUsername(shared, "svc")) return void(status = 13);
            }
        }
    });
    writer.join();
    _exit(status);
}
