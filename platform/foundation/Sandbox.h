#pragma once
// The application's sandbox: Documents/, Library/Caches/, Library/Preferences/,
// Library/Keychains/ and tmp/ under a home folder (--home, or
// $XDG_DATA_HOME/quenmira, or ~/.local/share/quenmira). The folders are
// private to their owner (0700) whatever the umask, and so are the files that
// hold the user's data (kPrivateFileMode).
#include <string>

#include "platform/foundation/Error.h"

namespace platform::foundation {

class Sandbox {
public:
    static constexpr unsigned kFolderMode = 0700;
    static constexpr unsigned kPrivateFileMode = 0600;

    // Where the home is when none is chosen: $XDG_DATA_HOME/quenmira when
    // that is an absolute path, else ~/.local/share/quenmira with ~ from HOME
    // or the password database; "" when the user has no usable home.
    static std::string defaultHome();
    // The chosen home, or the default one (its folders made on first use),
    // by its real path once it exists: links in the folders above it are the
    // user's, and nothing in the home is then reached through one.
    static std::string home();
    // Chooses the home and makes its folders; false (with the reason) when
    // they cannot be made or written. An empty path goes back to the default.
    static bool setHome(const std::string& path, Error* error = nullptr);
    // The home setHome chose; empty while the default applies.
    static std::string chosenHome();
    // Makes the current home's folders, owner-only, and checks that a file
    // can be written in them.
    static bool prepare(Error* error = nullptr);
    // Holds the current home for the rest of the process's life (a lock on
    // Library/instance.lock, which names the holder's pid; anything but a
    // regular file of one name there is set aside first), so that one
    // running application uses a sandbox at a time; a home held before by
    // this process is let go. False, saying which process holds it, when
    // another one does.
    static bool claim(Error* error = nullptr);
    static constexpr const char* kLockFileName = "instance.lock";

    static std::string documents();
    static std::string library();
    static std::string caches();
    static std::string preferences();
    static std::string keychains();
    static std::string tmp();
};

}  // namespace platform::foundation
