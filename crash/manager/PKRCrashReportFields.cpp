#include "crash/manager/PKRCrashReportFields.h"

#include <regex>

#include "crash/capture/report/PKROVCrashReport.h"
#include "crash/manager/PKRCrashReportTextFormatter.h"
#include "platform/foundation/Format.h"

namespace pf = platform::foundation;
using pf::Value;

std::string PKRCrashReportFields::uuidElement(const std::string& type, const std::string& arch,
                                              const std::string& uuid) {
    return "<uuid type=\"" + pf::escapeMarkup(type) + "\" arch=\"" + pf::escapeMarkup(arch) + "\">" +
           pf::escapeMarkup(uuid) + "</uuid>";
}

namespace {

// The elements of an app-kill report's stored list, made again with every
// value escaped; anything else is dropped.
std::string reescapedUUIDElements(const std::string& stored) {
    static const std::regex element(R"re(<uuid type="([^"<>]*)" arch="([^"<>]*)">([^<>]*)</uuid>)re");
    std::string out;
    for (auto it = std::sregex_iterator(stored.begin(), stored.end(), element); it != std::sregex_iterator(); ++it)
        out += PKRCrashReportFields::uuidElement((*it)[1], (*it)[2], (*it)[3]);
    return out;
}

}  // namespace

std::string PKRCrashReportFields::stringOr(const Value& v, const std::string& fallback) {
    return v.isString() ? v.string() : fallback;
}

std::string PKRCrashReportFields::uuidString(const PKROVCrashReport& report) {
    if (!report.uuidRef()) return "";
    const auto& u = *report.uuidRef();
    return pf::format("%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0], u[1], u[2], u[3],
                      u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
}

std::string PKRCrashReportFields::appUUIDElements(const PKROVCrashReport& report) {
    std::string out;
    Value list = PKRCrashReportTextFormatter::arrayOfAppUUIDsForCrashReport(report);
    if (!list.isArray()) return out;
    for (const Value& entry : list.array()) {
        if (!entry.isDictionary()) continue;
        const Value &type = entry["type"], &arch = entry["arch"], &uuid = entry["uuid"];
        if (type.isString() && arch.isString() && uuid.isString())
            out += uuidElement(type.string(), arch.string(), uuid.string());
    }
    return out;
}

PKRCrashReportFields PKRCrashReportFields::fromReport(const PKROVCrashReport& report, const std::string& platform,
                                                      const OptionalString& logReporterKey) {
    PKRCrashReportFields f;
    f.uuid = uuidString(report);
    if (logReporterKey) f.log = PKRCrashReportTextFormatter::stringValueForCrashReport(report, *logReporterKey);
    if (const auto& app = report.applicationInfo()) {
        f.bundleIdentifier = app->applicationIdentifier();
        f.marketingVersion = app->applicationMarketingVersion();
        f.version = app->applicationVersion();
    }
    if (const auto& sys = report.systemInfo()) {
        f.osVersion = sys->operatingSystemVersion();
        f.osBuild = sys->operatingSystemBuild();
        f.crashTime = sys->timestamp();
    }
    f.platform = platform;
    f.uuids = appUUIDElements(report);
    if (report.signalInfo()) f.signal = report.signalInfo()->name();
    if (report.hasExceptionInfo()) {
        f.exceptionName = report.exceptionInfo()->exceptionName();
        f.exceptionReason = report.exceptionInfo()->exceptionReason();
    }
    if (report.hasProcessInfo()) {
        f.startTime = report.processInfo()->processStartTime();
        f.processID = report.processInfo()->processID();
    }
    if (!f.startTime || !f.crashTime) f.startTime.reset(), f.crashTime.reset();
    return f;
}

std::optional<PKRCrashReportFields> PKRCrashReportFields::fromAppKillReport(const Value& p) {
    if (!p.isDictionary() || !p["PKRFakeCrashAppString"].isString()) return std::nullopt;
    PKRCrashReportFields f;
    f.uuids = reescapedUUIDElements(stringOr(p["PKRFakeCrashAppBinaryUUID"]));
    f.bundleIdentifier = stringOr(p["PKRFakeCrashAppBundleIdentifier"]);
    f.osVersion = stringOr(p["PKRFakeCrashOSVersion"]);
    f.platform = stringOr(p["PKRFakeCrashDeviceModel"]);
    if (p["PKRFakeCrashAppMarketingVersion"].isString())
        f.marketingVersion = p["PKRFakeCrashAppMarketingVersion"].string();
    f.version = stringOr(p["PKRFakeCrashAppVersion"]);
    f.uuid = stringOr(p["PKRFakeCrashUUID"]);
    f.log = p["PKRFakeCrashAppString"].string();
    return f;
}
