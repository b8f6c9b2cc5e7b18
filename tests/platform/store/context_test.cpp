#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"
#include "platform/store/Context.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/Descriptors.h"
#include "tests/support/ShellTools.h"

using platform::foundation::Error;
using platform::foundation::Value;
using namespace platform::store;
namespace fs = std::filesystem;

namespace {

ObjectModel noteModel(bool withColour = false) {
    EntityDescription note{"Note",
                           {{"title", AttributeType::String, true, false, ""},
                            {"rank", AttributeType::Integer64, false, true, ""},
                            {"created", AttributeType::Date, true, true, ""},
                            {"blob", AttributeType::Binary, false, true, ""},
                            {"extra", AttributeType::Transformable, false, true, "NSDictionary"}}};
    if (withColour) note.properties.push_back({"colour", AttributeType::String, false, true, ""});
    return ObjectModel{{note}};
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qm-store-XXXXXX";
        dir = mkdtemp(pattern);
        path = dir + "/notes.sql";
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs python3 against the store file; answers its standard output.
    std::string python(const std::string& script) {
        std::string file = dir + "/peer.py";
        std::ofstream(file) << "import sqlite3, plistlib, sys\ndb = sqlite3.connect(sys.argv[1])\n" << script;
        return qmtest::run({"python3", file, path}, qmtest::RunOptions().mergingErrors()).out;
    }

    Value::Dictionary note(const std::string& title, int64_t rank, double created) {
        return {{"title", Value(title)}, {"rank", Value(rank)}, {"created", Value::date(created)}};
    }

    std::string dir, path;
};

TEST_F(StoreTest, UnsavedChangesAreOneTransactionSeenOnlyByTheirContext) {
    Context context(noteModel());
    ASSERT_TRUE(context.addStore(path));
    ASSERT_TRUE(context.insert("Note", note("a", 1, 100)));
    ASSERT_TRUE(context.insert("Note", note("b", 2, 50)));
    EXPECT_TRUE(context.hasChanges());
    EXPECT_EQ(context.count(FetchRequest("Note")), 2);
    // A peer reading the file sees nothing until the save.
    EXPECT_EQ(python("print(db.execute('select count(*) from Note').fetchone()[0])"), "0\n");
    Error error;
    ASSERT_TRUE(context.save(&error)) << error.description();
    EXPECT_FALSE(context.hasChanges());
    EXPECT_EQ(python("print(db.execute('select group_concat(title) from (select title from Note order by created)')"
                     ".fetchone()[0])\nprint(db.execute('pragma journal_mode').fetchone()[0])"),
              "b,a\nwal\n");
}

TEST_F(StoreTest, RollbackAndDestructionDiscardWhatIsUnsaved) {
    {
        Context context(noteModel());
        ASSERT_TRUE(context.addStore(path));
        ASSERT_TRUE(context.insert("Note", note("kept", 1, 1)));
        ASSERT_TRUE(context.save());
        ASSERT_TRUE(context.insert("Note", note("rolled back", 2, 2)));
        context.rollback();
        EXPECT_EQ(context.count(FetchRequest("Note")), 1);
        ASSERT_TRUE(context.insert("Note", note("never saved", 3, 3)));
    }
    Context again(noteModel());
    ASSERT_TRUE(again.addStore(path));
    auto rows = again.fetch(FetchRequest("Note"));
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ(rows->front().values.at("title"), Value("kept"));
}

TEST_F(StoreTest, FetchFiltersSortsAndLimits) {
    Context context(noteModel());
    ASSERT_TRUE(context.addStore(path));
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(context.insert("Note", note("n" + std::to_string(i), i % 3, 1000 - i)));
    FetchRequest request("Note");
    request.where("rank", Comparison::Op::Equal, Value(1)).sortBy("created").limit(2);
    auto rows = context.fetch(request);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ(rows->at(0).values.at("title"), Value("n7"));
    EXPECT_EQ(rows->at(1).values.at("title"), Value("n4"));
    EXPECT_EQ(rows->at(0).values.at("created"), Value::date(993));

    FetchRequest older("Note");
    older.where("created", Comparison::Op::LessOrEqual, Value::date(995));
    EXPECT_EQ(context.count(older), 5);
    older.includesPropertyValues = false;
    auto ids = context.fetch(older);
    ASSERT_TRUE(ids);
    EXPECT_TRUE(ids->front().values.empty());
    for (const auto& row : *ids) ASSERT_TRUE(context.deleteObject(row.objectID));
    EXPECT_EQ(context.count(FetchRequest("Note")), 5);
}

TEST_F(StoreTest, ValuesRoundTripAndObjectIdentifiersAreNeverReused) {
    Context context(noteModel());
    ASSERT_TRUE(context.addStore(path));
    Value::Dictionary values = note("full", -7, 12.5);
    values["blob"] = Value(Value::Data{0, 1, 2, 255});
    values["extra"] = Value(Value::Dictionary{{"&cd", Value("Main")}, {"n", Value(3)}});
    auto id = context.insert("Note", values);
    ASSERT_TRUE(id);
    auto object = context.existingObject(*id);
    ASSERT_TRUE(object);
    EXPECT_EQ(object->values, values);

    ASSERT_TRUE(context.update(*id, {{"title", Value("renamed")}, {"rank", Value()}}));
    object = context.existingObject(*id);
    EXPECT_EQ(object->values.at("title"), Value("renamed"));
    EXPECT_FALSE(object->values.count("rank"));

    ASSERT_TRUE(context.deleteObject(*id));
    EXPECT_FALSE(context.existingObject(*id));
    EXPECT_TRUE(context.deleteObject(*id));  // already gone: not an error
    auto next = context.insert("Note", note("next", 1, 1));
    ASSERT_TRUE(next);
    EXPECT_NE(*next, *id);
    ASSERT_TRUE(context.save());
    // The archived dictionary is a property list that a peer reads.
    EXPECT_EQ(python("print(db.execute('select count(*) from Note').fetchone()[0])"), "1\n");

    // An identifier of another store file names nothing here.
    Context other(noteModel());
    ASSERT_TRUE(other.addStore(dir + "/other.sql"));
    EXPECT_FALSE(other.existingObject(*next));
    EXPECT_TRUE(other.deleteObject(*next));
    EXPECT_TRUE(context.existingObject(*next));
}

TEST_F(StoreTest, ModelFaultsAreRaisedAndValidationFaultsReported) {
    Context context(noteModel());
    ASSERT_TRUE(context.addStore(path));
    EXPECT_THROW(context.insert("Note", {{"title", Value("x")}, {"colour", Value("red")}}),
                 platform::foundation::Exception);
    EXPECT_THROW(context.fetch(FetchRequest("Nothing")), platform::foundation::Exception);
    Error error;
    EXPECT_FALSE(context.insert("Note", {{"rank", Value(1)}}, &error));
    EXPECT_EQ(error.code, kValidationMissingMandatoryPropertyError);
    EXPECT_FALSE(context.insert("Note", {{"title", Value(5)}}, &error));
    EXPECT_EQ(error.code, kValidationValueTypeError);
    EXPECT_EQ(context.count(FetchRequest("Note")), 0);
}

TEST_F(StoreTest, AttributesAddedToTheModelBecomeColumns) {
    {
        Context context(noteModel());
        ASSERT_TRUE(context.addStore(path));
        ASSERT_TRUE(context.insert("Note", note("old", 1, 1)));
        ASSERT_TRUE(context.save());
    }
    Context context(noteModel(true));
    ASSERT_TRUE(context.addStore(path));
    ASSERT_TRUE(context.insert("Note", {{"title", Value("new")}, {"colour", Value("red")}}));
    FetchRequest red("Note");
    red.where("colour", Comparison::Op::Equal, Value("red"));
    EXPECT_EQ(context.count(red), 1);
    EXPECT_EQ(context.count(FetchRequest("Note")), 2);
}

TEST_F(StoreTest, AFileThatIsNoDatabaseIsMovedAsideWithItsCompanionsAndRecreated) {
    std::ofstream(path) << std::string(8192, 'x');
    std::ofstream(path + "-wal") << "stale log";
    std::ofstream(path + "-journal") << "stale journal";
    Context context(noteModel());
    Error error, corruption;
    ASSERT_TRUE(context.addStore(path, &error, &corruption)) << error.description();
    EXPECT_EQ(corruption.domain, kSQLiteErrorDomain);
    std::string aside = corruption.userInfo["movedAsidePath"].stringValue();
    ASSERT_EQ(aside, path + ".corrupt-1");
    EXPECT_EQ(*platform::foundation::FileManager::readFile(aside), std::string(8192, 'x'));
    EXPECT_EQ(*platform::foundation::FileManager::readFile(aside + "-wal"), "stale log");
    EXPECT_EQ(*platform::foundation::FileManager::readFile(aside + "-journal"), "stale journal");
    EXPECT_FALSE(fs::exists(path + "-journal"));
    ASSERT_TRUE(context.insert("Note", note("fresh", 1, 1)));
    ASSERT_TRUE(context.save());
    EXPECT_EQ(python("print(db.execute('pragma integrity_check').fetchone()[0])"), "ok\n");
}

TEST_F(StoreTest, ADatabaseWithDamagedPagesIsKeptAsideAndRecreated) {
    {
        Context context(noteModel());
        ASSERT_TRUE(context.addStore(path));
        for (int i = 0; i < 400; ++i) ASSERT_TRUE(context.insert("Note", note(std::string(200, 'a' + i % 26), i, i)));
        ASSERT_TRUE(context.save());
    }
    // Fold the log into the file, then scribble over pages in the middle of it.
    ASSERT_EQ(python("db.execute('pragma wal_checkpoint(TRUNCATE)')\nprint('ok')"), "ok\n");
    auto size = fs::file_size(path);
    ASSERT_GT(size, 40000u);
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(std::streamoff(size / 2));
        std::string junk(16384, '\xA5');
        f.write(junk.data(), std::streamsize(junk.size()));
    }
    Context context(noteModel());
    Error corruption;
    ASSERT_TRUE(context.addStore(path, nullptr, &corruption));
    EXPECT_EQ(corruption.code, 11);  // SQLITE_CORRUPT
    EXPECT_TRUE(fs::exists(path + ".corrupt-1"));
    EXPECT_EQ(fs::file_size(path + ".corrupt-1"), size);
    EXPECT_EQ(context.count(FetchRequest("Note")), 0);
}

