#include "crash/manager/PKRCrashFiles.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "crash/capture/PKROVCrashReporter.h"
#include "crash/capture/report/PKROVCrashReport.h"
#include "crash/manager/PKRKeychainUtils.h"
#include "crash/manager/PKRLog.h"
#include "crash/manager/PKRPelkorHelpers.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Sandbox.h"
#include "platform/security/Keychain.h"

namespace pf = platform::foundation;
using pf::FileManager;
using pf::Value;

namespace {

constexpr const char* kApprovedReportsKey = "PelkorSDKCrashApprovedReports";
constexpr const char* kMetaApplicationLogKey = "PKRCrashMetaApplicationLog";
constexpr const char* kMetaAttachmentKey = "PKRCrashMetaAttachment";
constexpr const char* kMetaUserNameKey = "PKRCrashMetaUserName";
constexpr const char* kMetaUserEmailKey = "PKRCrashMetaUserEmail";
constexpr const char* kMetaUserIDKey = "PKRCrashMetaUserID";
// Meta data, a description and an attachment are the delegate's log, the
// user's typing and one attachment; the approved list names the pending
// reports. Files larger than these were made by none of them.
constexpr uint64_t kMaxCompanionSize = 8 << 20;
constexpr uint64_t kMaxSettingsSize = 1 << 20;

// A crash report's copy as this class names it: digits only.
bool isReportCopyName(const std::string& name) {
    return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

// What the scan lists: any name but those of the folder's other files. A
// copy set aside (of the settings, say) is kept for inspection, never a report.
bool isListedName(const std::string& name) {
    if (name.find(FileManager::kSetAsideMark) != std::string::npos) return false;
    for (const char* suffix : {".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc"})
        if (name.ends_with(suffix)) return false;
    return true;
}

bool isRegularFile(const std::string& path) {
    const auto entry = FileManager::entryAttributes(path);
    return entry && S_ISREG(entry->type);
}

}  // namespace

PKRCrashFiles::PKRCrashFiles(std::string folder, const PKRPelkorBaseManager& keychain)
    : keychain_(keychain), folder_(std::move(folder)),
      settingsFile_(FileManager::joinPath(folder_, "PKRCrashManager.plist")) {
    FileManager::removeLeftoverTemporaries(folder_);
}

std::string PKRCrashFiles::path(const std::string& name) const { return FileManager::joinPath(folder_, name); }

std::string PKRCrashFiles::newCrashFilename() const {
    for (double offset = 0;; offset += 1) {
        std::string name = pf::format("%.0f", pf::Clock::current().sinceReferenceDate() + offset);
        bool taken = false;
        for (const char* suffix : {"", ".fake", ".meta", ".data", ".desc"})
            if (FileManager::exists(path(name) + suffix)) taken = true;
        if (!taken) return name;
    }
}

std::string PKRCrashFiles::companionBase(const std::string& path) {
    return FileManager::pathExtension(path) == kFakeExtension ? FileManager::deletingPathExtension(path) : path;
}

std::string PKRCrashFiles::keychainKey(const std::string& path, const char* suffix) {
    return FileManager::lastPathComponent(companionBase(path)) + "." + suffix;
}

bool PKRCrashFiles::isPassingFailure(const pf::Error& error) {
    if (error.domain == kPKRKeychainUtilsErrorDomain) return error.code == platform::security::kInteractionNotAllowed;
    // Only the file itself, opened and bad, is damage (a file of another
    // kind, too large, undecodable): no system call's failure says so, be it
    // no permission, no descriptor, an I/O error or a folder on the way that
    // is no folder now. Only a missing file is none.
    return FileManager::readFailure(error) == pf::ReadFailure::kIOError;
}

PKRCrashFiles::OptionalString PKRCrashFiles::completeCopyOf(const std::vector<uint8_t>& bytes) const {
    for (const std::string& name : FileManager::contentsOfDirectory(folder_)) {
        if (!isReportCopyName(name)) continue;
        auto attributes = FileManager::attributes(path(name));
        if (!attributes || attributes->size != bytes.size()) continue;
        auto copy = FileManager::readFile(path(name), nullptr, PKROVCrashReporter::kMaxReportFileSize);
        if (copy && copy->size() == bytes.size() && std::memcmp(copy->data(), bytes.data(), bytes.size()) == 0)
            return name;
    }
    return std::nullopt;
}

void PKRCrashFiles::storeMetaData(const std::string& filename, const PKRCrashIdentity& identity,
                                  const std::string& applicationLog, const PKRPelkorAttachment* attachment) {
    constexpr const char* kMethod = "-[PKRCrashManager storeMetaDataForCrashReportFilename:]";
    keychain_.addStringValueToKeychain(identity.userName, keychainKey(filename, kMetaUserNameKey));
    keychain_.addStringValueToKeychain(identity.userEmail, keychainKey(filename, kMetaUserEmailKey));
    keychain_.addStringValueToKeychain(identity.userID, keychainKey(filename, kMetaUserIDKey));
    Value::Dictionary meta;
    meta[kMetaApplicationLogKey] = applicationLog;
    if (attachment && attachment->pelkorAttachmentData()) persistAttachment(*attachment, path(filename));
    pf::Error error;
    if (!Value(meta).writeBinaryPropertyListFile(path(filename + ".meta"), &error, pf::Sandbox::kPrivateFileMode))
        PKR_LOG_ERROR(kMethod, "Writing crash meta data failed. %s", error.description().c_str());
}

void PKRCrashFiles::persistAttachment(const PKRPelkorAttachment& attachment, const std::string& filename) {
    Value coder = Value::emptyDictionary();
    attachment.encodeWithCoder(coder);
    Value::Dictionary root;
    root[kMetaAttachmentKey] = coder;
    Value(root).writeBinaryPropertyListFile(filename + ".data", nullptr, pf::Sandbox::kPrivateFileMode);
}

std::shared_ptr<PKRPelkorAttachment> PKRCrashFiles::attachmentForCrashReport(const std::string& filename) const {
    const std::string path = companionBase(filename) + ".data";
    if (!FileManager::exists(path)) return nullptr;
    std::optional<Value> root = Value::readPropertyListFile(path, nullptr, kMaxCompanionSize);
    if (!root || !root->isDictionary()) return nullptr;
    const Value& coder = (*root)[kMetaAttachmentKey];
    if (!coder.isDictionary()) return nullptr;
    return std::make_shared<PKRPelkorAttachment>(coder);
}

void PKRCrashFiles::persistUserProvidedMetaData(const PKRCrashMetaData* metaData) {
    if (!metaData || !lastCrashFilename_) return;
    const std::string p = path(*lastCrashFilename_);
    if (metaData->userDescription() && !metaData->userDescription()->empty())
        FileManager::writeFileAtomically(companionBase(p) + ".desc", *metaData->userDescription(), nullptr,
                                         pf::Sandbox::kPrivateFileMode);
    if (metaData->userName() && !metaData->userName()->empty())
        keychain_.addStringValueToKeychain(metaData->userName(), keychainKey(p, kMetaUserNameKey));
    if (metaData->userEmail() && !metaData->userEmail()->empty())
        keychain_.addStringValueToKeychain(metaData->userEmail(), keychainKey(p, kMetaUserEmailKey));
    if (metaData->userID() && !metaData->userID()->empty())
        keychain_.addStringValueToKeychain(metaData->userID(), keychainKey(p, kMetaUserIDKey));
}

bool PKRCrashFiles::scan() {
    constexpr const char* kMethod = "-[PKRCrashManager hasPendingCrashReport]";
    for (const std::string& name : FileManager::contentsOfDirectory(folder_)) {
        if (!isListedName(name)) continue;
        const auto entry = FileManager::entryAttributes(path(name));
        if (!entry || !S_ISREG(entry->type) || entry->size < 1) continue;
        crashFiles_.push_back(path(name));
    }
    if (crashFiles_.empty()) return false;
    PKR_LOG_INFO(kMethod, "%lu pending crash reports found.", (unsigned long)crashFiles_.size());
    return true;
}

PKRCrashFiles::OptionalString PKRCrashFiles::firstNotApproved() const {
    for (const auto& p : crashFiles_)
        if (!approved_.count(p)) return p;
    return std::nullopt;
}

void PKRCrashFiles::approveLatest() {
    // Without a current report there is nothing to approve.
    if (!lastCrashFilename_) return;
    approved_[path(*lastCrashFilename_)] = true;
    saveSettings();
}

void PKRCrashFiles::saveSettings() {
    constexpr const char* kMethod = "-[PKRCrashManager saveSettings]";
    if (settingsUnread_) return;
    Value::Dictionary settings;
    if (!approved_.empty()) settings[kApprovedReportsKey] = approved_;
    pf::Error error;
    const Value::Data bytes = Value(settings).toBinaryPropertyList();
    // Only into the folder they were read from: one swapped in since holds settings this launch never read.
    if (!FileManager::writeFileAtomically(settingsFile_, bytes.data(), bytes.size(), &error,
                                          pf::Sandbox::kPrivateFileMode, &settingsFolder_))
        PKR_LOG_ERROR(kMethod, "Writing settings. %s", error.description().c_str());
}

void PKRCrashFiles::loadSettings() {
    constexpr const char* kMethod = "-[PKRCrashManager loadSettings]";
    pf::Error error;
    std::optional<Value> settings;
    if (FileManager::giveOwnCopy(settingsFile_, &error, kMaxSettingsSize))
        if (const auto bytes = FileManager::readFile(settingsFile_, &error, kMaxSettingsSize, &settingsFolder_))
            settings = Value::fromPropertyList(bytes->data(), bytes->size(), &error);
    if (!settings) {
        const pf::ReadFailure failure = FileManager::readFailure(error);
        if (failure == pf::ReadFailure::kMissing) return;
        PKR_LOG_ERROR(kMethod, "Reading crash manager settings.");
        if (failure == pf::ReadFailure::kIOError) {
            settingsUnread_ = true;
            PKRLog::plain("WARNING: The crash manager settings could not be read (" + error.localizedDescription() +
                          "); they are left as they are, and this launch's approvals are not saved");
            return;
        }
        const std::string aside = FileManager::moveAside(settingsFile_);
        PKRLog::plain("WARNING: The crash manager settings could not be read (" + error.localizedDescription() +
                      "); they were set aside" + (aside.empty() ? std::string(".") : " as " + aside));
        return;
    }
    if (!settings->isDictionary() || !(*settings)[kApprovedReportsKey].isDictionary()) return;
    approved_ = (*settings)[kApprovedReportsKey].dictionary();
    // An approval outlives its report only when a deletion was cut short.
    std::erase_if(approved_, [](const auto& entry) { return !isRegularFile(entry.first); });
}

void PKRCrashFiles::deleteFiles(const std::string& path) {
    const std::string base = companionBase(path);
    FileManager::remove(path);
    for (const char* suffix : {".data", ".meta", ".desc"}) {
        FileManager::remove(base + suffix);
        if (base != path)
            FileManager::remove(path + suffix);  // names an older release gave an app-kill report's companions
    }
    keychain_.removeKeyFromKeychain(keychainKey(path, kMetaUserNameKey));
    keychain_.removeKeyFromKeychain(keychainKey(path, kMetaUserEmailKey));
    keychain_.removeKeyFromKeychain(keychainKey(path, kMetaUserIDKey));
}

void PKRCrashFiles::clean(const OptionalString& p) {
    if (!p) return;
    const std::string doomed = *p;
    deleteFiles(doomed);
    std::erase(crashFiles_, doomed);
    approved_.erase(doomed);
    // A name that outlived its report would take the next answer and description.
    if (lastCrashFilename_ && path(*lastCrashFilename_) == doomed) lastCrashFilename_.reset();
    saveSettings();
}

void PKRCrashFiles::cleanAll() {
    while (!crashFiles_.empty()) clean(crashFiles_.front());
}

PKRCrashFiles::ReadResult PKRCrashFiles::read(const std::string& p, const std::string& platform,
                                              const std::string& installString, PKRPendingCrashReport& out,
                                              pf::Error* error) {
    constexpr const char* kMethod = "-[PKRCrashManager sendNextCrashReport]";
    const bool fake = FileManager::pathExtension(p) == kFakeExtension;
    pf::Error readError;
    const uint64_t maxSize = fake ? kMaxFakeReportSize : PKROVCrashReporter::kMaxReportFileSize;
    std::optional<std::string> bytes;
    if (FileManager::giveOwnCopy(p, &readError, maxSize)) bytes = FileManager::readFile(p, &readError, maxSize);
    if (!bytes && isPassingFailure(readError)) {
        PKR_LOG_ERROR(kMethod, "Could not read crash report %s: %s", p.c_str(),
                      readError.localizedDescription().c_str());
        if (error) *error = readError;
        return ReadResult::kNotNow;
    }
    if (!bytes || bytes->empty()) {
        if (!bytes)
            PKRLog::plain("WARNING: The crash report " + p + " could not be read (" + readError.localizedDescription() +
                          "); it was deleted.");
        clean(p);
        return ReadResult::kDropped;
    }
    std::optional<PKRCrashReportFields> fields;
    if (fake) {
        if (std::optional<Value> plist = Value::fromPropertyList(bytes->data(), bytes->size()))
            fields = PKRCrashReportFields::fromAppKillReport(*plist);
    } else if (auto report =
                   PKROVCrashReport::initWithData(std::vector<uint8_t>(bytes->begin(), bytes->end()), nullptr)) {
        fields = PKRCrashReportFields::fromReport(*report, platform, installString);
    }
    if (!fields) {
        PKR_LOG_WARNING(kMethod, "Could not parse crash report");
        clean(p);
        return ReadResult::kDropped;
    }
    out = PKRPendingCrashReport{std::move(*fields), {}, "", nullptr};
    const std::string base = companionBase(p);
    std::string applicationLog;
    pf::Error metaError;
    if (std::optional<Value> meta = Value::readPropertyListFile(base + ".meta", &metaError, kMaxCompanionSize)) {
        // Sent without them, the user's values would be lost with the report.
        for (auto [value, suffix] : {std::pair{&out.identity.userName, kMetaUserNameKey},
                                     {&out.identity.userEmail, kMetaUserEmailKey},
                                     {&out.identity.userID, kMetaUserIDKey}}) {
            pf::Error keychainError;
            *value = keychain_.stringValueFromKeychainForKey(keychainKey(p, suffix), &keychainError).value_or("");
            if (isPassingFailure(keychainError)) {
                PKR_LOG_ERROR(kMethod, "Could not read the user's values of crash report %s: %s", p.c_str(),
                              keychainError.localizedDescription().c_str());
                if (error) *error = keychainError;
                return ReadResult::kNotNow;
            }
        }
        if (meta->isDictionary()) applicationLog = PKRCrashReportFields::stringOr((*meta)[kMetaApplicationLogKey]);
        out.description = FileManager::readFile(base + ".desc", nullptr, kMaxCompanionSize).value_or("");
        out.attachment = attachmentForCrashReport(p);
    } else {
        PKR_LOG_ERROR(kMethod, "Reading crash meta data. %s", metaError.description().c_str());
    }
    if (!applicationLog.empty())
        out.description =
            out.description.empty() ? "Log:\n" + applicationLog : out.description + "\n\nLog:\n" + applicationLog;
    return ReadResult::kRead;
}
