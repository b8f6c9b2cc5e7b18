#pragma once
// An application or resource bundle: a folder with Info.plist, resources and
// <lang>.lproj string tables. The main bundle is the folder of the running
// executable (tests point it elsewhere).
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform::foundation {

class Bundle {
public:
    static Bundle& main();
    // The main bundle is the folder `path` (empty: the executable's) with the
    // Info.plist `infoPlistPath` (empty: the one in that folder; --info-plist).
    static void setMainBundlePath(const std::string& path, const std::string& infoPlistPath = "");
    // What the setter above chose; empty for the defaults.
    static std::string mainBundlePathSetting();
    static std::string mainInfoPlistPathSetting();
    static std::shared_ptr<Bundle> bundleWithPath(const std::string& path);  // null when no such folder

    explicit Bundle(std::string path, std::string infoPlistPath = "");
    const std::string& bundlePath() const { return path_; }
    const std::string& infoPlistPath() const { return infoPath_; }
    const Value& infoDictionary() const;
    // Why the Info.plist gave no dictionary ("Permission denied", "not a
    // dictionary"...); "" when it was read, or when the bundle has none. A
    // caller that asks before the first read says it itself: the bundle then
    // logs nothing of it.
    std::string infoDictionaryProblem() const;
    Value objectForInfoDictionaryKey(const std::string& key) const;
    // "CFBundleIdentifier"; empty when absent, and when it could lead a file
    // named after it out of its folder ("/" or "..": see isUsableIdentifier).
    std::string bundleIdentifier() const;
    static bool isUsableIdentifier(const std::string& identifier);

    // Finds name.type (name may carry its extension when type is empty) in the
    // bundle, in `subdirectory`, or in the preferred language's .lproj folder.
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type,
                                               const std::string& subdirectory = "") const;
    // The string for `key` in table `table` (.strings of the preferred language,
    // falling back to "en"). When missing: `value` if non-empty, else the key.
    std::string localizedString(const std::string& key, const std::string& value, const std::string& table) const;
    // The languages this bundle has, and the one chosen by "AppleLanguages".
    std::string preferredLocalization() const;

private:
    const Value::Dictionary& table(const std::string& lang, const std::string& name) const;
    std::string path_, infoPath_;
    mutable std::once_flag infoOnce_, identifierWarning_;
    mutable Value info_;
    mutable std::string infoProblem_;
    mutable std::atomic<bool> problemAsked_{false};
    mutable std::mutex tablesMutex_;
    mutable std::map<std::string, Value::Dictionary> tables_;
};

// Parses a .strings file (UTF-8, or UTF-16 with a BOM; comments, escapes,
// quoted and unquoted keys). Nullopt on a syntax error.
std::optional<Value::Dictionary> parseStringsFile(const std::string& bytes, std::string* error = nullptr);

}  // namespace platform::foundation