TEST_F(StoreTest, AStoreWhoseTablesTheModelCannotTakeIsKeptAsideAndRecreated) {
    // "Note" is a view here: its rows are another program's, and no column can
    // be added to it, at this launch or any later one.
    ASSERT_EQ(python("db.execute('create table other (x)')\n"
                     "db.execute(\"insert into other values ('kept')\")\n"
                     "db.execute('create view Note as select x as title from other')\n"
                     "db.commit()\nprint('ok')"),
              "ok\n");
    Context context(noteModel());
    Error error, corruption;
    ASSERT_TRUE(context.addStore(path, &error, &corruption)) << error.description();
    EXPECT_EQ(corruption.domain, kSQLiteErrorDomain);
    EXPECT_EQ(corruption.userInfo["movedAsidePath"].stringValue(), path + ".corrupt-1");
    ASSERT_TRUE(context.insert("Note", note("fresh", 1, 1)));
    ASSERT_TRUE(context.save());
    const std::string kept = path;
    path += ".corrupt-1";
    EXPECT_EQ(python("print(db.execute('select x from other').fetchone()[0])"), "kept\n");
    path = kept;
}

TEST_F(StoreTest, ADamagedLogOrIndexIsSetAsideWhileASoundLogIsReplayed) {
    {
        Context context(noteModel());
        ASSERT_TRUE(context.addStore(path));
        ASSERT_TRUE(context.insert("Note", note("kept", 1, 1)));
        ASSERT_TRUE(context.save());
    }
    // A peer that dies after its commit leaves a sound log and index: they are read, not set aside.
    ASSERT_EQ(
        python("db.execute('pragma journal_mode=wal')\ndb.execute(\"insert into Note (title) values ('in log')\")\n"
               "db.commit()\nimport os\nos._exit(0)"),
        "");
    ASSERT_TRUE(fs::exists(path + "-wal"));
    {
        Context context(noteModel());
        Error corruption;
        ASSERT_TRUE(context.addStore(path, nullptr, &corruption));
        EXPECT_TRUE(corruption.domain.empty()) << corruption.description();
        EXPECT_EQ(context.count(FetchRequest("Note")), 2);
    }
    // A log and an index that are not SQLite's would be dropped without a word.
    std::ofstream(path + "-wal") << std::string(4096, 'w');
    std::ofstream(path + "-shm") << std::string(4096, 's');
    {
        Context context(noteModel());
        Error corruption;
        ASSERT_TRUE(context.addStore(path, nullptr, &corruption));
        EXPECT_EQ(corruption.localizedDescription(), "damaged " + path + "-wal moved to " + path + "-wal.corrupt-1; " +
                                                         path + "-shm moved to " + path + "-shm.corrupt-1");
        EXPECT_EQ(*platform::foundation::FileManager::readFile(path + "-wal.corrupt-1"), std::string(4096, 'w'));
        EXPECT_EQ(*platform::foundation::FileManager::readFile(path + "-shm.corrupt-1"), std::string(4096, 's'));
        EXPECT_EQ(context.count(FetchRequest("Note")), 2);
    }
    // An index alone goes alone.
    std::ofstream(path + "-shm") << std::string(64, '\xff');
    Context context(noteModel());
    Error corruption;
    ASSERT_TRUE(context.addStore(path, nullptr, &corruption));
    EXPECT_EQ(corruption.localizedDescription(), "damaged " + path + "-shm moved to " + path + "-shm.corrupt-2");
    EXPECT_FALSE(fs::exists(path + "-wal.corrupt-2"));
}

