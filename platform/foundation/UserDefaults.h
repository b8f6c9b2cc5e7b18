#pragma once
// The standard user defaults: a binary property list in the sandbox's
// Library/Preferences/<bundle identifier>.plist (owner-only), with a
// registration domain and the global domain's "AppleLanguages". Main-thread
// use as on the platform, but the store is locked so other threads may read
// and write too. A change reaches the disk kSaveDelay seconds of clock time
// after it was made, on the main run loop, with every other change made
// meanwhile, so a crash or a kill loses at most that much.
#include <mutex>
#include <string>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"

namespace platform::foundation {

class UserDefaults {
public:
    static UserDefaults& standard();
    // Drops the standard instance so the next standard() reads the file again
    // (tests; also after Sandbox::setHome).
    static void resetStandard();

    explicit UserDefaults(std::string path);
    ~UserDefaults();

    static constexpr double kSaveDelay = 1.0;
    // Far more than any application's settings take.
    static constexpr uint64_t kMaxFileSize = 16 << 20;

    Value objectForKey(const std::string& key) const;     // null when absent
    void setObject(const std::string& key, Value value);  // null removes
    void removeObject(const std::string& key);
    bool boolForKey(const std::string& key) const;
    int64_t integerForKey(const std::string& key) const;
    float floatForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    std::string stringForKey(const std::string& key) const;  // a number's description; "" when absent or neither
    Value arrayForKey(const std::string& key) const;         // null unless an array
    Value dictionaryForKey(const std::string& key) const;    // null unless a dictionary
    void setBool(const std::string& key, bool v) { setObject(key, Value(v)); }
    void setInteger(const std::string& key, int64_t v) { setObject(key, Value(v)); }
    void setFloat(const std::string& key, float v) { setObject(key, Value(double(v))); }
    void setDouble(const std::string& key, double v) { setObject(key, Value(v)); }
    void setString(const std::string& key, const std::string& v) { setObject(key, Value(v)); }

    void registerDefaults(const Value::Dictionary& defaults);
    // Writes pending changes (atomically). Also done at exit and on the
    // application's background and terminate notifications. False, writing
    // nothing, when the file could not be read at load for a passing reason.
    bool synchronize();
    Value dictionaryRepresentation() const;
    const std::string& path() const { return path_; }

    // The global domain's preferred languages (from $LANG when not set).
    static Value preferredLanguages();

private:
    void load();
    void scheduleSaveLocked();
    std::string path_;
    mutable std::mutex mutex_;
    Value::Dictionary values_, registered_;
    bool dirty_ = false;
    double saveDue_ = 0;  // clock time of the pending save; 0 when none
    // The file could not be read for a passing reason (no permission, no
    // descriptor): it is not damage, and no save of this launch replaces it.
    bool unread_ = false;
    FolderIdentity folder_;  // where the settings were read from (or found missing), the one place saves go
};

}  // namespace platform::foundation
