#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/foundation/Sandbox.h"
#include "platform/security/Keychain.h"
#include "tests/platform/foundation/TestUtil.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/ChildTest.h"
#include "tests/support/GlobalStateGuard.h"
#include "tests/support/ShellTools.h"
#include "tests/support/Descriptors.h"

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
                                          {Keychain::path()});
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_EQ("[('genp', 'svc', 'a', b'secret')]\n", run.output);
}

namespace {

// A peer process that holds the keychain file locked until it goes (at most
// a minute); the constructor returns once the lock is taken.
class LockingPeer {
public:
    LockingPeer(const TempDir& dir, const std::string& file) : release_(dir.file("release")) {
        const std::string script = dir.file("lock.py");
        platform::foundation::FileManager::writeFileAtomically(
            script,
            "import os, sqlite3, sys, time\n"
            "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
            "db.execute('BEGIN EXCLUSIVE')\nprint('locked', flush=True)\n"
            "end = time.monotonic() + 60\n"
            "while not os.path.exists(sys.argv[2]) and time.monotonic() < end: time.sleep(0.01)\n"
            "db.execute('COMMIT')\n");
        peer_ = std::make_unique<qmtest::Started>(std::vector<std::string>{"python3", script, file, release_});
        locked_ = peer_->line() == "locked\n";
    }
    ~LockingPeer() {
        platform::foundation::FileManager::writeFileAtomically(release_, std::string());
        peer_->wait();
    }
    bool locked() const { return locked_; }

private:
    std::string release_;
    std::unique_ptr<qmtest::Started> peer_;
    bool locked_ = false;
};

struct Lines {
    Lines() {
        platform::foundation::setLogSink([this](const std::string& line) { text += line + "\n"; });
    }
    ~Lines() { platform::foundation::setLogSink(nullptr); }
    int count(const std::string& what) const { return qmtest::occurrences(text, what); }
    std::string text;
};

}  // namespace

// A busy keychain is said once a process: the case runs in a fresh copy of
// this program, whatever ran before it here.
class HeldKeychainCase : public KeychainTest {
public:
    using KeychainTest::SetUp;
    void TestBody() override;
};

void HeldKeychainCase::TestBody() {
    ASSERT_EQ(kSuccess, Keychain::add(item("a", "kept")));
    Lines lines;
    Item found;
    {
        LockingPeer peer(home_, Keychain::path());
        ASSERT_TRUE(peer.locked());
        // On the main thread each call gives up within a fraction of a second.
        EXPECT_EQ(kInteractionNotAllowed, Keychain::copyMatching(query("a"), &found));
        EXPECT_EQ(kInteractionNotAllowed, Keychain::add(item("b", "later")));
        EXPECT_EQ(kInteractionNotAllowed, Keychain::remove(query("a")));
    }
    EXPECT_EQ(1, lines.count("is held by another process")) << lines.text;
    // Once it is let go, nothing was lost or set aside.
    ASSERT_EQ(kSuccess, Keychain::copyMatching(query("a"), &found));
    EXPECT_EQ("kept", found.data);
    EXPECT_FALSE(platform::foundation::FileManager::exists(Keychain::path() + ".corrupt-1"));
}

QM_CHILD_TEST(KeychainChild, Held) {
    HeldKeychainCase test;
    test.SetUp();
    test.TestBody();
}

TEST_F(KeychainTest, AKeychainAnotherProcessHoldsFailsSoonAndIsSaidOnce) {
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string out = qmtest::run({self, "--gtest_filter=KeychainChild.Held"}, qmtest::RunOptions().mergingErrors()).out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << out;
}

// A keychain this process may not open is said once, however many calls
// fail: run in a fresh copy of this program, as another user when root (who
// may open anything), for whom the sandbox is closed.
QM_CHILD_TEST(KeychainChild, Unreadable) {
    platform::foundation::Sandbox::setHome(getenv("QM_KEYCHAIN_HOME"));
    Lines lines;
    if (geteuid() == 0) {
        ASSERT_EQ(0, setresgid(65534, 65534, 65534));
        ASSERT_EQ(0, setresuid(65534, 65534, 65534));
    }
    Item found;
    EXPECT_EQ(kIOError, Keychain::copyMatching(query("a"), &found));
    EXPECT_EQ(kIOError, Keychain::add(item("b", "later")));
    EXPECT_EQ(kIOError, Keychain::copyMatching(query("a"), &found));
    EXPECT_EQ(1, lines.count("Keychain: " + Keychain::path() + " cannot be used now (")) << lines.text;
    EXPECT_EQ(1, lines.count("Permission denied")) << lines.text;
    EXPECT_EQ(1, lines.count("\n")) << lines.text;
}

