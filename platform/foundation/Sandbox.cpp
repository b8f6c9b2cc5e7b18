#include "platform/foundation/Sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/HomeResolver.h"
#include "platform/foundation/Log.h"

namespace platform::foundation {

namespace {

// Never destroyed: threads such as the analytics thread may still ask for
// folders while the process exits and static objects go away.
std::mutex& gMutex = *new std::mutex;
std::string& gHome = *new std::string;
std::string& gChosen = *new std::string;
// The claimed home's lock, held open (and so locked) until another home is claimed.
int gLockFd = -1;
std::string& gLockedHome = *new std::string;

bool failWith(Error* error, int code, const std::string& path) {
    if (error) *error = posixError(code, path);
    return false;
}

// Makes a file in `folder`, writes `bytes` to the disk there, and removes it.
bool writesIn(const std::string& folder, size_t bytes, Error* error) {
    std::string probe = folder + "/.write-test-XXXXXX";
    const int fd = FileManager::makeUniqueFile(probe);
    if (fd < 0) return failWith(error, errno, folder);
    static const char page[4096] = {};
    int err = 0;
    for (size_t left = bytes; left > 0 && !err;) {
        const ssize_t n = ::write(fd, page, std::min(left, sizeof page));
        if (n > 0)
            left -= size_t(n);
        else if (!(n < 0 && errno == EINTR))
            err = n < 0 ? errno : ENOSPC;
    }
    if (!err && bytes > 0 && ::fsync(fd) != 0) err = errno;
    ::close(fd);
    FileManager::remove(probe);
    return err == 0 || failWith(error, err, folder);
}

// Whether the system can keep its files in `folder`: list it, and make and
// remove a file there. A folder the user keeps may have a mode (or an owner,
// or a read-only mount) that lets none of that happen; it keeps it, and the
// home cannot serve.
bool canServe(const std::string& folder, Error* error) {
    Error listError;
    FileManager::contentsOfDirectory(folder, &listError);
    if (listError.code != 0) return failWith(error, int(listError.code), folder);
    return writesIn(folder, 0, error);
}

// Folders can exist on a read-only file system, and empty files on a full
// one: only written bytes tell. A launch writes a few hundred KiB (the stores
// with their logs and indexes): with less room than this the disk is full for
// it, said once now rather than by every file that fails later.
bool hasRoomForALaunch(const std::string& home, Error* error) {
    const std::string folder = home + "/Library/Preferences";
    if (!writesIn(folder, 4096, error)) return false;
    constexpr uint64_t kRoomForALaunch = 1 << 20;
    struct statvfs disk;
    if (::statvfs(home.c_str(), &disk) == 0 && uint64_t(disk.f_bavail) * disk.f_frsize < kRoomForALaunch)
        return failWith(error, ENOSPC, folder);
    return true;
}

// The home by its real path, once it exists. The folders above it are the
// user's, and a link among them is theirs to make (a linked /home or
// ~/.local/share); the stores, which open nothing through a link, are then
// given a path with none in it. What lies inside the home is still never
// followed.
std::string realHome(const std::string& home) {
    char* real = ::realpath(home.c_str(), nullptr);
    if (!real) return home;
    std::string path = real;
    std::free(real);
    return path;
}

// The home is made owner-only when we make it, and then held (HomeResolver):
// its folders are made and reached from it by its real path, answered in
// `home`. In a folder the user named
// (`userNamed`), what stands at the top is theirs: a folder there keeps its
// mode (a shared tmp/ its sticky bit), and anything else refuses the home
// rather than being moved. The folders inside Library are the system's own,
// and so is every folder of the default home: always real folders, and narrowed.
bool createFolders(const std::string& given, bool userNamed, std::string& home, Error* error) {
    home = given;
    // The new home's path is the user's, links and all, even where it runs through the home held before.
    HomeResolver::release();
    bool isDir = false;
    if (!FileManager::exists(home, &isDir)) {
        if (!FileManager::createDirectory(home, true, Sandbox::kFolderMode, error)) return false;
    } else if (!isDir) {
        return failWith(error, ENOTDIR, home);
    }
    home = realHome(home);
    if (!HomeResolver::hold(home, error)) return false;
    using Found = FileManager::Found;
    const Found top = userNamed ? Found::kKeep : Found::kMend;
    for (const auto& [sub, found] : {std::pair{"/Documents", top},
                                     {"/Library", top},
                                     {"/Library/Caches", Found::kMend},
                                     {"/Library/Preferences", Found::kMend},
                                     {"/Library/Keychains", Found::kMend},
                                     {"/tmp", top}}) {
        // A link here would take the user's data out of the sandbox.
        if (!FileManager::makeRealDirectory(home + sub, Sandbox::kFolderMode, error, found)) return false;
        // Checked before the folders inside it are made, so that the line names the one that fails.
        if (!canServe(home + sub, error)) return false;
    }
    return hasRoomForALaunch(home, error);
}

// Anything but a regular file at the lock (a link, a FIFO, a folder) is set
// aside, as the entry that was looked at.
bool setAsideForeignLock(const std::string& path, Error* error) {
    const auto taken = FileManager::takeAway(path, [](unsigned mode) { return !S_ISREG(mode); }, error);
    if (!taken) return false;
    if (taken->mode)
        log("Something other than a file of its own (" + FileManager::kindOfEntry(taken->mode) + ") stood at " + path +
            "; it was set aside as " + taken->aside + ".");
    return true;
}

// The lock held in `fd` with a second name elsewhere (which would take the
// process id outside the sandbox) is replaced by a copy of its own, locked
// before it takes the name: no other process finds the name unlocked
// meanwhile. The copy's descriptor, or -1 (errno) with `fd` left as it is.
int lockedCopyOf(const std::string& path, int fd, nlink_t links) {
    std::string name = path + ".tmp-XXXXXX";
    const int copy = FileManager::makeUniqueFile(name, Sandbox::kPrivateFileMode);
    if (copy < 0) return -1;
    Error moveError;
    if (::flock(copy, LOCK_EX | LOCK_NB) != 0 || !FileManager::move(name, path, &moveError)) {
        const int err = moveError.code ? int(moveError.code) : errno;
        ::close(copy);
        FileManager::remove(name);
        errno = err;
        return -1;
    }
    ::close(fd);
    const nlink_t others = links - 1;
    log(path + " had " + (others == 1 ? std::string("a second name") : std::to_string(others) + " other names") +
        " elsewhere; it now has a copy of its own, and the file it shared is left as it was.");
    return copy;
}

// "0600": permission bits as the user sets them.
std::string modeText(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}


// The user's home folder: HOME, or without it the password database's, as
// the platform's own libraries find it. A relative HOME would name another
// folder from every working folder, and counts as none.
std::string userHome() {
    if (const char* h = getenv("HOME"); h && h[0] == '/') return h;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? size_t(size) : 16384, '\0');
    struct passwd entry {};
    struct passwd* found = nullptr;
    while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (!found || !found->pw_dir || found->pw_dir[0] != '/') return "";
    return found->pw_dir;
}

}  // namespace

