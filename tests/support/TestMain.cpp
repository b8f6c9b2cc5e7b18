// The main of every test program. It runs in a home of its own: HOME and
// XDG_DATA_HOME point into a private folder made for this process and removed
// when it ends, so that nothing a test launches (in-process or as a child)
// writes into the user's real data home. A test program started by another
// (QM_TEST_HOME set) keeps the home its parent gave it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

class PrivateHome {
public:
    PrivateHome() {
        if (const char* given = getenv("QM_TEST_HOME"); given && *given) return;
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qm-test-home-XXXXXX";
        if (!mkdtemp(pattern.data())) return;  // the tests that need a home say so
        path_ = pattern;
        setenv("QM_TEST_HOME", path_.c_str(), 1);
        setenv("HOME", path_.c_str(), 1);
        setenv("XDG_DATA_HOME", (path_ + "/.local/share").c_str(), 1);
    }
    ~PrivateHome() {
        // A forked child that ends through exit() leaves the home to its parent.
        if (path_.empty() || getpid() != owner_) return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

private:
    std::string path_;
    const pid_t owner_ = getpid();
};

}  // namespace

int main(int argc, char** argv) {
    PrivateHome home;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