TEST_F(StoreTest, ALinkAtTheStoreIsSetAsideNeverFollowed) {
    // A database outside, and a link to where none is yet.
    const std::string outside = dir + "/outside.sql", nowhere = dir + "/nowhere.sql";
    python("db.execute('create table precious(x)'); db.commit()");
    fs::rename(path, outside);
    fs::permissions(outside, fs::perms(0644));
    const auto before = platform::foundation::FileManager::readFile(outside);
    for (const std::string& target : {outside, nowhere}) {
        fs::remove(path);
        fs::create_symlink(target, path);
        Context context(noteModel());
        Error error, corruption;
        ASSERT_TRUE(context.addStore(path, &error, &corruption)) << error.description();
        EXPECT_EQ(corruption.domain, kSQLiteErrorDomain) << target;
        EXPECT_TRUE(fs::is_symlink(corruption.userInfo["movedAsidePath"].stringValue())) << target;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << target;
        EXPECT_EQ(platform::foundation::FileManager::readFile(outside), before);
        EXPECT_EQ(fs::status(outside).permissions(), fs::perms(0644));
        EXPECT_FALSE(fs::exists(outside + "-wal") || fs::exists(outside + "-shm") || fs::exists(nowhere));
        context.close();
        fs::remove(path + "-wal");
        fs::remove(path + "-shm");
    }
}

