#include "platform/foundation/HomeResolver.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace platform::foundation {

namespace {

// Never destroyed: threads may still reach the home while the process exits.
std::mutex& gMutex = *new std::mutex;
std::shared_ptr<const HomeResolver::Home>& gHeld = *new std::shared_ptr<const HomeResolver::Home>;
std::map<uint64_t, std::weak_ptr<const HomeResolver::Home>>& gNumbered =
    *new std::map<uint64_t, std::weak_ptr<const HomeResolver::Home>>;
uint64_t gLastNumber = 0;

// Whether openat2 answered ENOSYS (or a filter's EPERM) once: then never asked again.
std::atomic<bool> gNoOpenat2{false};

// The names of `relative`, "" and "." left out; false when one is "..".
bool namesOf(std::string_view relative, std::vector<std::string_view>& names) {
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string_view::npos) end = relative.size();
        const std::string_view name = relative.substr(start, end - start);
        if (name == "..") return false;
        if (!name.empty() && name != ".") names.push_back(name);
        start = end + 1;
    }
    return true;
}

// An O_PATH open gives a descriptor of a link itself: refused as following it would be.
int refuseLink(int fd, int flags) {
    if (fd < 0 || !(flags & O_PATH)) return fd;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode)) {
        ::close(fd);
        errno = ELOOP;
        return -1;
    }
    return fd;
}

}  // namespace

HomeResolver::Home::~Home() {
    if (fd >= 0) ::close(fd);
}

bool HomeResolver::hold(const std::string& path, Error* error) {
    const int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = posixError(errno, path);
        return false;
    }
    auto home = std::make_shared<Home>();
    home->fd = fd;
    home->path = path;
    std::lock_guard lock(gMutex);
    home->number = ++gLastNumber;
    for (auto it = gNumbered.begin(); it != gNumbered.end();) it = it->second.expired() ? gNumbered.erase(it) : ++it;
    gNumbered[home->number] = home;
    gHeld = std::move(home);
    return true;
}

void HomeResolver::release() {
    std::lock_guard lock(gMutex);
    gHeld.reset();
}

std::shared_ptr<const HomeResolver::Home> HomeResolver::held() {
    std::lock_guard lock(gMutex);
    return gHeld;
}

std::shared_ptr<const HomeResolver::Home> HomeResolver::heldNumbered(uint64_t number) {
    std::lock_guard lock(gMutex);
    const auto it = gNumbered.find(number);
    return it == gNumbered.end() ? nullptr : it->second.lock();
}

int HomeResolver::openStepwise(int root, std::string_view relative, int flags, unsigned mode) {
    std::vector<std::string_view> names;
    if (!namesOf(relative, names)) {
        errno = EXDEV;
        return -1;
    }
    if (names.empty()) return refuseLink(::openat(root, ".", flags | O_CLOEXEC, mode), flags);
    int folder = root;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        const int next =
            ::openat(folder, std::string(names[i]).c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int err = errno;
        if (folder != root) ::close(folder);
        if (next < 0) {
            errno = err;
            return -1;
        }
        folder = next;
    }
    const int fd = ::openat(folder, std::string(names.back()).c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    const int err = errno;
    if (folder != root) ::close(folder);
    errno = err;
    return refuseLink(fd, flags);
}

int HomeResolver::openBeneath(int root, std::string_view relative, int flags, unsigned mode) {
    std::vector<std::string_view> names;
    if (!namesOf(relative, names)) {
        errno = EXDEV;
        return -1;
    }
    if (!gNoOpenat2.load(std::memory_order_relaxed)) {
        std::string joined = ".";
        for (const auto& name : names) (joined += '/') += name;
        open_how how{};
        how.flags = uint64_t(flags | O_CLOEXEC);
        how.mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = -1;
        // EAGAIN: a rename elsewhere raced the lookup; asked again a few times, then one name at a time.
        for (int tries = 0; tries < 16; ++tries) {
            fd = ::syscall(SYS_openat2, root, joined.c_str(), &how, sizeof how);
            if (fd >= 0 || errno != EAGAIN) break;
        }
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != EAGAIN)) return refuseLink(int(fd), flags);
        if (errno != EAGAIN) gNoOpenat2.store(true, std::memory_order_relaxed);
    }
    return openStepwise(root, relative, flags, mode);
}

