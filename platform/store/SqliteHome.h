#pragma once
// SQLite reaches the files of the sandbox's home the way the rest of the
// system does, from the home's descriptor (HomeResolver), no link followed. A
// store in the home is opened by a short name of its own,
// "/.quenmira-home-<n>/<path inside the home>", and SQLite's unix file-system
// calls that take a name (open, stat, lstat, access, unlink, mkdir, rmdir,
// readlink; replaced through xSetSystemCall) reach such names from home n's
// descriptor. A folder of the home swapped for a link cannot take a store, its
// journal, log or index elsewhere, and the length of the path above the home,
// which SQLite limits, does not matter. Its reads are watched too (read,
// pread, pread64): a read that failed is known as such (ReadWatch), though
// SQLite takes some (EIO) for a damaged file.
#include <cstdint>
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
    // How many reads of SQLite's files failed on the calling thread so far
    // (SQLite reads a connection's files on the thread that uses it), and the
    // system's error of the last one.
    static uint64_t failedReads();
    static int lastReadError();
};

}  // namespace platform::store