TEST_F(KeychainTest, AKeychainThatMayNotBeOpenedIsSaidOnceAndLeftAsItIs) {
    ASSERT_EQ(kSuccess, Keychain::add(item("a", "kept")));
    const std::string bytes = *platform::foundation::FileManager::readFile(Keychain::path());
    ASSERT_EQ(0, chmod(Keychain::path().c_str(), 0));
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string out = qmtest::run({self, "--gtest_filter=KeychainChild.Unreadable"},
                                        qmtest::RunOptions().adding({"QM_KEYCHAIN_HOME=" + home_.path}).mergingErrors())
                                .out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << out;
    ASSERT_EQ(0, chmod(Keychain::path().c_str(), 0600));
    EXPECT_EQ(bytes, *platform::foundation::FileManager::readFile(Keychain::path()));
    Item found;
    ASSERT_EQ(kSuccess, Keychain::copyMatching(query("a"), &found));
    EXPECT_EQ("kept", found.data);
}

TEST_F(KeychainTest, ADamagedKeychainIsSetAsideWithALineAndANewOneStarted) {
    ASSERT_EQ(kSuccess, Keychain::add(item("a", "one")));
    const std::string file = Keychain::path();
    const std::string sound = *platform::foundation::FileManager::readFile(file);
    std::string noise(4096, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = char(i * 7919 % 251);
    const std::vector<std::pair<std::string, std::function<void()>>> damages = {
        {"random bytes", [&] { platform::foundation::FileManager::writeFileAtomically(file, noise); }},
        {"truncated",
         [&] {
             // A page more, so that the header promises what the file lacks.
             ASSERT_EQ(kSuccess, Keychain::add(item("big", std::string(20000, 'x'))));
             const std::string whole = *platform::foundation::FileManager::readFile(file);
             platform::foundation::FileManager::writeFileAtomically(file, whole.substr(0, whole.size() / 2));
         }},
        {"a folder",
         [&] {
             platform::foundation::FileManager::remove(file);
             platform::foundation::FileManager::createDirectory(file);
         }},
    };
    int n = 0;
    for (const auto& [what, damage] : damages) {
        SCOPED_TRACE(what);
        platform::foundation::FileManager::remove(file);
        platform::foundation::FileManager::writeFileAtomically(file, sound);
        damage();
        Lines lines;
        ++n;
        Item found;
        EXPECT_EQ(kItemNotFound, Keychain::copyMatching(query("a"), &found));
        EXPECT_EQ(kSuccess, Keychain::add(item("a", "new")));
        const std::string aside = file + ".corrupt-" + std::to_string(n);
        EXPECT_TRUE(platform::foundation::FileManager::exists(aside));
        EXPECT_EQ(1, lines.count(file + " is damaged")) << lines.text;
        EXPECT_EQ(1, lines.count("moved it to " + aside)) << lines.text;
    }
}

TEST_F(KeychainTest, AFifoOrLinkAtTheJournalIsSetAsideWithALineAndNeverWaitedOn) {
    ASSERT_EQ(kSuccess, Keychain::add(item("a", "kept")));
    const std::string journal = Keychain::path() + "-journal";
    const std::vector<std::pair<std::string, std::function<void()>>> kinds = {
        {"a FIFO", [&] { ASSERT_EQ(0, mkfifo(journal.c_str(), 0600)); }},
        {"a link", [&] { ASSERT_EQ(0, symlink(home_.file("nowhere").c_str(), journal.c_str())); }},
    };
    int n = 0;
    for (const auto& [kind, make] : kinds) {
        SCOPED_TRACE(kind);
        make();
        const std::string aside = journal + ".corrupt-" + std::to_string(++n);
        // In a child, so that a call that waits on the FIFO fails the test instead of hanging it.
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Lines lines;
            Item found;
            const bool read = Keychain::copyMatching(query("a"), &found) == kSuccess && found.data == "kept";
            const bool written = Keychain::add(item("b" + std::to_string(n), "new")) == kSuccess;
            const bool said = lines.count("Keychain: " + kind + " at " + journal + " moved to " + aside) == 1;
            _exit(!read ? 1 : !written ? 2 : !said ? 3 : 0);
        }
        EXPECT_EQ(0, qmtest::waitExit(child, 30));
        struct stat st {};
        ASSERT_EQ(0, lstat(aside.c_str(), &st));
        EXPECT_TRUE(S_ISFIFO(st.st_mode) || S_ISLNK(st.st_mode));
        EXPECT_FALSE(platform::foundation::FileManager::isPresent(journal));
        EXPECT_FALSE(platform::foundation::FileManager::isPresent(Keychain::path() + ".corrupt-1"));
    }
    Item found;
    EXPECT_EQ(kSuccess, Keychain::copyMatching(query("b2"), &found));
}

