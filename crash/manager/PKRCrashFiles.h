#pragma once
// The crash manager's folder: one crash file per pending report ("<n>", or
// "<n>.fake" for an app-kill report), its companions (".meta", ".data",
// ".desc") and keychain items, the approved-reports list
// ("PKRCrashManager.plist") and the scan that lists what is pending: every
// regular file of at least one byte whose name is not one of the companions
// or the folder's own files. Nothing is read or deleted through a link, and
// each file is read only up to what its writer can make.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/manager/PKRCrashMetaData.h"
#include "crash/manager/PKRCrashReportFields.h"
#include "crash/manager/PKRPelkorAttachment.h"
#include "crash/manager/PKRPelkorBaseManager.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"

// The user's identity stored with a report.
struct PKRCrashIdentity {
    std::string userName, userEmail, userID;
};

// A pending report as the upload needs it, read once.
struct PKRPendingCrashReport {
    PKRCrashReportFields fields;
    PKRCrashIdentity identity;
    std::string description;  // the user's, with the application log after it
    std::shared_ptr<PKRPelkorAttachment> attachment;
};

class PKRCrashFiles {
public:
    using OptionalString = std::optional<std::string>;
    static constexpr const char* kFakeExtension = "fake";
    // The most an app-kill report is read to: a page of text and a few short values.
    static constexpr uint64_t kMaxFakeReportSize = 256 << 10;

    // Removes the temporaries a killed launch left in `folder`; the
    // keychain items go through `keychain`.
    PKRCrashFiles(std::string folder, const PKRPelkorBaseManager& keychain);

    const std::string& folder() const { return folder_; }
    std::string path(const std::string& name) const;
    // A name of digits for a new crash file: the time in whole seconds since
    // 2001, or the first later number that names no file in the folder yet.
    std::string newCrashFilename() const;
    // Where companions and keychain keys are named from: the path, without
    // ".fake" for an app-kill report.
    static std::string companionBase(const std::string& path);
    static std::string keychainKey(const std::string& path, const char* suffix);
    // Failures that say "not now" rather than "never": a system call's that
    // is no missing file, and a keychain that cannot be used now.
    static bool isPassingFailure(const platform::foundation::Error& error);

    // A crash file already in the folder with exactly these bytes: a launch
    // stopped after its copy and before the reporter's file was purged.
    OptionalString completeCopyOf(const std::vector<uint8_t>& bytes) const;

    void storeMetaData(const std::string& filename, const PKRCrashIdentity& identity, const std::string& applicationLog,
                       const PKRPelkorAttachment* attachment);
    void persistUserProvidedMetaData(const PKRCrashMetaData* metaData);
    void persistAttachment(const PKRPelkorAttachment& attachment, const std::string& filename);
    std::shared_ptr<PKRPelkorAttachment> attachmentForCrashReport(const std::string& filename) const;

    // The scan: appends the pending reports to crashFiles; true when any is listed.
    bool scan();
    OptionalString firstNotApproved() const;
    void approveLatest();
    void saveSettings();
    void loadSettings();
    void clean(const OptionalString& path);
    void cleanAll();

    enum class ReadResult { kRead, kNotNow, kDropped };
    // Reads a listed report with its meta data. A report that cannot be read
    // for a passing reason answers kNotNow (with the error) and stays; one that
    // cannot be read or decoded at all is deleted and answers kDropped.
    ReadResult read(const std::string& path, const std::string& platform, const std::string& installString,
                    PKRPendingCrashReport& out, platform::foundation::Error* error);

    const std::vector<std::string>& crashFiles() const { return crashFiles_; }
    const platform::foundation::Value::Dictionary& approved() const { return approved_; }
    OptionalString& lastCrashFilename() { return lastCrashFilename_; }
    const OptionalString& lastCrashFilename() const { return lastCrashFilename_; }

private:
    void deleteFiles(const std::string& path);

    const PKRPelkorBaseManager& keychain_;
    std::string folder_, settingsFile_;
    platform::foundation::Value::Dictionary approved_;
    // The settings could not be read for a passing reason: no save of this
    // launch replaces them.
    bool settingsUnread_ = false;
    // Where the settings were read from (or found missing): the one folder saves go to.
    platform::foundation::FolderIdentity settingsFolder_;
    std::vector<std::string> crashFiles_;
    OptionalString lastCrashFilename_;
};