std::string Sandbox::defaultHome() {
    // A relative XDG_DATA_HOME is ignored, as the base-directory rules say.
    if (const char* x = getenv("XDG_DATA_HOME"); x && x[0] == '/') return std::string(x) + "/quenmira";
    const std::string h = userHome();
    return h.empty() ? "" : h + "/.local/share/quenmira";
}

std::string Sandbox::home() {
    std::lock_guard lock(gMutex);
    if (gHome.empty()) {
        gHome = defaultHome();
        // A failure shows at the first write; prepare() reports it.
        if (std::string real; !gHome.empty() && createFolders(gHome, false, real, nullptr)) gHome = real;
    }
    return gHome;
}

bool Sandbox::setHome(const std::string& path, Error* error) {
    std::string home = path;
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    {
        std::lock_guard lock(gMutex);
        gHome = gChosen = home;
    }
    return home.empty() || prepare(error);
}

std::string Sandbox::chosenHome() {
    std::lock_guard lock(gMutex);
    return gChosen;
}

bool Sandbox::prepare(Error* error) {
    std::lock_guard lock(gMutex);
    // Not through home(), which would make the folders once already.
    if (gHome.empty()) gHome = defaultHome();
    if (gHome.empty()) {
        if (error)
            *error = Error::withDescription(kPOSIXErrorDomain, ENOENT,
                                            "there is no home folder to keep it in: HOME is not set (or not an "
                                            "absolute path) and the password database names none");
        return false;
    }
    std::string real;
    if (!createFolders(gHome, !gChosen.empty(), real, error)) return false;
    gHome = real;
    return true;
}

