#include "platform/store/Database.h"

#include <errno.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "platform/foundation/FileManager.h"

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

bool isNotAStoreFile(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

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

constexpr const char* kSetAsideMark = ".corrupt-";

// The numbers n of the "<path>.corrupt-<n>" copies and of their companions.
std::vector<long> setAsideNumbers(const std::string& path) {
    const std::string prefix = FileManager::lastPathComponent(path) + kSetAsideMark;
    const std::vector<std::string>& companions = companionSuffixes();
    std::vector<long> numbers;
    for (const auto& name : FileManager::contentsOfDirectory(FileManager::deletingLastPathComponent(path))) {
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const size_t end = name.find_first_not_of("0123456789", prefix.size());
        const std::string digits = name.substr(prefix.size(), end - prefix.size());
        const std::string rest = end == std::string::npos ? "" : name.substr(end);
        if (digits.empty() || digits.size() > 9 ||
            (!rest.empty() && std::find(companions.begin(), companions.end(), rest) == companions.end()))
            continue;
        const long n = std::stol(digits);
        if (std::find(numbers.begin(), numbers.end(), n) == numbers.end()) numbers.push_back(n);
    }
    return numbers;
}

void removeCopy(const std::string& copy) {
    FileManager::remove(copy);
    for (const auto& suffix : companionSuffixes()) FileManager::remove(copy + suffix);
}

}  // namespace

std::string setAside(const std::string& path, const std::vector<std::string>& companionSuffixes,
                     platform::foundation::Error* error) {
    long last = 0;
    const std::vector<long> numbers = setAsideNumbers(path);
    for (long n : numbers) last = std::max(last, n);
    const std::string aside = path + kSetAsideMark + std::to_string(last + 1);
    if (!FileManager::move(path, aside, error)) return "";
    for (const auto& suffix : companionSuffixes)
        if (FileManager::isPresent(path + suffix)) FileManager::move(path + suffix, aside + suffix);
    for (long n : numbers)
        if (n <= last + 1 - kKeptSetAsideCopies) removeCopy(path + kSetAsideMark + std::to_string(n));
    return aside;
}

bool setAsideSpecialCompanions(const std::string& path, std::string& report) {
    report.clear();
    bool sound = true;
    for (const auto& suffix : companionSuffixes()) {
        const std::string companion = path + suffix;
        struct stat st;
        if (::lstat(companion.c_str(), &st) != 0 || S_ISREG(st.st_mode)) continue;
        platform::foundation::Error error;
        const std::string aside = setAside(companion, {}, &error);
        report += std::string(report.empty() ? "" : "; ")  + FileManager::kindOfEntry(st.st_mode) + " at " + companion +
                  (aside.empty() ? " cannot be moved aside: " + error.description() : " moved to " + aside);
        sound = sound && !aside.empty();
    }
    return sound;
}

void removeSetAsideCopies(const std::string& path) {
    for (const auto& suffix : companionSuffixes())  // a log or an index set aside alone
        for (long n : setAsideNumbers(path + suffix)) removeCopy(path + suffix + kSetAsideMark + std::to_string(n));
    for (long n : setAsideNumbers(path)) removeCopy(path + kSetAsideMark + std::to_string(n));
}

Database::~Database() { close(); }

Database::Database(Database&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), openError_(std::move(other.openError_)) {}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
        openError_ = std::move(other.openError_);
    }
    return *this;
}

int Database::open(const std::string& path, int flags) {
    close();
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        openError_ = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close_v2(db_);
        db_ = nullptr;
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
    return failure;
}

std::string Database::errorMessage() const { return db_ ? sqlite3_errmsg(db_) : openError_; }

int Database::exec(const std::string& sql) {
    return fullDiskAsFull(db_, sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr));
}

int Database::quickCheck(std::string& verdict) {
    verdict.clear();
    Statement check = prepare("PRAGMA quick_check");
    if (!check) return check.prepareResult();
    int rc;
    while ((rc = check.step()) == SQLITE_ROW) {
        if (check.isNull(0) || verdict.size() >= 512) continue;
        verdict += (verdict.empty() ? "" : "; ") + check.textColumn(0);
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

bool Database::inTransaction() const { return db_ && !sqlite3_get_autocommit(db_); }

}  // namespace platform::store
