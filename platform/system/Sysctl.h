#pragma once
// Stand-in for the kernel's system control interface (sysctl, sysctlbyname).
//
// Models: the names crash capture and its clients read, with the platform's
// types and error numbers (ENOENT for an unknown name, ENOMEM for a buffer too
// small, the size alone for a null buffer, EPERM for a write). Where the
// answer is the played platform's it plays it: "hw.machine" and "hw.model" of
// the played device (set by the application from --device), "hw.cputype" and
// "hw.cpusubtype" of the played processor (Host.h), "kern.osrelease",
// "kern.osversion" and "kern.osproductversion" of the played system (Darwin
// 15.4.0, build 13E233, system version 9.3). Where Linux has the fact it answers from Linux:
// processor counts, memory size and process records (/proc/<pid>/stat and
// status). Differs: only these names exist, and a process record holds only
// the fields below. Not async-signal-safe: nothing at crash time calls it.
#include <sys/time.h>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::system {

inline constexpr int CTL_KERN = 1;
inline constexpr int CTL_HW = 6;
inline constexpr int KERN_OSRELEASE = 2;
inline constexpr int KERN_PROC = 14;
inline constexpr int KERN_PROC_PID = 1;
inline constexpr int KERN_OSVERSION = 65;
inline constexpr int HW_MACHINE = 1;
inline constexpr int HW_MODEL = 2;
inline constexpr int HW_NCPU = 3;
inline constexpr int HW_MEMSIZE = 24;

inline constexpr int32_t P_TRACED = 0x00000800;
inline constexpr int MAXCOMLEN = 16;

// The parts of a process record that the system reads.
struct extern_proc {
    timeval p_starttime;  // when the process started
    int32_t p_flag;       // P_TRACED while a tracer is attached
    int32_t p_pid;
    char p_comm[MAXCOMLEN + 1];  // command name, NUL-terminated
};
struct eproc {
    int32_t e_ppid;  // parent process
};
struct kinfo_proc {
    extern_proc kp_proc;
    eproc kp_eproc;
};

int sysctl(const int* name, unsigned namelen, void* oldp, size_t* oldlenp, const void* newp, size_t newlen);
int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen);

// The device the application plays (--device): its hardware identifier
// ("iPhone7,2") and model ("iPhone"). Until set: the uname machine field.
void sysctl_set_played_device(const std::string& machine, const std::string& model);

// The system the application plays: its Darwin release ("15.4.0") and build.
void sysctl_set_played_system(const std::string& osrelease, const std::string& osversion);

// The record of process `pid` from /proc; false (errno set) when there is none.
bool sysctl_process_record(int32_t pid, kinfo_proc* record);

}  // namespace platform::system
