#pragma once
// The sandbox's home held by its own descriptor, and the one way to reach
// what lies inside it: from that descriptor, one name at a time, following no
// link (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS where the kernel
// has it, openat with O_NOFOLLOW per name elsewhere). A folder of the home
// swapped for a link while the application runs then takes nothing outside,
// and the length of the path above the home does not matter. The folders
// above the home are the user's: the home is opened through them as any path
// is, links included.
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace platform::foundation {

class HomeResolver {
public:
    // A home held open: its descriptor (O_PATH), the path callers name it by,
    // and a number no other home of the process gets.
    struct Home {
        int fd = -1;
        std::string path;
        uint64_t number = 0;
        ~Home();
    };

    // Holds the folder at `path` as the home (its descriptor taken now, links
    // above it followed); the home held before is let go once nothing uses it.
    static bool hold(const std::string& path, Error* error = nullptr);
    // Holds none: every path is taken as it is again.
    static void release();
    static std::shared_ptr<const Home> held();
    // A home held before and still in use (a store opened in it), by number.
    static std::shared_ptr<const Home> heldNumbered(uint64_t number);

    // Opens `relative` (names joined by "/"; "" or "." is the folder itself)
    // beneath the folder `root`, following no link on the way nor at the end;
    // ".." is refused (EXDEV). -1 with errno as open sets it.
    static int openBeneath(int root, std::string_view relative, int flags, unsigned mode = 0);
    // The same with openat, one name at a time: what openBeneath does on a
    // kernel without openat2.
    static int openStepwise(int root, std::string_view relative, int flags, unsigned mode = 0);

    // Where a path lies, for the *at() calls: inside the held home, the
    // folder that holds its last name, reached from the home's descriptor
    // with no link followed, and that name; elsewhere (the home itself too),
    // AT_FDCWD and the path as it is.
    class Place {
    public:
        Place() = default;
        Place(Place&& other) noexcept;
        Place& operator=(Place&& other) noexcept;
        Place(const Place&) = delete;
        Place& operator=(const Place&) = delete;
        ~Place();

        // 0 when the folder was reached, else why not (an errno).
        int error() const { return error_; }
        explicit operator bool() const { return error_ == 0; }
        int folder() const { return folder_; }
        const char* name() const { return name_.c_str(); }
        // Whether the path lies in the held home, where no link is followed.
        bool inHome() const { return home_ != nullptr; }

        // openat; inside the home with O_NOFOLLOW always, and an O_PATH open
        // of a link refused too (ELOOP). -1 with errno.
        int open(int flags, unsigned mode = 0) const;
        // The folder that holds the name, opened with `flags` (O_DIRECTORY).
        int openFolder(int flags) const;
        // fstatat; inside the home a link is never followed.
        int stat(struct stat& st, bool followLink = true) const;

    private:
        friend class HomeResolver;
        std::shared_ptr<const Home> home_;
        int folder_ = -1;
        bool ownsFolder_ = false;
        std::string name_;
        int error_ = 0;
    };
    static Place place(const std::string& path);
    // The place of `relative` inside `home` ("" or "." for the home itself).
    static Place placeIn(std::shared_ptr<const Home> home, std::string relative);
    // The path of `path` inside `home`, relative to it ("" for the home
    // itself); false when it lies elsewhere.
    static bool relativeInHome(const Home& home, const std::string& path, std::string& relative);
};

}  // namespace platform::foundation
