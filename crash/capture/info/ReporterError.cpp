#include "crash/capture/info/ReporterError.h"

namespace ovcrash {

namespace pf = platform::foundation;

void reporter_error_populate(pf::Error* error, OVCrashReporterError code, const std::string& description,
                             const pf::Error* underlying) {
    if (!error) return;
    *error = pf::Error::withDescription(OVCrashReporterErrorDomain, code, description);
    if (underlying) {
        pf::Value u = pf::Value::emptyDictionary();
        u["domain"] = underlying->domain;
        u["code"] = underlying->code;
        u["userInfo"] = underlying->userInfo;
        error->userInfo[kOVCrashUnderlyingErrorKey] = std::move(u);
    }
}

void reporter_error_populate_mach(pf::Error* error, platform::system::kern_return_t kr,
                                  const std::string& description) {
    pf::Error underlying(kOVCrashMachErrorDomain, kr);
    reporter_error_populate(error, OVCrashReporterErrorOperatingSystem, description, &underlying);
}

void reporter_error_populate_posix(pf::Error* error, int err, const std::string& description) {
    pf::Error underlying(pf::kPOSIXErrorDomain, err);
    reporter_error_populate(error, OVCrashReporterErrorOperatingSystem, description, &underlying);
}

}  // namespace ovcrash
