#pragma once
// How long the user spends in the application, kept across launches: the
// session's seconds so far, its interruptions, when it was last suspended, and
// the source application and URL that last opened it. Suspending writes it to
// a file in the sandbox's Library; resuming reads it back and decides whether
// the old session goes on. Main thread only.
#include <cstdint>
#include <string>

#include "platform/foundation/FileManager.h"

class PZSDKTimeSpentData {
public:
    // A suspension longer than this starts a new session on resume.
    static constexpr double kSessionTimeout = 60.0;
    // Shorter breaks (a system alert, a notification banner) are no interruption.
    static constexpr double kInterruptionThreshold = 0.25;
    static constexpr const char* kFileName = "PZSDKTimeSpent.json";
    // The most the file is written with: a larger one is damage to a reader.
    static constexpr uint64_t kMaxFileSize = 1 << 20;

    static PZSDKTimeSpentData& shared();
    // Forgets everything held in memory (tests; the file stays).
    static void resetShared();

    // The file in the current sandbox.
    static std::string persistencePath();

    // Reads the saved data (a missing or unreadable file starts a first
    // session; a damaged one, or a link or FIFO in its place, is set aside
    // with a line) and starts counting. Nothing happens while already counting.
    void restore(bool calledFromActivateApp);
    // Adds the time since the restore and writes everything out.
    void suspend();

    // The application was opened from `sourceApplication` with `url` (either may be empty).
    void setSourceApplication(const std::string& sourceApplication, const std::string& url);

    bool isCurrentlyLoaded() const { return loaded_; }
    double secondsSpentInCurrentSession() const { return secondsSpent_; }
    int numInterruptions() const { return interruptions_; }
    int numSessions() const { return sessions_; }
    double lastSuspendTime() const { return lastSuspendTime_; }
    const std::string& sourceApplication() const { return sourceApplication_; }
    const std::string& url() const { return url_; }

private:
    bool loaded_ = false;
    // The file could not be read for a passing reason (no permission, no
    // descriptor): it is left for a later launch, never written over; said once.
    bool unread_ = false, unreadSaid_ = false, unsavedSaid_ = false;
    // Where the file was read from (or found missing): the one folder saves go to.
    platform::foundation::FolderIdentity folder_;
    double secondsSpent_ = 0, lastRestoreTime_ = 0, lastSuspendTime_ = 0;
    int interruptions_ = 0, sessions_ = 0;
    std::string sourceApplication_, url_;
};
