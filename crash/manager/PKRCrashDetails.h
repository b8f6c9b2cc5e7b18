#pragma once
// What the application learns about the previous session's crash: read from
// the pending report (or made up for an app kill) by the crash manager.
// Immutable. Absent values are empty optionals, never a placeholder text.
#include <cstdint>
#include <optional>
#include <string>

class PKRCrashDetails {
public:
    using OptionalString = std::optional<std::string>;

    PKRCrashDetails(std::string incidentIdentifier, std::string reporterKey, OptionalString signal,
                    OptionalString exceptionName, OptionalString exceptionReason, std::optional<double> appStartTime,
                    std::optional<double> crashTime, OptionalString osVersion, OptionalString osBuild,
                    OptionalString appVersion, OptionalString appBuild, uint64_t appProcessIdentifier);

    const std::string& incidentIdentifier() const { return incidentIdentifier_; }
    const std::string& reporterKey() const { return reporterKey_; }
    const OptionalString& signal() const { return signal_; }
    const OptionalString& exceptionName() const { return exceptionName_; }
    const OptionalString& exceptionReason() const { return exceptionReason_; }
    // Seconds since 1970.
    std::optional<double> appStartTime() const { return appStartTime_; }
    std::optional<double> crashTime() const { return crashTime_; }
    const OptionalString& osVersion() const { return osVersion_; }
    const OptionalString& osBuild() const { return osBuild_; }
    // The marketing version ("CFBundleShortVersionString") and the build ("CFBundleVersion").
    const OptionalString& appVersion() const { return appVersion_; }
    const OptionalString& appBuild() const { return appBuild_; }
    uint64_t appProcessIdentifier() const { return appProcessIdentifier_; }

    // The session was killed without a crash report ("SIGKILL" in any case).
    bool isAppKill() const;

private:
    std::string incidentIdentifier_, reporterKey_;
    OptionalString signal_, exceptionName_, exceptionReason_;
    std::optional<double> appStartTime_, crashTime_;
    OptionalString osVersion_, osBuild_, appVersion_, appBuild_;
    uint64_t appProcessIdentifier_;
};
