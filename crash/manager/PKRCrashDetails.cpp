#include "crash/manager/PKRCrashDetails.h"

#include "platform/foundation/Format.h"

PKRCrashDetails::PKRCrashDetails(std::string incidentIdentifier, std::string reporterKey, OptionalString signal,
                                 OptionalString exceptionName, OptionalString exceptionReason,
                                 std::optional<double> appStartTime, std::optional<double> crashTime,
                                 OptionalString osVersion, OptionalString osBuild, OptionalString appVersion,
                                 OptionalString appBuild, uint64_t appProcessIdentifier)
    : incidentIdentifier_(std::move(incidentIdentifier)), reporterKey_(std::move(reporterKey)),
      signal_(std::move(signal)), exceptionName_(std::move(exceptionName)),
      exceptionReason_(std::move(exceptionReason)), appStartTime_(appStartTime), crashTime_(crashTime),
      osVersion_(std::move(osVersion)), osBuild_(std::move(osBuild)), appVersion_(std::move(appVersion)),
      appBuild_(std::move(appBuild)), appProcessIdentifier_(appProcessIdentifier) {}

bool PKRCrashDetails::isAppKill() const { return signal_ && platform::foundation::uppercased(*signal_) == "SIGKILL"; }
