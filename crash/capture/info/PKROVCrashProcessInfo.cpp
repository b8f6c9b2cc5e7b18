#include "crash/capture/info/PKROVCrashProcessInfo.h"

#include <unistd.h>

#include "platform/system/Sysctl.h"

namespace ps = platform::system;

std::shared_ptr<PKROVCrashProcessInfo> PKROVCrashProcessInfo::currentProcessInfo() {
    auto info = std::make_shared<PKROVCrashProcessInfo>(static_cast<int32_t>(getpid()));
    return info->valid() ? info : nullptr;
}

PKROVCrashProcessInfo::PKROVCrashProcessInfo(int32_t processID) {
    int mib[] = {ps::CTL_KERN, ps::KERN_PROC, ps::KERN_PROC_PID, processID};
    ps::kinfo_proc record{};
    size_t size = sizeof record;
    // An unknown process answers success with nothing in the buffer.
    if (ps::sysctl(mib, 4, &record, &size, nullptr, 0) != 0 || size == 0) return;
    traced_ = (record.kp_proc.p_flag & ps::P_TRACED) != 0;
    const auto* comm = reinterpret_cast<const uint8_t*>(record.kp_proc.p_comm);
    size_t nameLength = ovcrash::utf8_prefix_length(comm, ps::MAXCOMLEN);
    processName_.assign(reinterpret_cast<const char*>(comm), nameLength);
    processID_ = processID;
    parentProcessID_ = record.kp_eproc.e_ppid;
    startTime_ = record.kp_proc.p_starttime;
    valid_ = true;
}