TEST_F(StoreTest, AFolderAtTheStoreIsSetAsideWholeAndAMissingFolderIsLeftMissing) {
    // A folder where the file should be: no store file, set aside as one is.
    fs::create_directory(path);
    std::ofstream(path + "/keep") << "mine";
    {
        Context context(noteModel());
        Error error, corruption;
        ASSERT_TRUE(context.addStore(path, &error, &corruption)) << error.description();
        EXPECT_EQ(corruption.userInfo["movedAsidePath"].stringValue(), path + ".corrupt-1");
        EXPECT_EQ(*platform::foundation::FileManager::readFile(path + ".corrupt-1/keep"), "mine");
    }

    Context missing(noteModel());
    Error error, corruption;
    EXPECT_FALSE(missing.addStore(dir + "/no/such/folder/n.sql", &error, &corruption));
    EXPECT_FALSE(error.domain.empty());
    EXPECT_TRUE(corruption.domain.empty());
    EXPECT_FALSE(fs::exists(dir + "/no"));
    EXPECT_FALSE(missing.hasStore());
    // Without a store every operation reports an error.
    EXPECT_FALSE(missing.insert("Note", note("x", 1, 1), &error));
    EXPECT_EQ(missing.count(FetchRequest("Note"), &error), -1);
}

TEST_F(StoreTest, AStoreThatCannotBeOpenedForWantOfDescriptorsStaysWhereItIsWithEveryCommit) {
    // Another connection holds the store open: its commits are in the log.
    Context holder(noteModel());
    ASSERT_TRUE(holder.addStore(path));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(holder.insert("Note", note("kept " + std::to_string(i), i, i)));
    ASSERT_TRUE(holder.save());
    ASSERT_GT(fs::file_size(path + "-wal"), 0u);
    // Every number of descriptors left, from none to enough.
    for (int spare = 0; spare <= 8; ++spare) {
        SCOPED_TRACE(std::to_string(spare) + " descriptors left");
        const pid_t child = qmtest::forkShortOfDescriptors(spare, [&] {
            Context context(noteModel());
            Error error, corruption;
            const bool opened = context.addStore(path, &error, &corruption);
            // Opened, it sees every commit; else it was no damage.
            if (!corruption.domain.empty()) return 4;
            return !opened || context.count(FetchRequest("Note")) == 3 ? 0 : 5;
        });
        ASSERT_GE(child, 0);
        EXPECT_EQ(qmtest::waitExit(child, 30), 0);
        for (const auto& e : fs::directory_iterator(dir))
            EXPECT_EQ(e.path().filename().string().find(".corrupt-"), std::string::npos) << e.path();
    }
    holder.close();
    EXPECT_EQ(python("print(db.execute('select count(*) from Note').fetchone()[0])"), "3\n");
}

