#pragma once
// File operations with the platform's error reporting (POSIX domain errors).
// A path inside the sandbox's home is reached through HomeResolver: from the
// home's descriptor, one name at a time, and no link inside the home is ever
// followed (a link there is not what a caller looks for: ELOOP).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform::foundation {

struct FileAttributes {
    uint64_t size = 0;
    double modificationDate = 0;  // seconds since 1970
    double creationDate = 0;
    unsigned mode = 0;
    bool isDirectory = false;
    unsigned type = 0;  // st_mode's S_IFMT bits: what stands there (kindOfEntry names it)
};

// The folder a file was read from, by device and inode (0 when unknown).
struct FolderIdentity {
    uint64_t device = 0, inode = 0;
    bool known() const { return inode != 0; }
    bool operator==(const FolderIdentity&) const = default;
};

// Why readFile gave nothing: a caller sets damage aside, waits out an I/O
// error (no permission, no descriptor, a folder on the way that is no folder
// now) and takes a missing file as none.
enum class ReadFailure { kNone, kMissing, kNotRegularFile, kTooLarge, kIOError };

inline constexpr const char* kFileManagerErrorDomain = "QMFileManagerErrorDomain";
enum FileManagerErrorCode : int64_t { kFileNotRegularError = 1, kFileTooLargeError = 2 };

class FileManager {
public:
    static constexpr uint64_t kNoSizeLimit = UINT64_MAX;

