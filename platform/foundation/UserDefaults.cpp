#include "platform/foundation/UserDefaults.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <set>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"

namespace platform::foundation {

namespace {

constexpr const char* kFallbackIdentifier = "com.quenmira.Quenmira";
constexpr const char* kLanguagesKey = "AppleLanguages";

struct Standard {
    std::mutex m;
    UserDefaults* current = nullptr;
    // Dropped instances stay allocated: callers may still hold references.
    std::vector<UserDefaults*> retired;
    std::vector<Observer> observers;
};

Standard& standardState() {
    static Standard* s = new Standard;
    return *s;
}

void synchronizeAtExit() {
    auto& s = standardState();
    std::lock_guard lock(s.m);
    if (s.current) s.current->synchronize();
}

// "de_DE.UTF-8" -> "de-DE"; "C" and "POSIX" mean English.
std::string languageFromEnvironment() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = getenv(var);
        if (!v || !*v) continue;
        std::string s = v;
        s = s.substr(0, s.find_first_of(".@"));
        if (s.empty() || s == "C" || s == "POSIX") return "en";
        for (auto& c : s)
            if (c == '_') c = '-';
        return s;
    }
    return "en";
}

// Whether no save of `path` failed before in this process: one line per file
// and launch, however many instances (a reset standard one) save it.
bool firstWriteFailure(const std::string& path) {
    static std::mutex& m = *new std::mutex;
    static std::set<std::string>& said = *new std::set<std::string>;
    std::lock_guard lock(m);
    return said.insert(path).second;
}

}  // namespace

UserDefaults& UserDefaults::standard() {
    auto& s = standardState();
    {
        std::lock_guard lock(s.m);
        if (s.current) return *s.current;
    }
    std::string id = Bundle::main().bundleIdentifier();
    if (id.empty()) id = kFallbackIdentifier;
    std::string path = Sandbox::preferences() + "/" + id + ".plist";
    bool first = false;
    UserDefaults* result;
    {
        std::lock_guard lock(s.m);
        if (!s.current) {
            s.current = new UserDefaults(path);
            first = s.retired.empty();
        }
        result = s.current;
    }
    if (first) {
        std::atexit(synchronizeAtExit);
        auto sync = [](const Notification&) { UserDefaults::standard().synchronize(); };
        auto& center = NotificationCenter::defaultCenter();
        auto a = center.addObserver("UIApplicationDidEnterBackgroundNotification", nullptr, sync);
        auto b = center.addObserver("UIApplicationWillTerminateNotification", nullptr, sync);
        std::lock_guard lock(s.m);
        s.observers.push_back(std::move(a));
        s.observers.push_back(std::move(b));
    }
    return *result;
}

void UserDefaults::resetStandard() {
    auto& s = standardState();
    std::lock_guard lock(s.m);
    if (!s.current) return;
    s.current->synchronize();  // unsaved changes are never dropped
    s.retired.push_back(s.current);
    s.current = nullptr;
}

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) { load(); }

UserDefaults::~UserDefaults() { RunLoop::main().cancelPerforms(this); }

void UserDefaults::scheduleSaveLocked() {
    dirty_ = true;
    const double now = Clock::current().now();
    // A save that is due and has not run was dropped (a reset loop): ask again.
    if (saveDue_ > 0 && now < saveDue_) return;
    saveDue_ = now + kSaveDelay;
    RunLoop::main().performAfter(
        kSaveDelay, [this] { synchronize(); }, this);
}

