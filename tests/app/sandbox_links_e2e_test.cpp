// The built application on a sandbox as people keep it: a home reached
// through a linked folder, a data folder that is a link, a process short of
// descriptors, files of the sandbox that have another name elsewhere, folders
// of the home swapped for links mid-launch, a home with a long path. What
// each launch leaves is read back by python3.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/ui/app_test_support.h"
#include "tests/support/FolderSwapper.h"
#include "tests/support/ShellTools.h"

namespace {

namespace fs = std::filesystem;

const std::string kApp = std::string(QM_BUNDLE_DIR) + "/Quenmira";

class SandboxLinks : public ::testing::Test {
protected:
    // A snapshot launch with `env` (the collector unreachable: the hits stay
    // stored); the exit status. `prefix` runs first (a shell with its limits).
    int launch(std::vector<std::string> args, const std::vector<std::string>& env = {},
               const std::vector<std::string>& prefix = {}) {
        args.insert(args.begin(), kApp);
        args.insert(args.end(), {"--snapshot", out_.file("snap" + std::to_string(runs_ + 1) + ".png"), "--battery",
                                 "0.5"});
        args.insert(args.begin(), prefix.begin(), prefix.end());
        const std::string output = out_.file("output" + std::to_string(++runs_) + ".txt");
        const pid_t pid = qmtest::spawnLogged(args, qmtest::headlessEnvironment(env), output);
        const int status = qmtest::waitExit(pid, 60);
        log_ = qmtest::readAll(output);
        return status;
    }
    // The number of hits in the home's store, as a peer reads them.
    int storedHits(const std::string& home) {
        const std::string script = out_.write("count.py",
                                              "import sqlite3, sys\n"
                                              "db = sqlite3.connect('file:' + sys.argv[1] + "
                                              "'/Library/tallymark-v3.sql?mode=ro', uri=True)\n"
                                              "print(db.execute('select count(*) from TLYHit').fetchone()[0])\n");
        const qmtest::Ran ran = qmtest::run({"python3", script, home});
        return ran.ok() ? std::stoi(ran.out) : -1;
    }
    // Everything set aside anywhere under `folder`.
    static std::vector<std::string> setAside(const std::string& folder) {
        std::vector<std::string> found;
        for (auto& e : fs::recursive_directory_iterator(folder))
            if (e.path().filename().string().find(".corrupt-") != std::string::npos) found.push_back(e.path());
        return found;
    }
    // Launches on `home` until one has stored a hit (a launch that ends at
    // once may end before its first hit is stored), at most five times; the
    // hits stored.
    int storeHits(const std::string& home) {
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(launch({"--home", home}), 0) << log_;
            if (const int hits = storedHits(home); hits > 0) return hits;
        }
        return 0;
    }
    // Stores hits in `realHome`, then launches `times` times with `args` and
    // `env`, which reach it another way: each keeps the hits before it, and
    // nothing is set aside.
    void launchesKeepTheirHits(int times, const std::vector<std::string>& args, const std::vector<std::string>& env,
                               const std::string& realHome) {
        int before = storeHits(realHome);
        ASSERT_GT(before, 0) << log_;
        for (int i = 1; i <= times; ++i) {
            SCOPED_TRACE("launch " + std::to_string(i));
            ASSERT_EQ(launch(args, env), 0) << log_;
            const int hits = storedHits(realHome);
            EXPECT_GE(hits, before) << log_;
            before = hits;
            EXPECT_EQ(setAside(realHome), std::vector<std::string>{}) << log_;
            EXPECT_EQ(log_.find("Damaged"), std::string::npos) << log_;
            EXPECT_EQ(log_.find("Corrupted"), std::string::npos) << log_;
            EXPECT_EQ(log_.find("Error creating database"), std::string::npos) << log_;
        }
    }

    qmtest::TempDir out_;
    std::string log_;
    int runs_ = 0;
};

TEST_F(SandboxLinks, AHomeUnderALinkedFolderKeepsItsHitsLaunchAfterLaunch) {
    const std::string real = out_.file("real"), linked = out_.file("linked");
    fs::create_directories(real);
    fs::create_directory_symlink(real, linked);
    launchesKeepTheirHits(3, {"--home", linked + "/home"}, {}, real + "/home");
}

TEST_F(SandboxLinks, AnXdgDataHomeThatIsALinkKeepsItsHitsLaunchAfterLaunch) {
    const std::string real = out_.file("data"), linked = out_.file("data-link");
    fs::create_directories(real);
    fs::create_directory_symlink(real, linked);
    launchesKeepTheirHits(2, {}, {"XDG_DATA_HOME=" + linked, "HOME=" + out_.file("user")}, real + "/quenmira");
}

