#pragma once
// A home of the test program's own: HOME, XDG_DATA_HOME and XDG_RUNTIME_DIR
// (where the sound library makes its folder) point into a private folder made for this process under the build folder's test-homes/
// and removed when it ends (exit() included), so that nothing a test
// launches, in-process or as a child, writes into the user's real data home.
// Work still running as it goes would make parts of it again: the analytics
// thread, the one that outlives the tests, is finished before (see
// GlobalStateGuard.cpp). A test program started by another (QM_TEST_HOME
// set) keeps the home its parent gave it.
#include <errno.h>  // program_invocation_short_name
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace qmtest {

class PrivateHome {
public:
    // The process's one home, made on the first call.
    static void enter() { static PrivateHome home; }

    // A new folder, its name starting with `name`, for a test's own files:
    // in the home (a child test program's goes in its parent's), so that what
    // a test or a child that ended before tidying up leaves goes with it.
    // Under /tmp only in a program that has no home. "" when none was made.
    static std::string makeFolder(const std::string& name) {
        const char* home = getenv("QM_TEST_HOME");
        std::string parent = home && *home ? std::string(home) + "/scratch" : "/tmp";
        if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) return "";
        std::string pattern = parent + "/" + name + "-XXXXXX";
        return mkdtemp(pattern.data()) ? pattern : "";
    }

private:
    PrivateHome() {
        if (const char* given = getenv("QM_TEST_HOME"); given && *given) return;
        const std::string homes = std::string(QM_BUILD_DIR) + "/test-homes";
        std::error_code ignored;
        std::filesystem::create_directories(homes, ignored);
        // Named after the program, so that a home left behind says whose it was.
        std::string pattern = homes + "/home-" + program_invocation_short_name + "-XXXXXX";
        if (!mkdtemp(pattern.data())) return;  // the tests that need a home say so
        path_ = pattern;
        setenv("QM_TEST_HOME", path_.c_str(), 1);
        setenv("HOME", path_.c_str(), 1);
        setenv("XDG_DATA_HOME", (path_ + "/.local/share").c_str(), 1);
        const std::string runtime = path_ + "/.run";
        if (mkdir(runtime.c_str(), 0700) == 0) setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    ~PrivateHome() {
        // A forked child that ends through exit() leaves the home to its parent.
        if (path_.empty() || getpid() != owner_) return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    std::string path_;
    const pid_t owner_ = getpid();
};

}  // namespace qmtest
