#include "platform/store/SqliteHome.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform::store {

using platform::foundation::HomeResolver;

namespace {

constexpr const char kPrefix[] = "/.quenmira-home-";

// SQLite's own calls, for every other name.
struct Originals {
    int (*open)(const char*, int, int);
    int (*access)(const char*, int);
    int (*stat)(const char*, struct stat*);
    int (*lstat)(const char*, struct stat*);
    int (*unlink)(const char*);
    int (*mkdir)(const char*, mode_t);
    int (*rmdir)(const char*);
    ssize_t (*readlink)(const char*, char*, size_t);
    ssize_t (*read)(int, void*, size_t);
    ssize_t (*pread)(int, void*, size_t, off_t);
    ssize_t (*pread64)(int, void*, size_t, off_t);
} gOriginal;

// SQLite reads a connection's files on the thread that uses it.
thread_local uint64_t tFailedReads = 0;
thread_local int tLastReadError = 0;

ssize_t noted(ssize_t got) {
    if (got < 0 && errno != EINTR) {
        ++tFailedReads;
        tLastReadError = errno;
    }
    return got;
}

ssize_t watchedRead(int fd, void* buffer, size_t size) { return noted(gOriginal.read(fd, buffer, size)); }

ssize_t watchedPread(int fd, void* buffer, size_t size, off_t offset) {
    return noted(gOriginal.pread(fd, buffer, size, offset));
}

ssize_t watchedPread64(int fd, void* buffer, size_t size, off_t offset) {
    return noted(gOriginal.pread64(fd, buffer, size, offset));
}

// The place a short name stands for; false when `name` is none (a path as
// any other). A home no longer held is gone for SQLite (ENOENT).
bool placeOf(const char* name, HomeResolver::Place& place) {
    if (std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) return false;
    char* end = nullptr;
    const unsigned long long number = std::strtoull(name + sizeof kPrefix - 1, &end, 10);
    if (end == name + sizeof kPrefix - 1 || (*end != '\0' && *end != '/')) return false;
    std::shared_ptr<const HomeResolver::Home> home = HomeResolver::heldNumbered(number);
    if (!home) {
        place = HomeResolver::Place();
        errno = ENOENT;
        return true;
    }
    place = HomeResolver::placeIn(std::move(home), end);
    return true;
}

// -1 with the place's errno when its folder could not be reached.
bool unreachable(const HomeResolver::Place& place) {
    if (place && place.folder() >= 0) return false;
    errno = place.error() ? place.error() : ENOENT;
    return true;
}

int homeOpen(const char* name, int flags, int mode) {
    HomeResolver::Place place;
    if (!placeOf(name, place)) return gOriginal.open(name, flags, mode);
    return unreachable(place) ? -1 : place.open(flags, unsigned(mode));
}

int homeAccess(const char* name, int mode) {
    HomeResolver::Place place;
    if (!placeOf(name, place)) return gOriginal.access(name, mode);
    return unreachable(place) ? -1 : ::faccessat(place.folder(), place.name(), mode, AT_SYMLINK_NOFOLLOW);
}

int homeStat(const char* name, struct stat* st) {
    HomeResolver::Place place;
    if (!placeOf(name, place)) return gOriginal.stat(name, st);
    return unreachable(place) ? -1 : place.stat(*st, false);
}

int homeLstat(const char* name, struct stat* st) {
    HomeResolver::Place place;
    if (!placeOf(name, place)) return gOriginal.lstat(name, st);
    return unreachable(place) ? -1 : place.stat(*st, false);
}

int homeUnlink(const char* name) {
    HomeResolver::Place place;
    if (!placeOf(name, place)) return gOriginal.unlink(name);
    return unreachable(place) ? -1 : ::unlinkat(place.folder(), place.name(), 0);
}

int homeMkdir(const char* name, mode_t mode) {
    HomeResolver::Place place;
    if (!placeOf(name, place)) return gOriginal.mkdir(name, mode);
    return unreachable(place) ? -1 : ::mkdirat(place.folder(), place.name(), mode);
}

int homeRmdir(const char* name) {
    HomeResolver::Place place;
    if (!placeOf(name, place)) return gOriginal.rmdir(name);
    return unreachable(place) ? -1 : ::unlinkat(place.folder(), place.name(), AT_REMOVEDIR);
}

ssize_t homeReadlink(const char* name, char* buffer, size_t size) {
    HomeResolver::Place place;
    if (!placeOf(name, place)) return gOriginal.readlink(name, buffer, size);
    return unreachable(place) ? -1 : ::readlinkat(place.folder(), place.name(), buffer, size);
}

template <typename F>
void replace(sqlite3_vfs* vfs, const char* call, F& original, F replacement) {
    original = reinterpret_cast<F>(vfs->xGetSystemCall(vfs, call));
    if (original) vfs->xSetSystemCall(vfs, call, reinterpret_cast<sqlite3_syscall_ptr>(replacement));
}

// Before the first connection: SQLite's calls are replaced for the whole
// process, and no other thread may be inside them while that happens.
bool install() {
    sqlite3_vfs* vfs = sqlite3_vfs_find("unix");
    if (!vfs || vfs->iVersion < 3 || !vfs->xSetSystemCall) return false;
    Originals& original = gOriginal;
    replace(vfs, "open", original.open, homeOpen);
    replace(vfs, "access", original.access, homeAccess);
    replace(vfs, "stat", original.stat, homeStat);
    replace(vfs, "lstat", original.lstat, homeLstat);
    replace(vfs, "unlink", original.unlink, homeUnlink);
    replace(vfs, "mkdir", original.mkdir, homeMkdir);
    replace(vfs, "rmdir", original.rmdir, homeRmdir);
    replace(vfs, "readlink", original.readlink, homeReadlink);
    replace(vfs, "read", original.read, watchedRead);
    replace(vfs, "pread", original.pread, watchedPread);
    replace(vfs, "pread64", original.pread64, watchedPread64);
    return original.open && original.stat && original.lstat && original.unlink && original.access;
}

}  // namespace

uint64_t SqliteHome::failedReads() { return tFailedReads; }

int SqliteHome::lastReadError() { return tLastReadError; }

std::string SqliteHome::nameFor(const std::string& path, std::shared_ptr<const HomeResolver::Home>& home) {
    static const bool installed = install();
    home.reset();
    std::shared_ptr<const HomeResolver::Home> held = HomeResolver::held();
    std::string relative;
    if (!installed || !held || path.empty() || path[0] == ':' || !HomeResolver::relativeInHome(*held, path, relative) ||
        relative.empty())
        return path;
    home = std::move(held);
    return kPrefix + std::to_string(home->number) + "/" + relative;
}

}  // namespace platform::store