// A store file or companion with a second name elsewhere gets a copy of its
// own before SQLite opens it: it is not set aside for that (a companion of no
// database's bytes is, as damage), and the file it shared keeps its bytes.
TEST_F(StoreTest, AStoreFileOrCompanionWithAnotherNameElsewhereGetsACopyOfItsOwnAndThatFileKeepsItsBytes) {
    {
        Context context(noteModel());
        ASSERT_TRUE(context.addStore(path));
        ASSERT_TRUE(context.insert("Note", note("kept", 1, 1)));
        ASSERT_TRUE(context.save());
    }
    // Someone else's database, and files of no database.
    const std::string theirs = dir + "/theirs.sql";
    ASSERT_TRUE(qmtest::run({"python3", "-c",
                             "import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); "
                             "db.execute('create table precious(x)'); db.commit()",
                             theirs})
                    .ok());
    int64_t rows = 1;
    for (const std::string suffix : {"-journal", "-wal", "-shm", ""}) {
        SCOPED_TRACE("at " + path + suffix);
        const std::string outside = suffix.empty() ? theirs : dir + "/outside" + suffix;
        if (!suffix.empty()) std::ofstream(outside, std::ios::binary) << std::string(32768, 'o') << "theirs";
        const std::string bytes = *platform::foundation::FileManager::readFile(outside);
        fs::remove(path + suffix);
        ASSERT_EQ(link(outside.c_str(), (path + suffix).c_str()), 0);
        {
            Context context(noteModel());
            Error error, corruption;
            ASSERT_TRUE(context.addStore(path, &error, &corruption)) << error.description();
            EXPECT_EQ(corruption.localizedDescription().find(" links "), std::string::npos)
                << corruption.localizedDescription();
            EXPECT_TRUE(corruption.userInfo["movedAsidePath"].isNull()) << corruption.description();
            if (suffix.empty()) rows = 0;  // our copy of their database, with no notes yet
            EXPECT_EQ(context.count(FetchRequest("Note")), rows);
            ASSERT_TRUE(context.insert("Note", note("more", 2, 2)));
            ASSERT_TRUE(context.save());
            ++rows;
        }
        EXPECT_EQ(*platform::foundation::FileManager::readFile(outside), bytes);
        struct stat st {};
        ASSERT_EQ(lstat(outside.c_str(), &st), 0);
        EXPECT_EQ(st.st_nlink, 1u);
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_nlink, 1u);
    }
    EXPECT_FALSE(fs::exists(path + ".corrupt-1"));
}

TEST_F(StoreTest, ACopySetAsideNeverReplacesOneKeptWhateverItsNumber) {
    std::ofstream(path + ".corrupt-999999999") << "older";
    std::ofstream(path + ".corrupt-1000000000") << "newer";
    std::ofstream(path) << "damaged";
    std::ofstream(path + "-wal") << "its log";
    EXPECT_EQ(setAside(path, companionSuffixes()), path + ".corrupt-1000000001");
    EXPECT_EQ(*platform::foundation::FileManager::readFile(path + ".corrupt-999999999"), "older");
    EXPECT_EQ(*platform::foundation::FileManager::readFile(path + ".corrupt-1000000000"), "newer");
    EXPECT_EQ(*platform::foundation::FileManager::readFile(path + ".corrupt-1000000001"), "damaged");
    EXPECT_EQ(*platform::foundation::FileManager::readFile(path + ".corrupt-1000000001-wal"), "its log");
    // The next one makes the oldest of four go.
    std::ofstream(path) << "damaged again";
    EXPECT_EQ(setAside(path, companionSuffixes()), path + ".corrupt-1000000002");
    EXPECT_FALSE(fs::exists(path + ".corrupt-999999999"));
    EXPECT_EQ(*platform::foundation::FileManager::readFile(path + ".corrupt-1000000000"), "newer");
}

