#pragma once
// Running a program as another user (nobody, uid 65534), which tests do as
// root, since root may write anywhere. That user reaches neither the build
// tree nor the sources when they lie in a folder only its owner may open (a
// clone in /root or in a mktemp -d), so it runs copies of its own: the
// program (or a whole bundle) and the leak-checker's suppressions, in a
// folder under /tmp that every user may read and search.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ShellTools.h"

namespace qmtest {

class OtherUser {
public:
    static constexpr uid_t kUid = 65534;

    // Why a test cannot run anything as the other user here; "" when it can.
    static std::string unavailable() {
        if (geteuid() != 0) return "not root: cannot run as another user";
        if (!have("setpriv")) return "no setpriv to run as another user";
        return "";
    }

    OtherUser() {
        char tmpl[] = "/tmp/qm-other-user-XXXXXX";
        if (mkdtemp(tmpl)) {
            folder_ = tmpl;
            ::chmod(folder_.c_str(), 0755);
        }
    }
    ~OtherUser() {
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }
    OtherUser(const OtherUser&) = delete;
    OtherUser& operator=(const OtherUser&) = delete;

    // A copy of the file or folder at `path` that the other user may read and
    // run, links inside kept as links; its path, or "" when it could not be made.
    std::string reachableCopy(const std::string& path) const {
        namespace fs = std::filesystem;
        if (folder_.empty()) return "";
        const fs::path to = fs::path(folder_) / fs::path(path).filename();
        std::error_code error;
        // Made anew at each call: a test may ask again for the same file.
        constexpr auto kOptions =
            fs::copy_options::recursive | fs::copy_options::copy_symlinks | fs::copy_options::overwrite_existing;
        fs::copy(path, to, kOptions, error);
        if (error) return "";
        const auto readable = [&](const fs::path& p) {
            fs::permissions(p, fs::perms::others_read | fs::perms::group_read, fs::perm_options::add, error);
        };
        readable(to);
        if (fs::is_directory(to))
            for (auto it = fs::recursive_directory_iterator(to, error); !error && it != fs::end(it); it.increment(error))
                if (!it->is_symlink()) readable(it->path());
        return error ? "" : to.string();
    }

    // What starts a command as the other user, with no groups of root's.
    static std::vector<std::string> prefix() {
        return {"setpriv", "--reuid=" + std::to_string(kUid), "--regid=" + std::to_string(kUid), "--clear-groups"};
    }

    // `env` ("NAME=value" entries) with the leak checker's suppressions file,
    // if LSAN_OPTIONS names one, replaced by a copy the other user can read:
    // one it cannot read stops the sanitized program at its start.
    std::vector<std::string> environment(std::vector<std::string> env) const {
        static const std::string kKey = "suppressions=";
        for (auto& entry : env) {
            if (entry.rfind("LSAN_OPTIONS=", 0) != 0) continue;
            const size_t at = entry.find(kKey);
            if (at == std::string::npos) continue;
            // A value in quotes runs to the closing quote, which the sanitizer
            // drops; a bare one to the next separator.
            size_t start = at + kKey.size(), end;
            const char quote = start < entry.size() && (entry[start] == '"' || entry[start] == '\'') ? entry[start] : 0;
            if (quote) {
                end = entry.find(quote, start + 1);
                if (end == std::string::npos) continue;
                ++start;
            } else {
                end = std::min(entry.find_first_of(": \t,", start), entry.size());
            }
            const std::string copy = reachableCopy(entry.substr(start, end - start));
            if (!copy.empty()) entry.replace(start, end - start, copy);
        }
        return env;
    }
    // This process's leak-checker options as `environment` makes them, for
    // a command that starts with them: none when it has none.
    std::vector<std::string> sanitizerEnvironment() const {
        const char* options = getenv("LSAN_OPTIONS");
        if (!options) return {};
        return environment({std::string("LSAN_OPTIONS=") + options});
    }

private:
    std::string folder_;
};

}  // namespace qmtest
