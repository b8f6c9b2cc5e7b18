#pragma once
// What the crash manager takes from one pending report, read once: the
// previous session's details at start and the upload's XML both come from it.
// A decoded crash report and an app-kill report's property list give the
// same fields.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class PKROVCrashReport;

struct PKRCrashReportFields {
    using OptionalString = std::optional<std::string>;

    std::string uuid;  // the incident identifier; "" when the report has none
    std::string bundleIdentifier;
    std::string version;  // the application's
    OptionalString marketingVersion;
    OptionalString osVersion, osBuild;
    std::string platform;  // the hardware model
    std::string uuids;     // "<uuid type=.. arch=..>..</uuid>" elements, values escaped
    std::string log;       // the crash log text
    OptionalString signal, exceptionName, exceptionReason;
    std::optional<double> startTime, crashTime;  // both, or neither
    uint64_t processID = 0;

    // The log text names `logReporterKey`, and is left out without one (the
    // formatting is the costly part). `platform` is the running device's.
    static PKRCrashReportFields fromReport(const PKROVCrashReport& report, const std::string& platform,
                                           const OptionalString& logReporterKey);
    // nullopt for a property list without the log text.
    static std::optional<PKRCrashReportFields> fromAppKillReport(const platform::foundation::Value& plist);

    // One "<uuid>" element, its values escaped.
    static std::string uuidElement(const std::string& type, const std::string& arch, const std::string& uuid);
    // The report's binary images as "<uuid>" elements.
    static std::string appUUIDElements(const PKROVCrashReport& report);
    // The report's UUID in the platform's form (upper case, hyphenated); "" without one.
    static std::string uuidString(const PKROVCrashReport& report);
    static std::string stringOr(const platform::foundation::Value& v, const std::string& fallback = "");
};
