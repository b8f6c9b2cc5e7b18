#include "platform/store/Database.h"

#include <errno.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstring>
#include <utility>

#include "platform/foundation/FileManager.h"
#include "platform/store/SqliteHome.h"

namespace platform::store {

using platform::foundation::FileManager;

Failure failureOf(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return Failure::Damaged;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return Failure::Busy;
    case SQLITE_FULL: return Failure::Full;
    default: return Failure::Other;
    }
}

bool isNotAStoreFile(const std::string& path) { return !FileManager::foreignEntry(path).empty(); }

const std::vector<std::string>& companionSuffixes() {
    static const auto* suffixes = new std::vector<std::string>{"-journal", "-wal", "-shm"};
    return *suffixes;
}

int fullDiskAsFull(sqlite3* db, int rc) {
    if ((rc & 0xFF) != SQLITE_IOERR || !db) return rc;
    const int err = sqlite3_system_errno(db);
    return err == ENOSPC || err == EDQUOT || err == EFBIG ? SQLITE_FULL : rc;
}

namespace {

// The connection whose last failed answer was a failed read taken for damage
// on this thread, and that read's error: what its errorMessage() says.
thread_local sqlite3* tMisreadOn = nullptr;
thread_local int tMisreadError = 0;

}  // namespace

ReadWatch::ReadWatch() : mark_(SqliteHome::failedReads()) {}

int ReadWatch::failedRead() const { return SqliteHome::failedReads() != mark_ ? SqliteHome::lastReadError() : 0; }

int ReadWatch::answer(sqlite3* db, int rc) const {
    if (failureOf(rc) == Failure::Damaged && failedRead() != 0) {
        tMisreadOn = db;
        tMisreadError = failedRead();
        return SQLITE_IOERR_READ;
    }
    if (tMisreadOn == db) tMisreadOn = nullptr;
    return fullDiskAsFull(db, rc);
}

namespace {

void removeCopy(const std::string& copy) {
    FileManager::remove(copy);
    for (const auto& suffix : companionSuffixes()) FileManager::remove(copy + suffix);
}

}  // namespace

std::string setAside(const std::string& path, const std::vector<std::string>& companionSuffixes,
                     platform::foundation::Error* error) {
    const std::string aside = FileManager::moveAside(path, companionSuffixes, error);
    if (aside.empty()) return "";
    const std::vector<std::string> copies = FileManager::setAsideCopies(path, platform::store::companionSuffixes());
    for (size_t i = 0; i + kKeptSetAsideCopies < copies.size(); ++i) removeCopy(copies[i]);
    return aside;
}

bool setAsideSpecialCompanions(const std::string& path, std::string& report) {
    report.clear();
    bool sound = true;
    for (const std::string& file : {path, path + "-journal", path + "-wal", path + "-shm"}) {
        platform::foundation::Error error;
        if (FileManager::giveOwnCopy(file, &error)) continue;
        report += std::string(report.empty() ? "" : "; ") + file +
                  " has a second name elsewhere and cannot be given a copy of its own: " +
                  platform::foundation::reasonAbout(error, file);
        sound = false;
    }
    if (!sound) return false;
    for (const auto& suffix : companionSuffixes()) {
        const std::string companion = path + suffix;
        const std::string found = FileManager::foreignEntry(companion);
        if (found.empty()) continue;
        platform::foundation::Error error;
        const std::string aside = setAside(companion, {}, &error);
        report += std::string(report.empty() ? "" : "; ") + found + " at " + companion +
                  (aside.empty() ? " cannot be moved aside: " + platform::foundation::reasonAbout(error, companion)
                                 : " moved to " + aside);
        sound = sound && !aside.empty();
    }
    return sound;
}

void removeSetAsideCopies(const std::string& path) {
    for (const auto& suffix : companionSuffixes())  // a log or an index set aside alone
        for (const auto& copy : FileManager::setAsideCopies(path + suffix, companionSuffixes())) removeCopy(copy);
    for (const auto& copy : FileManager::setAsideCopies(path, companionSuffixes())) removeCopy(copy);
}

Database::~Database() { close(); }

Database::Database(Database&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), openError_(std::move(other.openError_)),
      home_(std::move(other.home_)) {}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
        openError_ = std::move(other.openError_);
        home_ = std::move(other.home_);
    }
    return *this;
}

int Database::open(const std::string& path, int flags) {
    close();
    int rc = sqlite3_open_v2(SqliteHome::nameFor(path, home_).c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        openError_ = db_ ? errorMessage() : sqlite3_errstr(rc);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        home_.reset();
    }
    return rc;
}

std::optional<std::string> Database::close() {
    if (!db_) return std::nullopt;
    std::optional<std::string> failure;
    if (sqlite3_close(db_) != SQLITE_OK) {
        failure = sqlite3_errmsg(db_);
        sqlite3_close_v2(db_);
    }
    db_ = nullptr;
    home_.reset();
    return failure;
}

std::string Database::errorMessage() const {
    if (!db_) return openError_;
    if (tMisreadOn == db_) return std::string(sqlite3_errstr(SQLITE_IOERR)) + " (" + std::strerror(tMisreadError) + ")";
    // "unable to open database file" alone does not say why: the system's error does.
    std::string message = sqlite3_errmsg(db_);
    const int rc = sqlite3_errcode(db_) & 0xFF;
    const int err = sqlite3_system_errno(db_);
    if (err != 0 && (rc == SQLITE_CANTOPEN || rc == SQLITE_IOERR || rc == SQLITE_FULL || rc == SQLITE_READONLY))
        message += std::string(" (") + std::strerror(err) + ")";
    return message;
}

int Database::exec(const std::string& sql) {
    const ReadWatch watch;
    return watch.answer(db_, sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr));
}

int Database::quickCheck(std::string& verdict) {
    verdict.clear();
    const ReadWatch watch;
    Statement check = prepare("PRAGMA quick_check");
    if (!check) return check.prepareResult();
    int rc;
    while ((rc = check.step()) == SQLITE_ROW) {
        if (check.isNull(0) || verdict.size() >= 512) continue;
        verdict += (verdict.empty() ? "" : "; ") + check.textColumn(0);
    }
    if (rc != SQLITE_DONE) return rc;
    if (verdict == "ok" || watch.answer(db_, SQLITE_CORRUPT) == SQLITE_CORRUPT) return SQLITE_OK;
    verdict.clear();  // the pages it could not read, not the file's problems
    return SQLITE_IOERR_READ;
}

bool Database::inTransaction() const { return db_ && !sqlite3_get_autocommit(db_); }

}  // namespace platform::store