bool HomeResolver::relativeInHome(const Home& home, const std::string& path, std::string& relative) {
    const std::string& top = home.path;
    if (path.compare(0, top.size(), top) != 0) return false;
    if (path.size() == top.size()) {
        relative.clear();
        return true;
    }
    // "/" as the home holds every path; otherwise a name must start here.
    if (top != "/" && path[top.size()] != '/') return false;
    relative = path.substr(top.size());
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
    return true;
}

HomeResolver::Place HomeResolver::placeIn(std::shared_ptr<const Home> home, std::string relative) {
    Place place;
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    const std::string_view whole = relative;
    const size_t slash = whole.rfind('/');
    const std::string_view folder = slash == std::string_view::npos ? std::string_view() : whole.substr(0, slash);
    const std::string_view name = slash == std::string_view::npos ? whole : whole.substr(slash + 1);
    place.name_.assign(name.empty() ? std::string_view(".") : name);
    if (place.name_ == "..") {
        place.error_ = EXDEV;
    } else if (folder.empty()) {
        place.folder_ = home->fd;
    } else {
        place.folder_ = openBeneath(home->fd, folder, O_PATH | O_DIRECTORY);
        place.ownsFolder_ = place.folder_ >= 0;
        if (place.folder_ < 0) place.error_ = errno;
    }
    place.home_ = std::move(home);
    return place;
}

HomeResolver::Place HomeResolver::place(const std::string& path) {
    std::string relative;
    std::shared_ptr<const Home> home = held();
    // The home itself is named by its path, as the folders above it are.
    if (home && relativeInHome(*home, path, relative) && !relative.empty())
        return placeIn(std::move(home), std::move(relative));
    // Elsewhere: the path as it is, links and all.
    Place place;
    place.folder_ = AT_FDCWD;
    place.name_ = path;
    if (path.empty()) place.error_ = ENOENT;
    return place;
}

HomeResolver::Place::Place(Place&& other) noexcept
    : home_(std::move(other.home_)), folder_(std::exchange(other.folder_, -1)),
      ownsFolder_(std::exchange(other.ownsFolder_, false)), name_(std::move(other.name_)), error_(other.error_) {}

HomeResolver::Place& HomeResolver::Place::operator=(Place&& other) noexcept {
    if (this != &other) {
        if (ownsFolder_) ::close(folder_);
        home_ = std::move(other.home_);
        folder_ = std::exchange(other.folder_, -1);
        ownsFolder_ = std::exchange(other.ownsFolder_, false);
        name_ = std::move(other.name_);
        error_ = other.error_;
    }
    return *this;
}

HomeResolver::Place::~Place() {
    if (ownsFolder_) ::close(folder_);
}

int HomeResolver::Place::open(int flags, unsigned mode) const {
    if (error_) {
        errno = error_;
        return -1;
    }
    if (!home_) return ::openat(folder_, name_.c_str(), flags | O_CLOEXEC, mode);
    return refuseLink(::openat(folder_, name_.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode), flags);
}

int HomeResolver::Place::openFolder(int flags) const {
    if (error_) {
        errno = error_;
        return -1;
    }
    if (home_) return ::openat(folder_, ".", flags | O_DIRECTORY | O_CLOEXEC);
    std::string folder = name_;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    return ::open(folder.c_str(), flags | O_DIRECTORY | O_CLOEXEC);
}

int HomeResolver::Place::stat(struct stat& st, bool followLink) const {
    if (error_) {
        errno = error_;
        return -1;
    }
    const bool follow = followLink && !home_;
    return ::fstatat(folder_, name_.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW);
}

}  // namespace platform::foundation
