#pragma once
// Stand-in for the platform keychain's generic-password items (add, copy
// matching, update, delete), answering the platform's status codes.
//
// What it models: items of one class (generic password) identified by
// (class, service, account), each with a label, an accessibility and value
// bytes; a second add of the same identity is refused as a duplicate; a query
// names the class and optionally the service and the account, and matches
// every item that has those values.
// Where it differs: the items live in one SQLite file of the sandbox,
// Library/Keychains/keychain.db, readable by its owner only (0600) and shared by
// every process of the same sandbox. Nothing is encrypted and accessibility is
// stored but never enforced (there is no lock screen). A failure of the file
// itself answers kIOError, which the platform uses for the same situation; a
// file another process holds longer than a call may wait (a fraction of a
// second on the main thread) answers kInteractionNotAllowed, as a locked
// keychain does, and is said once a process. A file that is no keychain
// (not SQLite, damaged, not a regular file, a file with another name
// elsewhere) is set aside with a line and a new one started, as the other
// stores do; one that cannot be opened now (no descriptor, no permission) is
// left as it is and the call answers kIOError.
// Every call opens the file, runs one transaction and closes it again, so
// calls are safe from any thread, from several processes at once and across
// fork().
#include <cstdint>
#include <optional>
#include <string>

namespace platform::security {

using Status = int32_t;
inline constexpr Status kSuccess = 0;
inline constexpr Status kParam = -50;                     // a required attribute is missing or a value is malformed
inline constexpr Status kIOError = -36;                   // the keychain file cannot be opened, read or written
inline constexpr Status kDuplicateItem = -25299;          // add: an item of that class, service and account exists
inline constexpr Status kItemNotFound = -25300;           // nothing matched
inline constexpr Status kInteractionNotAllowed = -25308;  // the keychain cannot be used now (held by another process)

inline constexpr const char* kClassGenericPassword = "genp";

// Accessibility values (stored, not enforced).
inline constexpr const char* kAccessibleWhenUnlocked = "whenUnlocked";
inline constexpr const char* kAccessibleAfterFirstUnlock = "afterFirstUnlock";
inline constexpr const char* kAccessibleAlways = "always";
inline constexpr const char* kAccessibleWhenUnlockedThisDeviceOnly = "whenUnlockedThisDeviceOnly";
inline constexpr const char* kAccessibleAfterFirstUnlockThisDeviceOnly = "afterFirstUnlockThisDeviceOnly";
inline constexpr const char* kAccessibleAlwaysThisDeviceOnly = "alwaysThisDeviceOnly";

struct Item {
    std::string itemClass = kClassGenericPassword;
    std::string service;
    std::string account;
    std::string label;
    std::string accessibility = kAccessibleWhenUnlocked;
    std::string data;  // value bytes
};

// Which items an operation acts on: the class, and the service and account
// when given.
struct Query {
    std::string itemClass = kClassGenericPassword;
    std::optional<std::string> service;
    std::optional<std::string> account;
};

// What an update changes; absent fields stay as they are.
struct Changes {
    std::optional<std::string> label = std::nullopt;
    std::optional<std::string> accessibility = std::nullopt;
    std::optional<std::string> data = std::nullopt;
};

class Keychain {
public:
    // The file of the current sandbox.
    static std::string path();

    // The first item that matches (in the order the items were added).
    static Status copyMatching(const Query& query, Item* result);
    // kDuplicateItem when an item with the same class, service and account exists.
    static Status add(const Item& item);
    // Changes every matching item; kItemNotFound when none matches.
    static Status update(const Query& query, const Changes& changes);
    // Deletes every matching item; kItemNotFound when none matches.
    static Status remove(const Query& query);
};

}  // namespace platform::security
