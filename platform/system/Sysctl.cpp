#include "platform/system/Sysctl.h"

#include <sys/utsname.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/system/Host.h"

namespace platform::system {

namespace {

// The system version the played device reports.
constexpr const char* kOsProductVersion = "9.3";

struct Played {
    std::mutex mutex;
    std::string machine, model;
    std::string osrelease = "15.4.0";
    std::string osversion = "13E233";
};

Played& played() {
    static Played* p = [] {
        auto* p = new Played;
        utsname u;
        if (::uname(&u) == 0) p->machine = p->model = u.machine;
        return p;
    }();
    return *p;
}

int answer(const void* value, size_t size, void* oldp, size_t* oldlenp, const void* newp) {
    if (newp) {
        errno = EPERM;
        return -1;
    }
    if (!oldlenp) {
        errno = EINVAL;
        return -1;
    }
    if (!oldp) {
        *oldlenp = size;
        return 0;
    }
    if (*oldlenp < size) {
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(oldp, value, size);
    *oldlenp = size;
    return 0;
}

int answerString(const std::string& s, void* oldp, size_t* oldlenp, const void* newp) {
    return answer(s.c_str(), s.size() + 1, oldp, oldlenp, newp);
}

template <typename T>
int answerValue(T value, void* oldp, size_t* oldlenp, const void* newp) {
    return answer(&value, sizeof value, oldp, oldlenp, newp);
}

std::string playedValue(std::string Played::*field) {
    std::lock_guard lock(played().mutex);
    return played().*field;
}

// Seconds since 1970 at which the machine booted ("btime" of /proc/stat).
bool bootTime(int64_t* seconds) {
    std::ifstream in("/proc/stat");
    std::string key;
    while (in >> key) {
        if (key == "btime") return static_cast<bool>(in >> *seconds);
        in.ignore(1 << 20, '\n');
    }
    return false;
}

}  // namespace

void sysctl_set_played_system(const std::string& osrelease, const std::string& osversion) {
    std::lock_guard lock(played().mutex);
    played().osrelease = osrelease;
    played().osversion = osversion;
}

void sysctl_set_played_device(const std::string& machine, const std::string& model) {
    std::lock_guard lock(played().mutex);
    played().machine = machine;
    played().model = model;
}

bool sysctl_process_record(int32_t pid, kinfo_proc* record) {
    std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream statFile(dir + "/stat");
    std::string stat;
    if (pid <= 0 || !std::getline(statFile, stat)) {
        errno = ESRCH;
        return false;
    }
    // "pid (comm) state ppid ..." where comm may itself hold spaces and ')'.
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        errno = ESRCH;
        return false;
    }
    std::string comm = stat.substr(open + 1, close - open - 1);
    std::istringstream rest(stat.substr(close + 1));
    std::string field;
    int64_t ppid = 0;
    unsigned long long startTicks = 0;
    // Fields after comm: 3 state, 4 ppid, ..., 22 starttime.
    for (int n = 3; n <= 22 && rest >> field; ++n) {
        if (n == 4) ppid = std::stoll(field);
        if (n == 22) startTicks = std::stoull(field);
    }
    std::memset(record, 0, sizeof *record);
    record->kp_proc.p_pid = pid;
    record->kp_eproc.e_ppid = static_cast<int32_t>(ppid);
    std::strncpy(record->kp_proc.p_comm, comm.c_str(), MAXCOMLEN);
    int64_t boot = 0;
    long ticks = sysconf(_SC_CLK_TCK);
    if (bootTime(&boot) && ticks > 0) {
        record->kp_proc.p_starttime.tv_sec = static_cast<time_t>(boot + static_cast<int64_t>(startTicks / ticks));
        record->kp_proc.p_starttime.tv_usec =
            static_cast<suseconds_t>((startTicks % ticks) * 1000000 / static_cast<unsigned long long>(ticks));
    }
    std::ifstream status(dir + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("TracerPid:", 0) == 0 && std::stol(line.substr(10)) != 0) record->kp_proc.p_flag |= P_TRACED;
    return true;
}

int sysctl(const int* name, unsigned namelen, void* oldp, size_t* oldlenp, const void* newp, size_t) {
    if (!name || namelen < 2) {
        errno = EINVAL;
        return -1;
    }
    if (name[0] == CTL_KERN && name[1] == KERN_PROC && namelen == 4 && name[2] == KERN_PROC_PID) {
        kinfo_proc record;
        if (!oldp) return answerValue(record, oldp, oldlenp, newp);
        if (!sysctl_process_record(name[3], &record)) {
            // The platform answers an empty result for a process it does not know.
            if (oldlenp && !newp) {
                *oldlenp = 0;
                return 0;
            }
        }
        return answerValue(record, oldp, oldlenp, newp);
    }
    if (namelen == 2) {
        std::string Played::*played = nullptr;
        if (name[0] == CTL_KERN && name[1] == KERN_OSRELEASE) played = &Played::osrelease;
        if (name[0] == CTL_KERN && name[1] == KERN_OSVERSION) played = &Played::osversion;
        if (name[0] == CTL_HW && name[1] == HW_MACHINE) played = &Played::machine;
        if (name[0] == CTL_HW && name[1] == HW_MODEL) played = &Played::model;
        if (played) return answerString(playedValue(played), oldp, oldlenp, newp);
        if (name[0] == CTL_HW && name[1] == HW_NCPU) return answerValue(host_logical_cpus(), oldp, oldlenp, newp);
        if (name[0] == CTL_HW && name[1] == HW_MEMSIZE) return answerValue(host_memory_size(), oldp, oldlenp, newp);
    }
    errno = ENOENT;
    return -1;
}

int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen) {
    if (!name) {
        errno = EINVAL;
        return -1;
    }
    struct Named {
        const char* name;
        int mib[2];
    };
    static constexpr Named kNamed[] = {
        {"kern.osrelease", {CTL_KERN, KERN_OSRELEASE}},
        {"kern.osversion", {CTL_KERN, KERN_OSVERSION}},
        {"hw.machine", {CTL_HW, HW_MACHINE}},
        {"hw.model", {CTL_HW, HW_MODEL}},
        {"hw.ncpu", {CTL_HW, HW_NCPU}},
        {"hw.memsize", {CTL_HW, HW_MEMSIZE}},
    };
    const std::string n = name;
    for (const Named& named : kNamed)
        if (n == named.name) return sysctl(named.mib, 2, oldp, oldlenp, newp, newlen);
    if (n == "kern.osproductversion") return answerString(kOsProductVersion, oldp, oldlenp, newp);
    if (n == "hw.cputype") return answerValue(int32_t{host_cpu_type()}, oldp, oldlenp, newp);
    if (n == "hw.cpusubtype") return answerValue(int32_t{host_cpu_subtype()}, oldp, oldlenp, newp);
    if (n == "hw.physicalcpu" || n == "hw.physicalcpu_max")
        return answerValue(host_physical_cpus(), oldp, oldlenp, newp);
    if (n == "hw.logicalcpu" || n == "hw.logicalcpu_max") return answerValue(host_logical_cpus(), oldp, oldlenp, newp);
    errno = ENOENT;
    return -1;
}

}  // namespace platform::system