TEST_F(StoreTest, AKilledProcessLosesOnlyItsUnsavedChanges) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Context context(noteModel());
        if (!context.addStore(path)) _exit(2);
        context.insert("Note", note("saved", 1, 1));
        if (!context.save()) _exit(3);
        context.insert("Note", note("unsaved", 2, 2));
        raise(SIGKILL);
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(python("print([r[0] for r in db.execute('select title from Note')])"), "['saved']\n");
    Context context(noteModel());
    ASSERT_TRUE(context.addStore(path));
    EXPECT_EQ(context.count(FetchRequest("Note")), 1);
}

}  // namespace

TEST_F(StoreTest, SetAsideCopiesAreNumberedOnwardAndOnlyTheNewestKept) {
    auto names = [&] {
        std::vector<std::string> found;
        for (const auto& e : fs::directory_iterator(dir)) found.push_back(e.path().filename());
        std::sort(found.begin(), found.end());
        return found;
    };
    for (int i = 1; i <= 5; ++i) {
        std::ofstream(path) << "copy " << i;
        std::ofstream(path + "-wal") << "log " << i;
        EXPECT_EQ(setAside(path, {"-wal"}), path + ".corrupt-" + std::to_string(i));
    }
    EXPECT_EQ(names(),
              (std::vector<std::string>{"notes.sql.corrupt-3", "notes.sql.corrupt-3-wal", "notes.sql.corrupt-4",
                                        "notes.sql.corrupt-4-wal", "notes.sql.corrupt-5", "notes.sql.corrupt-5-wal"}));
    EXPECT_EQ(*platform::foundation::FileManager::readFile(path + ".corrupt-5"), "copy 5");
    // A damaged log set aside alone, and a new store: removing the copies leaves only the store.
    std::ofstream(path + "-wal") << std::string(64, 'w');
    Context context(noteModel());
    ASSERT_TRUE(context.addStore(path));
    EXPECT_TRUE(fs::exists(path + "-wal.corrupt-1"));
    removeSetAsideCopies(path);
    for (const auto& name : names()) EXPECT_EQ(name.find(".corrupt-"), std::string::npos) << name;
}

TEST_F(StoreTest, ALinkFifoOrFolderAtACompanionIsSetAsideAloneAndTheStoreKeepsItsRows) {
    {
        Context context(noteModel());
        ASSERT_TRUE(context.addStore(path));
        ASSERT_TRUE(context.insert("Note", note("kept", 1, 1)));
        ASSERT_TRUE(context.save());
    }
    const std::string outside = dir + "/outside", report = dir + "/report";
    std::ofstream(outside) << "not the store's";
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> kinds = {
        {"a link", [&](const std::string& at) { fs::create_symlink(dir + "/nowhere", at); }},
        {"a link", [&](const std::string& at) { fs::create_symlink(outside, at); }},
        {"a FIFO", [](const std::string& at) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); }},
        {"a folder", [](const std::string& at) { fs::create_directory(at); }},
    };
    for (const std::string suffix : {"-journal", "-wal", "-shm"}) {
        const std::string companion = path + suffix;
        int n = 0;
        for (const auto& [kind, make] : kinds) {
            SCOPED_TRACE(companion + ": " + kind);
            make(companion);
            // In a child, so that an open that waits on the FIFO fails the test instead of hanging it.
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                bool kept = false;
                {
                    Context context(noteModel());
                    Error error, corruption;
                    kept = context.addStore(path, &error, &corruption) && context.count(FetchRequest("Note")) == 1;
                    std::ofstream(report) << corruption.localizedDescription();
                }
                _exit(kept ? 0 : 1);
            }
            ASSERT_EQ(qmtest::waitExit(child, 30), 0);
            const std::string aside = companion + ".corrupt-" + std::to_string(++n);
            EXPECT_EQ(*platform::foundation::FileManager::readFile(report),
                      kind + " at " + companion + " moved to " + aside);
            EXPECT_TRUE(fs::is_symlink(aside) || fs::is_fifo(aside) || fs::is_directory(aside));
            EXPECT_FALSE(fs::exists(path + ".corrupt-1"));
            EXPECT_EQ(*platform::foundation::FileManager::readFile(outside), "not the store's");
        }
    }
    EXPECT_EQ(python("print([r[0] for r in db.execute('select title from Note')])"), "['kept']\n");
}