// Folders of the home swapped with links to folders outside, over and over
// (renameat2's exchange: the name is never missing), while the application
// launches: however each launch ends, it neither reads nor makes anything in
// those folders.
TEST_F(SandboxLinks, FoldersOfTheHomeSwappedForLinksMidLaunchTakeNothingOutside) {
    const std::string home = out_.file("home");
    ASSERT_GT(storeHits(home), 0) << log_;
    for (const std::string folder : {"Library/Caches", "Library/Preferences", "Library/Keychains", "Library"}) {
        SCOPED_TRACE(folder);
        std::string name = folder;
        std::replace(name.begin(), name.end(), '/', '-');
        const std::string outside = out_.file("outside-" + name);
        fs::create_directory(outside);
        qmtest::FolderSwapper swapper(home + "/" + folder, outside);
        constexpr int kLaunches = 10;
        std::string logs;
        int ran = 0;
        for (int i = 0; i < kLaunches; ++i) {
            const int status = launch({"--home", home});
            // Refused (a link where the home's Library belongs) or run: never a crash or a hang.
            EXPECT_TRUE(status == 0 || status == 1) << status << "\n" << log_;
            ran += status == 0;
            logs += log_;
        }
        swapper.stop();
        EXPECT_GT(swapper.swaps(), kLaunches);
        // Some ran their course with the folder swapped under them; with
        // Library itself swapped, a launch is mostly refused before it starts.
        if (folder != "Library") {
            EXPECT_GT(ran, 0) << logs;
        }
        std::vector<std::string> found;
        for (const auto& e : fs::recursive_directory_iterator(outside)) found.push_back(e.path());
        EXPECT_EQ(found, std::vector<std::string>{}) << ran << " launches of " << kLaunches << " ran\n" << logs;
        // And the home's own folder is back in place for the next one.
        EXPECT_TRUE(swapper.inPlace()) << logs;
    }
}

// SQLite takes no path longer than 512 bytes: the stores are reached from the
// home's descriptor, and the path above the home may be as long as the system
// takes. A home no path can name is refused at once.
TEST_F(SandboxLinks, AHomeWithAThousandBytePathKeepsItsHitsAndOneNoPathCanNameIsRefused) {
    std::string home = out_.path();
    while (home.size() < 1000) home += "/" + std::string(std::min<size_t>(200, 999 - home.size()), 'h');
    ASSERT_EQ(home.size(), 1000u);
    // Read by a peer from a copy: the peer's SQLite takes no such path either.
    int copies = 0;
    auto hitsIn = [&](const std::string& home) {
        const std::string copy = out_.file("copy" + std::to_string(++copies));
        fs::create_directories(copy + "/Library");
        for (const std::string suffix : {"", "-wal"})
            if (fs::exists(home + "/Library/tallymark-v3.sql" + suffix))
                fs::copy_file(home + "/Library/tallymark-v3.sql" + suffix, copy + "/Library/tallymark-v3.sql" + suffix);
        return storedHits(copy);
    };
    int hits = 0;
    for (int i = 0; i < 5 && hits <= 0; ++i) {
        ASSERT_EQ(launch({"--home", home}), 0) << log_;
        EXPECT_EQ(log_.find("rror"), std::string::npos) << log_;
        hits = hitsIn(home);
    }
    EXPECT_GT(hits, 0);
    // And a later launch finds them there.
    ASSERT_EQ(launch({"--home", home}), 0) << log_;
    EXPECT_GE(hitsIn(home), hits) << log_;
    EXPECT_EQ(setAside(out_.path()), std::vector<std::string>{}) << log_;

    std::string tooLong = out_.path();
    while (tooLong.size() < 5000) tooLong += "/" + std::string(200, 'x');
    EXPECT_EQ(launch({"--home", tooLong}), 1) << log_;
    EXPECT_EQ(std::count(log_.begin(), log_.end(), '\n'), 1) << log_;
}

TEST_F(SandboxLinks, ALaunchShortOfDescriptorsLeavesTheStoreAndItsHits) {
    const std::string home = out_.file("home");
    const int hits = storeHits(home);
    ASSERT_GT(hits, 0) << log_;
    // However far it gets, it sets nothing aside.
    launch({"--home", home}, {}, {"sh", "-c", "ulimit -n 12 && exec \"$0\" \"$@\""});
    const std::string shortLog = log_;
    EXPECT_EQ(setAside(home), std::vector<std::string>{}) << shortLog;
    EXPECT_GE(storedHits(home), hits) << shortLog;
    EXPECT_EQ(shortLog.find("Damaged"), std::string::npos) << shortLog;
    EXPECT_EQ(shortLog.find("Corrupted"), std::string::npos) << shortLog;
    // And the next launch finds them where they were.
    ASSERT_EQ(launch({"--home", home}), 0) << log_;
    EXPECT_GE(storedHits(home), hits) << shortLog << log_;
    EXPECT_EQ(setAside(home), std::vector<std::string>{}) << log_;
}