    static bool exists(const std::string& path, bool* isDirectory = nullptr);
    // Whether anything takes up `path`: unlike exists, a link counts (dangling
    // or not) and is never followed.
    static bool isPresent(const std::string& path);
    // "a link", "a FIFO", "a folder", ...: what an lstat mode says stands at a
    // path, for a line that names it.
    static std::string kindOfEntry(unsigned mode);
    static bool createDirectory(const std::string& path, bool intermediates = true, unsigned mode = 0755,
                                Error* error = nullptr);
    static bool remove(const std::string& path, Error* error = nullptr);  // files and whole folders
    static bool move(const std::string& from, const std::string& to, Error* error = nullptr);
    static bool copy(const std::string& from, const std::string& to, Error* error = nullptr);
    // rename() that never replaces: EEXIST when anything (a link too) takes up `to`.
    static bool moveWithoutReplacing(const std::string& from, const std::string& to, Error* error = nullptr);
    static constexpr const char* kSetAsideMark = ".corrupt-";
    // Sets a damaged file aside rather than deleting it: moves it to
    // "<path>.corrupt-<n>", n above that of every copy there is, and each
    // existing companion "<path><suffix>" to "<path>.corrupt-<n><suffix>";
    // no name that exists is ever taken. Answers the new path, or "" when the
    // file itself could not be moved.
    static std::string moveAside(const std::string& path, const std::vector<std::string>& companionSuffixes = {},
                                 Error* error = nullptr);
    // The names of the copies moveAside made of `path` ("<path>.corrupt-<n>",
    // or one of its companions only), one per n, oldest first. A number may
    // have any length.
    static std::vector<std::string> setAsideCopies(const std::string& path,
                                                   const std::vector<std::string>& companionSuffixes = {});
    // What stands at `path` where the system keeps a regular file of its own,
    // when it is anything else: "a link", "a FIFO", "a folder". Looked at with
    // lstat, never followed; "" when nothing or a regular file is there (one
    // with a second name is giveOwnCopy's).
    static std::string foreignEntry(const std::string& path);
    // A regular file of ours with a second name elsewhere (a hard link, which
    // can reach a file outside the sandbox) gets a copy of its own in its
    // place before anything opens it: bytes and mode kept, the other name left
    // on the file as it was, one line. So nothing is ever written through the
    // other name, and nothing of ours is lost. One larger than `maxSize` (more
    // than its writer ever makes) is not read: kFileTooLargeError, for its
    // reader to set aside. True when nothing needed a copy or one was made;
    // false, with `error`, when the file is left as it is.
    static bool giveOwnCopy(const std::string& path, Error* error = nullptr, uint64_t maxSize = kNoSizeLimit);
    static std::vector<std::string> contentsOfDirectory(const std::string& path,
                                                        Error* error = nullptr);  // names, sorted
    static std::optional<FileAttributes> attributes(const std::string& path, Error* error = nullptr);
    // The attributes of what stands at `path` itself: a link is not followed (lstat).
    static std::optional<FileAttributes> entryAttributes(const std::string& path, Error* error = nullptr);
    // Reads a regular file whole. A link at `path` is not followed and a FIFO
    // or device is not waited on: both answer kFileNotRegularError, as a file
    // of more than `maxSize` bytes answers kFileTooLargeError (the caller's
    // limit is what the file's writer could ever have made).
    // `folder`, when given, is told which folder the file was looked for in
    // (none when it lies outside the home or its folder was not reached).
    static std::optional<std::string> readFile(const std::string& path, Error* error = nullptr,
                                               uint64_t maxSize = kNoSizeLimit, FolderIdentity* folder = nullptr);
    static ReadFailure readFailure(const Error& error);
    // What makeRealDirectory does with what already stands at its path.
    enum class Found {
        kMend,  // the system's own: anything but a folder is set aside, a folder narrowed to the mode
        kKeep,  // the user's: a folder stays as it is, anything else is refused
    };
    // A real folder at `path`, made with `mode` when missing; what was there
    // is mended or kept as `found` says (set aside with moveAside and a log
    // line, or refused naming what stands there). Its parent is made when
    // missing.
    static bool makeRealDirectory(const std::string& path, unsigned mode, Error* error = nullptr,
                                  Found found = Found::kMend);
    // What takeAway moved: its lstat mode (0 when nothing was) and where it went.
    struct Taken {
        unsigned mode = 0;
        std::string aside;
    };
    // Moves what stands at `path` to a fresh set-aside name when `unwanted`
    // says so of its lstat mode. It is moved first and judged where it then
    // stands, so a swap between the look and the move never takes anything
    // else away: a wanted entry moved by then is put back. None (with
    // `error`) when it could not be told or moved.
    static std::optional<Taken> takeAway(const std::string& path, const std::function<bool(unsigned mode)>& unwanted,
                                         Error* error = nullptr);
    // "<path>.corrupt-<n>" with n above that of every copy there is, nothing at it.
    static std::string freshSetAsideName(const std::string& path);
    // Tests only: `step` runs with the path between a look at an entry and
    // the act on it, where another process may swap it.
    static void setStepBetweenLookAndAct(std::function<void(const std::string& path)> step);
    // Removes what atomic writes killed half-way left in `folder`: regular
    // files "<name>.tmp-XXXXXX", of `name` only when one is given. Only for a
    // folder no other process writes (one application holds its sandbox).
    static void removeLeftoverTemporaries(const std::string& folder, const std::string& name = {});
    // Atomic: temporary file beside the target, fsync, rename. With `folder`
    // (what readFile told), nothing is written unless the folder at the path
    // is still that one: a folder swapped in meanwhile holds a file this
    // writer never read (ESTALE, a passing failure).
    static bool writeFileAtomically(const std::string& path, const void* bytes, size_t size, Error* error = nullptr,
                                    unsigned mode = 0644, const FolderIdentity* folder = nullptr);
    static bool writeFileAtomically(const std::string& path, const std::string& bytes, Error* error = nullptr,
                                    unsigned mode = 0644, const FolderIdentity* folder = nullptr) {
        return writeFileAtomically(path, bytes.data(), bytes.size(), error, mode, folder);
    }
    // Makes `path` an owner-only (0600) file before a library such as SQLite
    // creates it with a wider mode (SQLite gives its journals the database's
    // mode); an existing file is narrowed. In-memory names (":...") and ""
    // are left alone. False when the file cannot be made.
    static bool preparePrivateFile(const std::string& path, Error* error = nullptr);
    // open() of `path` (O_CLOEXEC always); a descriptor, or -1.
    static int openFile(const std::string& path, int flags, unsigned mode = 0, Error* error = nullptr);
    // mkstemp(): `pathTemplate` ends in "XXXXXX", replaced by the name made.
    static int makeUniqueFile(std::string& pathTemplate, unsigned mode = 0600, Error* error = nullptr);
    // chmod() of what stands at `path`, never through a link.
    static bool changeMode(const std::string& path, unsigned mode, Error* error = nullptr);
    static std::string joinPath(const std::string& a, const std::string& b);
    static std::string lastPathComponent(const std::string& path);
    static std::string deletingLastPathComponent(const std::string& path);
    static std::string pathExtension(const std::string& path);
    static std::string deletingPathExtension(const std::string& path);
};

}  // namespace platform::foundation