bool Sandbox::claim(Error* error) {
    const std::string h = home();
    std::lock_guard lock(gMutex);
    if (gLockFd >= 0 && gLockedHome == h) return true;
    const std::string path = h + "/Library/" + kLockFileName;
    // The lock is tried on the file that stands there, whatever other names
    // it has: a running application holds that one. A file that changed
    // under the try (swapped, given another name) is tried again.
    constexpr int kTries = 8;
    int fd = -1;
    for (int tries = 0; fd < 0; ++tries) {
        if (tries == kTries) {
            if (error)
                *error = Error::withDescription(kPOSIXErrorDomain, EBUSY,
                                                path + " was replaced or given another name on each of " +
                                                    std::to_string(kTries) + " tries to lock it");
            return false;
        }
        if (!setAsideForeignLock(path, error)) return false;
        struct stat st {};
        constexpr int kFlags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
        const HomeResolver::Place place = HomeResolver::place(path);
        fd = place.open(kFlags, kPrivateFileMode);
        // Our own lock file that we may not open had its mode taken away: given
        // back, rather than set aside, so that a process still holding the file
        // keeps the sandbox.
        if (fd < 0 && errno == EACCES && place.stat(st, false) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid() &&
            ::fchmodat(place.folder(), place.name(), kPrivateFileMode, AT_SYMLINK_NOFOLLOW) == 0) {
            log("The lock file " + path + " could not be opened (mode " + modeText(st.st_mode) +
                "); its mode was set back to " + modeText(kPrivateFileMode) + ".");
            fd = place.open(kFlags, kPrivateFileMode);
        }
        if (fd < 0) {
            if (errno == ELOOP || errno == EISDIR || errno == ENXIO) continue;  // something else took the name
            return failWith(error, errno, path);
        }
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            fd = -1;
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            char holder[32] = {};
            const ssize_t n = ::pread(fd, holder, sizeof holder - 1, 0);
            ::close(fd);
            if (err != EWOULDBLOCK) return failWith(error, err, path);
            const long pid = n > 0 ? std::strtol(holder, nullptr, 10) : 0;
            if (error)
                *error = Error::withDescription(kPOSIXErrorDomain, EWOULDBLOCK,
                                                "the sandbox " + h + " is in use by another running application" +
                                                    (pid > 0 ? " (process " + std::to_string(pid) + ")" : std::string()) +
                                                    "; one application runs on a sandbox at a time");
            return false;
        }
        // Locked: the name must still be this file's (a lock on a file
        // replaced meanwhile keeps no one out), with no name elsewhere.
        struct stat named {};
        if (::fstat(fd, &st) != 0 || place.stat(named, false) != 0 || named.st_dev != st.st_dev ||
            named.st_ino != st.st_ino) {
            ::close(fd);
            fd = -1;
            continue;
        }
        if (st.st_nlink > 1) {
            const int copy = lockedCopyOf(path, fd, st.st_nlink);
            if (copy < 0) {
                const int err = errno;
                ::close(fd);
                return failWith(error, err, path);
            }
            fd = copy;
        }
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
        const int err = errno ? errno : ENOSPC;
        ::close(fd);
        return failWith(error, err, path);
    }
    if (gLockFd >= 0) ::close(gLockFd);
    gLockFd = fd;
    gLockedHome = h;
    return true;
}

std::string Sandbox::documents() { return home() + "/Documents"; }
std::string Sandbox::library() { return home() + "/Library"; }
std::string Sandbox::caches() { return home() + "/Library/Caches"; }
std::string Sandbox::preferences() { return home() + "/Library/Preferences"; }
std::string Sandbox::keychains() { return home() + "/Library/Keychains"; }
std::string Sandbox::tmp() { return home() + "/tmp"; }

}  // namespace platform::foundation
