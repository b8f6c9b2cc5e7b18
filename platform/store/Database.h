#pragma once
// One SQLite connection that closes itself, shared by every store (the object
// store, the analytics properties database, the keychain stand-in): opening,
// running SQL, the integrity check and transactions. What a store does beyond
// that (its file modes, journal, schema) stays with the store.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/HomeResolver.h"
#include "platform/store/Statement.h"

struct sqlite3;

namespace platform::store {

// What a failed SQLite answer says of the file. Only a damaged file may be
// set aside: a busy one is another connection's work in progress, and a full
// disk needs room, not a new file.
enum class Failure { Damaged, Busy, Full, Other };
Failure failureOf(int rc);
// Anything but a regular file where a store file belongs (a link, a FIFO, a
// device, a folder): a store never goes through it (what it reaches may lie
// outside the sandbox) and takes it for damage.
bool isNotAStoreFile(const std::string& path);

// SQLite says a write that found no room (growing its log or index) as an I/O
// error; answers SQLITE_FULL for it, so that the disk is not taken for the file.
int fullDiskAsFull(sqlite3* db, int rc);

// SQLite takes a read of a sound file that failed with EIO (ENXIO, ERANGE)
// for damage (SQLITE_CORRUPT), and PRAGMA quick_check lists a page it could
// not read among the file's problems. Watches the reads of store files made
// on this thread while it lives: an answer given while one of them failed is
// the I/O error it was, never damage. Every answer of Database and Statement
// passes through one.
class ReadWatch {
public:
    ReadWatch();
    // The system's error of the last read that failed since; 0 when none did.
    int failedRead() const;
    // `rc` of a call on `db`: SQLITE_IOERR_READ for damage when a read failed
    // since (errorMessage() then says so), SQLITE_FULL for a full disk.
    int answer(sqlite3* db, int rc) const;

private:
    uint64_t mark_;
};

// How long a store's connection waits for another connection's transaction.
inline constexpr int kBusyTimeoutMs = 5000;

// How many set-aside copies of one file are kept: the newest.
inline constexpr int kKeptSetAsideCopies = 3;

// The files SQLite keeps beside a database: its journal, its write-ahead log
// and the log's index. Never destroyed: a store may be opened while the
// process exits.
const std::vector<std::string>& companionSuffixes();

// SQLite opens a database's companions by name: it waits on a FIFO there
// until a writer comes, and a link (dangling or not) or anything else but a
// regular file fails every open, so that a sound database looks unusable.
// Each such file is moved aside alone (setAside) before the database opens.
// The database or a companion with a second name elsewhere, which would have
// the store's pages written into that one too, first gets a copy of its own
// (FileManager::giveOwnCopy): a log's commits stay the store's. `report` says
// what went where ("a FIFO at <file> moved to <aside>", joined by "; "), empty
// when all were sound; false when one could not be moved or copied, and the
// database must then stay closed.
bool setAsideSpecialCompanions(const std::string& path, std::string& report);

// Sets a store file aside rather than deleting it: FileManager::moveAside
// (never over an existing name), then removes copies older than the newest
// kKeptSetAsideCopies. Answers the new path, or "" when the file itself could
// not be moved.
std::string setAside(const std::string& path, const std::vector<std::string>& companionSuffixes = {},
                     platform::foundation::Error* error = nullptr);
// Removes every set-aside copy of `path`, and of its -wal, -shm and -journal.
void removeSetAsideCopies(const std::string& path);

class Database {
public:
    Database() = default;
    ~Database();
    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // sqlite3_open_v2 with `flags`; the SQLite code. A failed open leaves no
    // connection; errorMessage() then says why. A file in the sandbox's home
    // is reached from the home's descriptor (SqliteHome).
    int open(const std::string& path, int flags);
    // The text of a failed close; the handle is given up either way, and
    // SQLite releases it once its last statement is gone.
    std::optional<std::string> close();

    explicit operator bool() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_; }
    std::string errorMessage() const;

    int exec(const std::string& sql);
    Statement prepare(const std::string& sql) const { return Statement(db_, sql); }
    // PRAGMA quick_check: SQLITE_OK with `verdict` "ok" for a sound file, else
    // the problems found (joined by "; ", about 512 bytes at most); an I/O
    // error when a read failed on the way.
    int quickCheck(std::string& verdict);
    bool inTransaction() const;

private:
    sqlite3* db_ = nullptr;
    std::string openError_;
    // The home the connection's files are reached from, held while it is open.
    std::shared_ptr<const platform::foundation::HomeResolver::Home> home_;
};

}  // namespace platform::store
