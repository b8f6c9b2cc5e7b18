#include "crash/capture/info/PKROVCrashHostInfo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "crash/capture/async/SysctlRead.h"
#include "crash/capture/info/OVCrashReporterError.h"
#include "platform/foundation/Log.h"

namespace pf = platform::foundation;

std::shared_ptr<PKROVCrashHostInfo> PKROVCrashHostInfo::currentHostInfo() {
    auto info = std::make_shared<PKROVCrashHostInfo>();
    return info->valid() ? info : nullptr;
}

PKROVCrashHostInfo::PKROVCrashHostInfo() {
    char* release = ovcrash::sysctl_string_copy("kern.osrelease");
    if (!release) {
        int err = errno;
        pf::logf("%sFailed to fetch kern.osrelease value %d: %s", OVCrashReporterWarningPrefix, err,
                 std::strerror(err));
        return;
    }
    valid_ = true;
    // major "." minor "." revision; the numbers before a fault stay.
    const char* p = release;
    intptr_t* parts[] = {&darwinVersion_.major, &darwinVersion_.minor, &darwinVersion_.revision};
    for (size_t i = 0; i < 3; ++i) {
        char* end = nullptr;
        bool ok = i == 0 || *p++ == '.';
        long long v = 0;
        if (ok) {
            errno = 0;
            ok = *p >= '0' && *p <= '9';
            v = std::strtoll(p, &end, 10);
            ok = ok && errno == 0;
        }
        if (!ok) {
            pf::logf("%sUnexpected kern.osrelease string format: %s", OVCrashReporterWarningPrefix, release);
            break;
        }
        *parts[i] = static_cast<intptr_t>(v);
        p = end;
    }
    std::free(release);
}