void UserDefaults::load() {
    FileManager::removeLeftoverTemporaries(FileManager::deletingLastPathComponent(path_),
                                           FileManager::lastPathComponent(path_));
    // A link, FIFO or device there, or more than settings ever take, is
    // damage: neither followed nor waited on, but set aside like bad bytes.
    Error error;
    std::optional<Value> v;
    if (FileManager::giveOwnCopy(path_, &error, kMaxFileSize))
        if (const auto bytes = FileManager::readFile(path_, &error, kMaxFileSize, &folder_))
            v = Value::fromPropertyList(bytes->data(), bytes->size(), &error);
    if (v && v->isDictionary()) {
        values_ = v->dictionary();
        return;
    }
    const ReadFailure failure = v ? ReadFailure::kNone : FileManager::readFailure(error);
    if (failure == ReadFailure::kMissing) return;
    if (failure == ReadFailure::kIOError) {
        // No permission or no descriptor now: the settings are still there
        // for a later launch, and this one must not write empty ones over them.
        unread_ = true;
        log("UserDefaults: cannot read " + error.localizedDescription() +
            "; it is left as it is, and this launch's settings are not saved");
        return;
    }
    std::string reason = v ? "not a dictionary" : error.localizedDescription();
    // Kept aside rather than deleted: the user's settings may still be recoverable.
    time_t t = time(nullptr);
    tm tmv;
    localtime_r(&t, &tmv);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tmv);
    std::string aside = path_ + FileManager::kSetAsideMark + stamp;
    Error moveError;
    bool moved = FileManager::moveWithoutReplacing(path_, aside, &moveError);
    for (int i = 1; !moved && moveError.code == EEXIST && i < 100; ++i) {
        aside = path_ + FileManager::kSetAsideMark + stamp + "-" + std::to_string(i);
        moved = FileManager::moveWithoutReplacing(path_, aside, &moveError);
    }
    if (moved)
        log("UserDefaults: cannot read " + path_ + " (" + reason + "); moved it to " + aside +
            " and starting with empty defaults");
    else
        log("UserDefaults: cannot read " + path_ + " (" + reason + ") nor move it aside (" +
            moveError.localizedDescription() + "); starting with empty defaults");
}

Value UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) return it->second;
    if (key == kLanguagesKey) return Value(Value::Array{Value(languageFromEnvironment())});
    if (auto it = registered_.find(key); it != registered_.end()) return it->second;
    return Value();
}

void UserDefaults::setObject(const std::string& key, Value value) {
    if (value.isNull()) {
        removeObject(key);
        return;
    }
    std::lock_guard lock(mutex_);
    values_[key] = std::move(value);
    scheduleSaveLocked();
}

void UserDefaults::removeObject(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (values_.erase(key)) scheduleSaveLocked();
}

bool UserDefaults::boolForKey(const std::string& key) const { return objectForKey(key).boolValue(); }
int64_t UserDefaults::integerForKey(const std::string& key) const { return objectForKey(key).intValue(); }
float UserDefaults::floatForKey(const std::string& key) const { return objectForKey(key).floatValue(); }
double UserDefaults::doubleForKey(const std::string& key) const { return objectForKey(key).doubleValue(); }

std::string UserDefaults::stringForKey(const std::string& key) const {
    // A number answers its description, as on the platform.
    Value v = objectForKey(key);
    return v.isString() || v.isNumber() ? v.stringValue() : "";
}

Value UserDefaults::arrayForKey(const std::string& key) const {
    Value v = objectForKey(key);
    return v.isArray() ? v : Value();
}

Value UserDefaults::dictionaryForKey(const std::string& key) const {
    Value v = objectForKey(key);
    return v.isDictionary() ? v : Value();
}

void UserDefaults::registerDefaults(const Value::Dictionary& defaults) {
    std::lock_guard lock(mutex_);
    for (auto& [k, v] : defaults) registered_[k] = v;
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    saveDue_ = 0;
    if (!dirty_) return true;
    if (unread_) return false;
    FileManager::createDirectory(FileManager::deletingLastPathComponent(path_), true, Sandbox::kFolderMode);
    Error error;
    const Value::Data bytes = Value(values_).toBinaryPropertyList();
    // Only into the folder the settings were read from: one swapped in since holds settings this launch never read.
    if (!FileManager::writeFileAtomically(path_, bytes.data(), bytes.size(), &error, Sandbox::kPrivateFileMode,
                                          &folder_)) {
        // The error names the file already. Said once a launch: a full disk
        // fails every save alike, and a folder swapped away fails them each
        // a little differently.
        if (firstWriteFailure(path_)) log("UserDefaults: cannot write " + error.localizedDescription());
        return false;
    }
    dirty_ = false;
    return true;
}

Value UserDefaults::dictionaryRepresentation() const {
    Value::Dictionary all;
    {
        std::lock_guard lock(mutex_);
        all = registered_;
        all[kLanguagesKey] = Value(Value::Array{Value(languageFromEnvironment())});
        for (auto& [k, v] : values_) all[k] = v;
    }
    return Value(std::move(all));
}

Value UserDefaults::preferredLanguages() { return standard().objectForKey(kLanguagesKey); }

}  // namespace platform::foundation