// A keychain or journal with a second name elsewhere gets a copy of its own
// before SQLite opens it: the items are still there, nothing is set aside,
// and the file it shared keeps its bytes.
TEST_F(KeychainTest, AKeychainOrJournalWithAnotherNameElsewhereGetsACopyOfItsOwnAndThatFileKeepsItsBytes) {
    ASSERT_EQ(kSuccess, Keychain::add(item("a", "kept")));
    const std::string file = Keychain::path();
    int n = 0;
    for (const std::string suffix : {"-journal", ""}) {
        SCOPED_TRACE("at " + file + suffix);
        const std::string outside = home_.file("outside" + suffix);
        // A backup's link to the keychain, or a journal SQLite would take as one to play back.
        if (suffix.empty()) {
            ASSERT_EQ(0, link(file.c_str(), outside.c_str()));
        } else {
            std::ofstream(outside, std::ios::binary) << std::string(4096, 'j');
            ASSERT_EQ(0, link(outside.c_str(), (file + suffix).c_str()));
        }
        const std::string bytes = *platform::foundation::FileManager::readFile(outside);
        Lines lines;
        Item found;
        ASSERT_EQ(kSuccess, Keychain::copyMatching(query("a"), &found));
        EXPECT_EQ("kept", found.data);
        EXPECT_EQ(kSuccess, Keychain::add(item("b" + std::to_string(++n), "new")));
        EXPECT_EQ(bytes, *platform::foundation::FileManager::readFile(outside));
        EXPECT_EQ(1, lines.count(file + suffix + " had a second name elsewhere; it now has a copy of its own"))
            << lines.text;
        EXPECT_EQ(1, lines.count("\n")) << lines.text;
        struct stat st {};
        EXPECT_TRUE(lstat((file + suffix).c_str(), &st) != 0 || st.st_nlink == 1);
        EXPECT_FALSE(platform::foundation::FileManager::isPresent(file + suffix + ".corrupt-1"));
    }
    Item found;
    EXPECT_EQ(kSuccess, Keychain::copyMatching(query("b1"), &found));
}

// A keychain file whose items table another program made, with other columns
// or another key, is set aside as damage, once, and a new one serves.
TEST_F(KeychainTest, AKeychainWhoseItemsTableHasAnotherShapeIsSetAsideWithALine) {
    const std::string file = Keychain::path();
    platform::foundation::FileManager::createDirectory(platform::foundation::Sandbox::keychains());
    int n = 0;
    for (const std::string table :
         {"create table items (x)",
          "create table items (class, service, account, label, accessibility, data)"}) {
        SCOPED_TRACE(table);
        auto made = foundation_test::runPython(home_, "import sqlite3, sys\n"
                                                      "db = sqlite3.connect(sys.argv[1])\n"
                                                      "db.execute(sys.argv[2])\ndb.commit()\n",
                                               {file, table});
        ASSERT_EQ(0, made.status) << made.output;
        Lines lines;
        Item found;
        EXPECT_EQ(kItemNotFound, Keychain::copyMatching(query("a"), &found));
        EXPECT_EQ(kSuccess, Keychain::add(item("a", "new")));
        EXPECT_EQ(kDuplicateItem, Keychain::add(item("a", "again")));
        const std::string aside = file + ".corrupt-" + std::to_string(++n);
        EXPECT_TRUE(platform::foundation::FileManager::exists(aside));
        EXPECT_EQ(1, lines.count(file + " is damaged (its items table has another shape); moved it to " + aside))
            << lines.text;
        platform::foundation::FileManager::remove(file);
    }
}

TEST_F(KeychainTest, AKeychainThatCannotBeOpenedForWantOfDescriptorsIsLeftWithItsItems) {
    ASSERT_EQ(kSuccess, Keychain::add(item("a", "kept")));
    for (int spare = 0; spare <= 6; ++spare) {
        SCOPED_TRACE(std::to_string(spare) + " descriptors left");
        const pid_t child = qmtest::forkShortOfDescriptors(spare, [&] {
            Item found;
            const Status status = Keychain::copyMatching(query("a"), &found);
            return status == kIOError || (status == kSuccess && found.data == "kept") ? 0 : 1;
        });
        ASSERT_GE(child, 0);
        EXPECT_EQ(0, qmtest::waitExit(child, 30));
        EXPECT_FALSE(platform::foundation::FileManager::isPresent(Keychain::path() + ".corrupt-1"));
    }
    Item found;
    ASSERT_EQ(kSuccess, Keychain::copyMatching(query("a"), &found));
    EXPECT_EQ("kept", found.data);
}