// Files of the sandbox with a second name elsewhere (a backup made by hard
// links, or a name planted outside): each gets a copy of its own before it is
// opened, with one line, and nothing is set aside. The hits committed in the
// store's log stay the store's, and every file outside keeps its bytes.
TEST_F(SandboxLinks, FilesWithASecondNameElsewhereGetCopiesOfTheirOwnAndLoseNothing) {
    const std::string home = out_.file("home");
    ASSERT_GT(storeHits(home), 0) << log_;
    ASSERT_EQ(launch({"--home", home}), 0) << log_;  // the time spent and settings of a second launch
    // As many hits again committed to the store's log, which is left unmerged
    // (the writer ends without closing), as a process killed mid-launch leaves it.
    const std::string commit = out_.write("commit.py",
                                          "import os, sqlite3, sys\n"
                                          "db = sqlite3.connect(sys.argv[1] + '/Library/tallymark-v3.sql')\n"
                                          "db.execute('pragma wal_autocheckpoint=0')\n"
                                          "cols = [r[1] for r in db.execute('pragma table_info(TLYHit)') if not r[5]]\n"
                                          "names = ', '.join('\"%s\"' % c for c in cols)\n"
                                          "db.execute('insert into TLYHit (%s) select %s from TLYHit' % (names, names))\n"
                                          "db.commit()\nos._exit(0)\n");
    const int before = storedHits(home);
    ASSERT_TRUE(qmtest::run({"python3", commit, home}).ok());
    const std::string library = home + "/Library";
    ASSERT_GT(fs::file_size(library + "/tallymark-v3.sql-wal"), 0u);
    // The crash manager's settings, and a last run's report (undecodable: only read, then purged).
    const std::string crashSettings = library + "/Caches/net.pelkorapp.sdk.ios/PKRCrashManager.plist";
    ASSERT_TRUE(qmtest::run({"python3", "-c",
                             "import plistlib, sys; plistlib.dump({}, open(sys.argv[1], 'wb'), fmt=plistlib.FMT_BINARY)",
                             crashSettings})
                    .ok());
    const std::string liveReport =
        library + "/Caches/com.ovellalabs.crashreporter.data/org.quenmira.battery/live_report.ovcrash";
    std::ofstream(liveReport, std::ios::binary) << "xyz";
    const std::vector<std::string> files = {library + "/tallymark-v3.sql-wal",
                                            library + "/tallymark-v3.sql-shm",
                                            library + "/tallymark-v3.sql",
                                            library + "/Preferences/org.quenmira.battery.plist",
                                            library + "/PZSDKTimeSpent.json",
                                            library + "/Keychains/keychain.db",
                                            crashSettings,
                                            liveReport};
    // A backup's second name for each, and names planted outside for the lock and the keychain's journal.
    std::vector<std::string> outside, kept;
    for (size_t i = 0; i < files.size(); ++i) {
        outside.push_back(out_.file("backup" + std::to_string(i)));
        ASSERT_EQ(::link(files[i].c_str(), outside[i].c_str()), 0) << files[i];
    }
    for (const std::string& planted : {library + "/instance.lock", library + "/Keychains/keychain.db-journal"}) {
        outside.push_back(out_.write("planted" + std::to_string(outside.size()), std::string(4096, 'x') + " mine\n"));
        fs::remove(planted);
        ASSERT_EQ(::link(outside.back().c_str(), planted.c_str()), 0) << planted;
    }
    for (const auto& file : outside) kept.push_back(qmtest::readAll(file));
    const std::string timeSpent = qmtest::readAll(library + "/PZSDKTimeSpent.json");
    ASSERT_NE(timeSpent.find("\"numSessions\":"), std::string::npos) << timeSpent;

    ASSERT_EQ(launch({"--home", home}), 0) << log_;
    for (size_t i = 0; i < outside.size(); ++i) EXPECT_EQ(qmtest::readAll(outside[i]), kept[i]) << outside[i];
    for (const auto& file : files) {
        if (file.find("-shm") != std::string::npos) continue;  // SQLite may have removed it before
        EXPECT_EQ(qmtest::occurrences(log_, file + " had a second name elsewhere; it now has a copy of its own"), 1)
            << log_;
    }
    EXPECT_EQ(qmtest::occurrences(log_, library + "/instance.lock had a second name elsewhere"), 1) << log_;
    EXPECT_EQ(setAside(home), std::vector<std::string>{}) << log_;
    EXPECT_GE(storedHits(home), 2 * before) << log_;
    // The settings and the time spent were read: the session count went on from the one kept.
    EXPECT_EQ(log_.find("Cannot read the time spent"), std::string::npos) << log_;
    EXPECT_EQ(log_.find("UserDefaults: cannot read"), std::string::npos) << log_;
}

}  // namespace
