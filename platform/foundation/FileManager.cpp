#include "platform/foundation/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string_view>

#include "platform/foundation/HomeResolver.h"
#include "platform/foundation/Log.h"

namespace platform::foundation {

namespace {

bool fail(Error* error, int err, const std::string& what) {
    if (error) *error = posixError(err, what);
    return false;
}

bool writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

using Place = HomeResolver::Place;

// lstat: a dangling link still takes up its name.
bool present(const std::string& path) {
    struct stat st;
    return HomeResolver::place(path).stat(st, false) == 0;
}

// stat, as the caller asks for what a path names; inside the home a link is
// never followed, and so is never what the caller looks for (ELOOP, as an
// open through it says).
int statFollowing(const std::string& path, struct stat& st) {
    const Place place = HomeResolver::place(path);
    if (place.stat(st) != 0) return -1;
    if (place.inHome() && S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    return 0;
}

// chmod of what stands at a place, never through a link.
int changeModeAt(const Place& place, unsigned mode) {
    if (!place) {
        errno = place.error();
        return -1;
    }
    if (::fchmodat(place.folder(), place.name(), mode, AT_SYMLINK_NOFOLLOW) == 0) return 0;
    if (errno == EOPNOTSUPP || errno == ENOTSUP) errno = ELOOP;  // a link stands there
    return -1;
}

// Removes what stands at `name` in `folder`, a folder with all it holds, one
// name at a time and following no link.
int removeAt(int folder, const char* name) {
    struct stat st;
    if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ::unlinkat(folder, name, 0) == 0 ? 0 : errno;
    const int fd = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        const int err = errno;
        ::close(fd);
        return err;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    int err = 0;
    for (const auto& entry : names)
        if (const int e = removeAt(::dirfd(d), entry.c_str()); e && e != ENOENT && !err) err = e;
    ::closedir(d);
    if (::unlinkat(folder, name, AT_REMOVEDIR) != 0 && !err) err = errno;
    return err;
}

// Renames between two places; `flags` as renameat2 takes them.
int renameBetween(const std::string& from, const std::string& to, unsigned flags) {
    const Place a = HomeResolver::place(from), b = HomeResolver::place(to);
    if (!a || !b) {
        errno = a ? b.error() : a.error();
        return -1;
    }
    return flags ? ::renameat2(a.folder(), a.name(), b.folder(), b.name(), flags)
                 : ::renameat(a.folder(), a.name(), b.folder(), b.name());
}

// mkstemp at a place: `name` ends in XXXXXX, which is replaced.
int makeUniqueAt(const Place& folder, std::string& name, unsigned mode) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    if (name.size() < 6 || name.compare(name.size() - 6, 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return -1;
    }
    // No descriptor of its own (a random device would take one): the time,
    // the process and a count, mixed.
    static std::atomic<uint64_t> count{0};
    for (int attempt = 0; attempt < 1000; ++attempt) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        uint64_t bits = (uint64_t(now.tv_nsec) ^ (uint64_t(now.tv_sec) << 30) ^ (uint64_t(::getpid()) << 40)) +
                        count.fetch_add(1) * 0x9E3779B97F4A7C15ull;
        bits ^= bits >> 29;
        bits *= 0xBF58476D1CE4E5B9ull;
        bits ^= bits >> 32;
        for (size_t i = name.size() - 6; i < name.size(); ++i, bits /= sizeof kLetters - 1)
            name[i] = kLetters[bits % (sizeof kLetters - 1)];
        const int fd = ::openat(folder.folder(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Between a file's name and mkstemp's unique tail in its temporaries.
constexpr std::string_view kTemporaryMark = ".tmp-";

std::optional<std::string> refuse(Error* error, FileManagerErrorCode code, const std::string& path) {
    if (error)
        *error =
            Error::withDescription(kFileManagerErrorDomain, code,
                                   (code == kFileNotRegularError ? "Not a regular file: " : "File too large: ") + path);
    return std::nullopt;
}

// The folder that holds `path` could not be reached now: one on the way that
// is no folder now (ELOOP, ENOTDIR, EXDEV, EAGAIN there) is said as such,
// with the errno kept for callers that tell passing failures from damage.
bool unreachable(Error* error, int err, const std::string& path) {
    if (err != ELOOP && err != ENOTDIR && err != EXDEV && err != EAGAIN) return fail(error, err, path);
    if (error)
        *error = Error::withDescription(kPOSIXErrorDomain, err,
                                        path + ": a folder on its way is not a folder now (" + std::strerror(err) + ")");
    return false;
}

// The folder a place lies in, when it lies in the home.
FolderIdentity identityOf(const Place& place) {
    struct stat st;
    if (!place.inHome() || ::fstat(place.folder(), &st) != 0) return {};
    return {uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

}  // namespace

std::string FileManager::kindOfEntry(unsigned mode) {
    if (S_ISLNK(mode)) return "a link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISDIR(mode)) return "a folder";
    return "a file";
}

bool FileManager::exists(const std::string& path, bool* isDirectory) {
    struct stat st;
    if (statFollowing(path, st) != 0) return false;
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return true;
}

bool FileManager::isPresent(const std::string& path) { return present(path); }

std::string FileManager::foreignEntry(const std::string& path) {
    struct stat st;
    if (HomeResolver::place(path).stat(st, false) != 0) return "";
    return S_ISREG(st.st_mode) ? "" : kindOfEntry(st.st_mode);
}

bool FileManager::giveOwnCopy(const std::string& path, Error* error, uint64_t maxSize) {
    struct stat st;
    if (HomeResolver::place(path).stat(st, false) != 0 || !S_ISREG(st.st_mode) || st.st_nlink < 2) return true;
    if (uint64_t(st.st_size) > maxSize) {
        refuse(error, kFileTooLargeError, path);
        return false;
    }
    // Written beside it and renamed over our name: the other name keeps the
    // file, its inode and its bytes.
    const std::optional<std::string> bytes = readFile(path, error, maxSize);
    if (!bytes || !writeFileAtomically(path, *bytes, error, st.st_mode & 07777)) return false;
    const nlink_t others = st.st_nlink - 1;
    log(path + " had " + (others == 1 ? std::string("a second name") : std::to_string(others) + " other names") +
        " elsewhere; it now has a copy of its own, and the file it shared is left as it was.");
    return true;
}

bool FileManager::createDirectory(const std::string& path, bool intermediates, unsigned mode, Error* error) {
    if (path.empty()) return fail(error, ENOENT, "createDirectory");
    bool isDir = false;
    if (exists(path, &isDir)) {
        if (isDir && intermediates) return true;
        return fail(error, EEXIST, path);
    }
    if (intermediates) {
        std::string parent = deletingLastPathComponent(path);
        if (!parent.empty() && parent != path && !exists(parent))
            if (!createDirectory(parent, true, 0755, error)) return false;
    }
    const Place place = HomeResolver::place(path);
    if (!place) return fail(error, place.error(), path);
    if (::mkdirat(place.folder(), place.name(), mode) != 0) {
        if (errno == EEXIST && intermediates && exists(path, &isDir) && isDir) return true;
        return fail(error, errno, path);
    }
    changeModeAt(place, mode);  // umask must not narrow an explicit mode
    return true;
}

bool FileManager::remove(const std::string& path, Error* error) {
    const Place place = HomeResolver::place(path);
    if (!place) return fail(error, place.error(), path);
    if (const int err = removeAt(place.folder(), place.name())) return fail(error, err, path);
    return true;
}

bool FileManager::move(const std::string& from, const std::string& to, Error* error) {
    if (renameBetween(from, to, 0) != 0) return fail(error, errno, from + " -> " + to);
    return true;
}

bool FileManager::moveWithoutReplacing(const std::string& from, const std::string& to, Error* error) {
    if (renameBetween(from, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return fail(error, errno, from + " -> " + to);
    // A file system without the flag: a new name that cannot replace, then the old one goes.
    const Place a = HomeResolver::place(from), b = HomeResolver::place(to);
    struct stat st;
    if (a.stat(st, false) != 0) return fail(error, errno, from);
    if (!b) return fail(error, b.error(), to);
    if (!S_ISDIR(st.st_mode)) {
        if (::linkat(a.folder(), a.name(), b.folder(), b.name(), 0) != 0)
            return fail(error, errno, from + " -> " + to);
        if (::unlinkat(a.folder(), a.name(), 0) != 0) {
            const int err = errno;
            ::unlinkat(b.folder(), b.name(), 0);
            return fail(error, err, from);
        }
        return true;
    }
    if (present(to)) return fail(error, EEXIST, from + " -> " + to);
    return move(from, to, error);
}

namespace {

// A copy's number as text without leading zeros ("" for zero), so that
// numbers of any length compare: the longer one is larger, else the later in
// order.
std::string plainNumber(const std::string& digits) {
    const size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? "" : digits.substr(first);
}

bool numberBefore(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

std::string nextNumber(std::string n) {
    for (size_t i = n.size(); i-- > 0;) {
        if (n[i] != '9') {
            ++n[i];
            return n;
        }
        n[i] = '0';
    }
    return "1" + n;
}

}  // namespace

std::vector<std::string> FileManager::setAsideCopies(const std::string& path,
                                                     const std::vector<std::string>& companionSuffixes) {
    const std::string prefix = lastPathComponent(path) + kSetAsideMark;
    std::vector<std::pair<std::string, std::string>> found;  // plain number, name
    for (const auto& name : contentsOfDirectory(deletingLastPathComponent(path))) {
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const size_t end = std::min(name.find_first_not_of("0123456789", prefix.size()), name.size());
        const std::string rest = name.substr(end);
        if (end == prefix.size() ||
            (!rest.empty() &&
             std::find(companionSuffixes.begin(), companionSuffixes.end(), rest) == companionSuffixes.end()))
            continue;
        const std::string digits = name.substr(prefix.size(), end - prefix.size());
        const std::string copy = name.substr(0, end);
        if (std::none_of(found.begin(), found.end(), [&](const auto& f) { return f.second == copy; }))
            found.emplace_back(plainNumber(digits), copy);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return numberBefore(a.first, b.first) || (a.first == b.first && a.second < b.second);
    });
    std::vector<std::string> copies;
    const std::string folder = deletingLastPathComponent(path);
    for (const auto& f : found) copies.push_back(folder.empty() ? f.second : joinPath(folder, f.second));
    return copies;
}

std::string FileManager::moveAside(const std::string& path, const std::vector<std::string>& companionSuffixes,
                                   Error* error) {
    std::string number = "1";
    const std::vector<std::string> copies = setAsideCopies(path, companionSuffixes);
    if (!copies.empty()) {
        const size_t mark = lastPathComponent(path).size() + std::strlen(kSetAsideMark);
        number = nextNumber(plainNumber(lastPathComponent(copies.back()).substr(mark)));
    }
    // Another process may take a name between the look and the move: the move
    // itself never replaces, and the next number is tried.
    std::string aside;
    for (int tries = 0;; ++tries, number = nextNumber(number)) {
        aside = path + kSetAsideMark + number;
        bool taken = present(aside);
        for (const auto& suffix : companionSuffixes) taken = taken || present(aside + suffix);
        if (taken) continue;
        Error moveError;
        if (moveWithoutReplacing(path, aside, &moveError)) break;
        if (moveError.code != EEXIST || tries >= 100) {
            if (error) *error = moveError;
            return "";
        }
    }
    for (const auto& suffix : companionSuffixes) {
        Error moveError;
        if (present(path + suffix) && !moveWithoutReplacing(path + suffix, aside + suffix, &moveError))
            log("Cannot move " + path + suffix + " along with " + path + ": " + moveError.localizedDescription());
    }
    return aside;
}

bool FileManager::copy(const std::string& from, const std::string& to, Error* error) {
    std::error_code ec;
    if (exists(to)) return fail(error, EEXIST, to);
    std::filesystem::copy(from, to, std::filesystem::copy_options::recursive, ec);
    if (ec) return fail(error, ec.value(), from + " -> " + to);
    return true;
}

std::vector<std::string> FileManager::contentsOfDirectory(const std::string& path, Error* error) {
    std::vector<std::string> names;
    const int fd = HomeResolver::place(path).open(O_RDONLY | O_DIRECTORY);
    DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!d) {
        fail(error, errno, path);
        if (fd >= 0) ::close(fd);
        return names;
    }
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(std::move(n));
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::optional<FileAttributes> attributesAt(const std::string& path, bool followLink, Error* error) {
    struct stat st;
    const Place place = HomeResolver::place(path);
    if (followLink ? statFollowing(path, st) != 0 : place.stat(st, false) != 0) {
        fail(error, errno, path);
        return std::nullopt;
    }
    FileAttributes a;
    a.size = uint64_t(st.st_size);
    a.modificationDate = double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
    a.creationDate = a.modificationDate;
    struct statx sx;
    const int noFollow = place.inHome() || !followLink ? AT_SYMLINK_NOFOLLOW : 0;
    if (::statx(place.folder(), place.name(), noFollow, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
        a.creationDate = double(sx.stx_btime.tv_sec) + double(sx.stx_btime.tv_nsec) / 1e9;
    a.mode = st.st_mode & 07777;
    a.isDirectory = S_ISDIR(st.st_mode);
    a.type = st.st_mode & S_IFMT;
    return a;
}

}  // namespace

std::optional<FileAttributes> FileManager::attributes(const std::string& path, Error* error) {
    return attributesAt(path, true, error);
}

std::optional<FileAttributes> FileManager::entryAttributes(const std::string& path, Error* error) {
    return attributesAt(path, false, error);
}

std::optional<std::string> FileManager::readFile(const std::string& path, Error* error, uint64_t maxSize,
                                                 FolderIdentity* folder) {
    const Place place = HomeResolver::place(path);
    // A folder on the way that is no folder now (swapped for a link, say)
    // says nothing of the file beneath it: a passing failure, never damage.
    if (!place) return unreachable(error, place.error(), path), std::nullopt;
    if (folder) *folder = identityOf(place);
    const int fd = place.open(O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat st;
    if (fd < 0) {
        const int err = errno;
        // A socket cannot be opened at all (ENXIO): what stands there, not the error, says it is no file.
        if (err == ELOOP || (err != ENOENT && place.stat(st, false) == 0 && !S_ISREG(st.st_mode)))
            return refuse(error, kFileNotRegularError, path);
        fail(error, err, path);
        return std::nullopt;
    }
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        fail(error, err, path);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return refuse(error, kFileNotRegularError, path);
    }
    if (uint64_t(st.st_size) > maxSize) {
        ::close(fd);
        return refuse(error, kFileTooLargeError, path);
    }
    // The size can grow while we read, and kernel files report none: the
    // limit holds on what is read too.
    std::string out;
    out.reserve(size_t(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            fail(error, err, path);
            return std::nullopt;
        }
        if (n == 0) break;
        if (uint64_t(n) > maxSize - out.size()) {
            ::close(fd);
            return refuse(error, kFileTooLargeError, path);
        }
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return out;
}

ReadFailure FileManager::readFailure(const Error& error) {
    if (error.domain == kFileManagerErrorDomain)
        return error.code == kFileTooLargeError ? ReadFailure::kTooLarge : ReadFailure::kNotRegularFile;
    if (error.domain != kPOSIXErrorDomain || error.code == 0) return ReadFailure::kNone;
    // Not a folder on the way (ENOTDIR) is no answer about the file itself.
    if (error.code == ENOENT) return ReadFailure::kMissing;
    return ReadFailure::kIOError;
}

namespace {

std::function<void(const std::string&)>& raceStep() {
    static auto* step = new std::function<void(const std::string&)>;
    return *step;
}

void betweenLookAndAct(const std::string& path) {
    if (const auto& step = raceStep()) step(path);
}

}  // namespace

void FileManager::setStepBetweenLookAndAct(std::function<void(const std::string& path)> step) {
    raceStep() = std::move(step);
}

std::optional<FileManager::Taken> FileManager::takeAway(const std::string& path,
                                                       const std::function<bool(unsigned mode)>& unwanted,
                                                       Error* error) {
    for (int round = 0; round < 8; ++round) {
        struct stat st;
        if (HomeResolver::place(path).stat(st, false) != 0) {
            if (errno == ENOENT) return Taken{};
            return fail(error, errno, path), std::nullopt;
        }
        if (!unwanted(st.st_mode)) return Taken{};
        betweenLookAndAct(path);
        // Moved first and looked at where nobody else acts: what was moved is what is judged.
        Taken taken{0, freshSetAsideName(path)};
        if (Error moveError; !moveWithoutReplacing(path, taken.aside, &moveError)) {
            if (moveError.code == ENOENT || moveError.code == EEXIST) continue;
            if (error) *error = moveError;
            return std::nullopt;
        }
        if (HomeResolver::place(taken.aside).stat(st, false) != 0) return fail(error, errno, taken.aside), std::nullopt;
        taken.mode = st.st_mode;
        if (unwanted(taken.mode)) return taken;
        // Something wanted stood there by then: back where it stood. Should
        // another entry have taken the name meanwhile, the two trade places
        // and the newcomer is judged in turn.
        betweenLookAndAct(path);
        if (renameBetween(taken.aside, path, RENAME_NOREPLACE) == 0) continue;
        if (errno != EEXIST || renameBetween(taken.aside, path, RENAME_EXCHANGE) != 0)
            return fail(error, errno, taken.aside + " -> " + path), std::nullopt;
        if (HomeResolver::place(taken.aside).stat(st, false) != 0) return fail(error, errno, taken.aside), std::nullopt;
        taken.mode = st.st_mode;
        if (unwanted(taken.mode)) return taken;
        return fail(error, EBUSY, path), std::nullopt;  // two wanted entries at once: neither is touched further
    }
    return fail(error, EBUSY, path), std::nullopt;  // swapped on every look
}

std::string FileManager::freshSetAsideName(const std::string& path) {
    std::string number = "1";
    if (const std::vector<std::string> copies = setAsideCopies(path); !copies.empty())
        number = nextNumber(plainNumber(
            lastPathComponent(copies.back()).substr(lastPathComponent(path).size() + std::strlen(kSetAsideMark))));
    while (present(path + kSetAsideMark + number)) number = nextNumber(number);
    return path + kSetAsideMark + number;
}

bool FileManager::makeRealDirectory(const std::string& path, unsigned mode, Error* error, Found found) {
    struct stat st;
    if (HomeResolver::place(path).stat(st, false) == 0 && !S_ISDIR(st.st_mode) && found == Found::kKeep) {
        if (error)
            *error = Error::withDescription(kPOSIXErrorDomain, ENOTDIR,
                                            path + " is " + kindOfEntry(st.st_mode) +
                                                ", not a folder, and is left as it is");
        return false;
    }
    if (found == Found::kMend) {
        const auto taken = takeAway(path, [](unsigned m) { return !S_ISDIR(m); }, error);
        if (!taken) return false;
        if (taken->mode)
            log("A " + std::string(S_ISLNK(taken->mode) ? "link" : "file") + " stood where the folder " + path +
                " belongs; it was set aside as " + taken->aside + ".");
    }
    const std::string parent = deletingLastPathComponent(path);
    if (!parent.empty() && !exists(parent) && !createDirectory(parent, true, 0755, error)) return false;
    const Place place = HomeResolver::place(path);
    if (!place) return fail(error, place.error(), path);
    bool made = ::mkdirat(place.folder(), place.name(), mode) == 0;
    if (!made && errno != EEXIST) return fail(error, errno, path);
    // Made by another at the same moment: still no link is taken for the folder.
    if (place.stat(st, false) != 0) return fail(error, errno, path);
    if (!S_ISDIR(st.st_mode)) return fail(error, ENOTDIR, path);
    // The umask narrows what mkdir makes; a folder found is narrowed only when it is ours.
    made = made || found == Found::kMend;
    if (made && (st.st_mode & 07777) != mode && changeModeAt(place, mode) != 0) {
        const int err = errno;
        if (error) {
            char modes[48];
            std::snprintf(modes, sizeof modes, "%04o, and cannot be given %04o", st.st_mode & 07777, mode);
            *error = Error::withDescription(kPOSIXErrorDomain, err,
                                            path + " has mode " + modes + " (" + std::strerror(err) + ")");
        }
        return false;
    }
    return true;
}

void FileManager::removeLeftoverTemporaries(const std::string& folder, const std::string& name) {
    constexpr std::string_view kMark = kTemporaryMark;
    constexpr size_t kUnique = 6;  // mkstemp's XXXXXX
    for (const std::string& entry : contentsOfDirectory(folder)) {
        const size_t mark = entry.size() - kUnique - kMark.size();
        if (entry.size() <= kUnique + kMark.size() || entry.compare(mark, kMark.size(), kMark) != 0) continue;
        if (!name.empty() && entry.compare(0, mark, name) != 0) continue;
        struct stat st;
        const std::string leftover = joinPath(folder, entry);
        if (HomeResolver::place(leftover).stat(st, false) == 0 && S_ISREG(st.st_mode)) remove(leftover);
    }
}

bool FileManager::writeFileAtomically(const std::string& path, const void* bytes, size_t size, Error* error,
                                      unsigned mode, const FolderIdentity* folder) {
    // The temporary and the file are named in one folder, opened once: a
    // folder swapped meanwhile cannot take either elsewhere.
    const Place place = HomeResolver::place(path);
    if (!place) return unreachable(error, place.error(), path);
    if (folder && folder->known() && identityOf(place) != *folder) {
        if (error)
            *error = Error::withDescription(kPOSIXErrorDomain, ESTALE,
                                            path + ": its folder is another than the one it was read from");
        return false;
    }
    std::string tmpl = place.name() + std::string(kTemporaryMark) + "XXXXXX";
    int fd = makeUniqueAt(place, tmpl, 0600);
    if (fd < 0) return fail(error, errno, path);
    int err = 0;
    if (!writeAll(fd, static_cast<const char*>(bytes), size)) err = errno ? errno : EIO;
    if (!err && ::fchmod(fd, mode) != 0) err = errno;
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::renameat(place.folder(), tmpl.c_str(), place.folder(), place.name()) != 0) err = errno;
    if (err) {
        ::unlinkat(place.folder(), tmpl.c_str(), 0);
        return fail(error, err, path);
    }
    // The rename itself must reach the disk too.
    int dfd = place.openFolder(O_RDONLY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool FileManager::preparePrivateFile(const std::string& path, Error* error) {
    if (path.empty() || path[0] == ':') return true;
    // Never through a link, never waiting on a FIFO: the caller has looked at what is there.
    const int fd = HomeResolver::place(path).open(O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) return fail(error, errno, path);
    const int err = ::fchmod(fd, 0600) == 0 ? 0 : errno;
    ::close(fd);
    return err == 0 || fail(error, err, path);
}

int FileManager::openFile(const std::string& path, int flags, unsigned mode, Error* error) {
    const int fd = HomeResolver::place(path).open(flags, mode);
    if (fd < 0) fail(error, errno, path);
    return fd;
}

int FileManager::makeUniqueFile(std::string& pathTemplate, unsigned mode, Error* error) {
    const Place place = HomeResolver::place(pathTemplate);
    if (!place) return fail(error, place.error(), pathTemplate), -1;
    std::string name = place.name();
    const int fd = makeUniqueAt(place, name, mode);
    if (fd < 0) return fail(error, errno, pathTemplate), -1;
    pathTemplate.replace(pathTemplate.size() - name.size(), name.size(), name);
    return fd;
}

bool FileManager::changeMode(const std::string& path, unsigned mode, Error* error) {
    return changeModeAt(HomeResolver::place(path), mode) == 0 || fail(error, errno, path);
}

std::string FileManager::joinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    if (a.back() == '/') return b.front() == '/' ? a + b.substr(1) : a + b;
    return b.front() == '/' ? a + b : a + "/" + b;
}

std::string FileManager::lastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    auto slash = p.rfind('/');
    if (slash == std::string::npos || p == "/") return p;
    return p.substr(slash + 1);
}

std::string FileManager::deletingLastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    auto slash = p.rfind('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

std::string FileManager::pathExtension(const std::string& path) {
    std::string last = lastPathComponent(path);
    auto dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0) return "";
    return last.substr(dot + 1);
}

std::string FileManager::deletingPathExtension(const std::string& path) {
    std::string ext = pathExtension(path);
    if (ext.empty()) return path;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p.substr(0, p.size() - ext.size() - 1);
}

}  // namespace platform::foundation
