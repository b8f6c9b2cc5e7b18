#pragma once
// SQLite reaches the files of the sandbox's home the way the rest of the
// system does, from the home's descriptor (HomeResolver), no link followed. A
// store in the home is opened by a short name of its own,
// "/.quenmira-home-<n>/<path inside the home>", and SQLite's unix file-system
// calls that take a name (open, stat, lstat, access, unlink, mkdir, rmdir,
// readlink; replaced through xSetSystemCall) reach such names from home n's
// descriptor. A folder of the home swapped for a link cannot take a store, its
// journal, log or index elsewhere, and the length of the path above the home,
// which SQLite limits, does not matter.
#include <memory>
#include <string>

#include "platform/foundation/HomeResolver.h"

namespace platform::store {

class SqliteHome {
public:
    // The name SQLite is given for `path`: its short name when it lies in the
    // held home (`home` then keeps that home's descriptor open for as long as
    // the connection needs it), else `path` itself.
    static std::string nameFor(const std::string& path,
                               std::shared_ptr<const platform::foundation::HomeResolver::Home>& home);
};

}  // namespace platform::store
