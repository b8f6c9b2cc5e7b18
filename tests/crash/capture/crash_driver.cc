// The crash tests' driver: enables the crash reporter once, then for each
// run forks a child that crashes by the kind asked for and keeps the report
// it left as <out>/<kind>-<run>.ovcrash, with what the child knew before it
// crashed in <kind>-<run>.facts ("pid threads function status hung images
// caller map-reads", the last the reads of the process's map its report
// made, -1 where not counted). The
// test reads both back; the driver itself decodes nothing, so that it also
// builds for 64-bit ARM with the crash path alone.
//
// With --mach first, each child enables a reporter in Mach mode itself (a
// forked child has no server thread of its parent's), and the "forwarded"
// kinds expect no report: an earlier exception handler mends the fault.
// With --symbols the reporter names the frames by both strategies.
//
// crash_driver [--mach] [--symbols] <out-dir> <runs> <kind>...
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "crash/capture/handler/CrashTimeContext.h"
#include "crash/capture/image/ImageList.h"
#include "platform/system/MachThread.h"
#include "platform/system/ProcessMaps.h"

#if QM_DRIVER_FRONT
#include "crash/capture/PKROVCrashReporter.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/Thread.h"
#include "platform/system/Loader.h"
#include "platform/system/MachException.h"
#endif

#if QM_DRIVER_NAMES_R_DEBUG
// Named as a debugger helper or a profiler may name it: the program gets a
// copy of the linker's r_debug of its own, made at start-up and never
// updated.
[[gnu::used, gnu::noinline]] int linkerState() { return _r_debug.r_state; }
#endif

namespace {

// Milliseconds of the monotonic clock: a loaded machine stretches every poll,
// so bounds are kept in time, not in turns.
int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// What a child tells its parent before it crashes.
struct Facts {
    std::atomic<int> ready;
    int32_t threads;
    uint64_t function;  // where the crashed thread's first frame must lie
    int32_t images;     // in the reporter's image list
    uint64_t caller;    // where the second frame must lie, when known
    int32_t mapReads;   // by the report, once it is written; -1 when not counted
};
Facts* gFacts;

std::string gReportPath;

int countThreads() {
    platform::system::thread_act_array_t list;
    platform::system::mach_msg_type_number_t n = 0;
    if (platform::system::task_threads(platform::system::mach_task_self(), &list, &n) != 0) return -1;
    platform::system::task_threads_release(list);
    return int(n);
}

int countImages() {
    ovcrash::image_list* list = ovcrash::shared_image_list();
    ovcrash::image_list_set_reading(list, true);
    int n = 0;
    for (auto* image = ovcrash::image_list_next(list, nullptr); image; image = ovcrash::image_list_next(list, image))
        ++n;
    ovcrash::image_list_set_reading(list, false);
    return n;
}

// The child's reads of its map before it crashed.
uint32_t gMapReadsBefore = 0;

// Has the report, once written, tell how often it read the process's map.
void countMapReads() {
    static const OVCrashReporterCallbacks callbacks{
        0, nullptr, [](siginfo_t*, ucontext_t*, void*) {
            gFacts->mapReads = int32_t(platform::system::process_maps_opened() - gMapReadsBefore);
        }};
    ovcrash::crash_reporter_set_callbacks(&callbacks);
}

void announce(const void* function, const void* caller = nullptr) {
    gMapReadsBefore = platform::system::process_maps_opened();
    gFacts->threads = countThreads();
    gFacts->images = countImages();
    gFacts->function = reinterpret_cast<uint64_t>(function);
    gFacts->caller = reinterpret_cast<uint64_t>(caller);
    gFacts->ready.store(1);
}

// The faults are the point: the sanitizers must not stop them first.
#define CRASHING [[gnu::noinline, gnu::no_sanitize("undefined", "address")]]

int* volatile gNull = nullptr;
// Unmapped in every build: below it lie the address sanitizer's shadow and
// its guard, above it its allocator.
int* volatile gWild = reinterpret_cast<int*>(0x50000000bef0ull);
volatile int gZero = 0;
volatile int gSeven = 7;
volatile int gSink;

CRASHING void crashNull() { *gNull = 1; }
CRASHING void crashWild() { *gWild = 1; }
CRASHING void crashBus(volatile int* beyondEnd) { *beyondEnd = 1; }
CRASHING void crashIll() {
#if defined(__x86_64__)
    asm volatile("ud2");
#else
    asm volatile(".inst 0x00000000");  // permanently undefined
#endif
}
CRASHING void crashTrap() {
#if defined(__x86_64__)
    asm volatile("int3");
#else
    asm volatile("brk #0");
#endif
}
CRASHING void crashFpe() { gSink = gSeven / gZero; }
CRASHING void crashAbort() { abort(); }
// Recurses until the stack runs out (the test never returns from it).
volatile bool gForever = true;
CRASHING int recurse(int depth) {
    volatile char pad[256];
    pad[0] = char(depth);
    return (gForever ? recurse(depth + 1) : 0) + pad[0];
}

// A call chain built without frame pointers, each function with a frame of
// its own and work after its call (no tail call): only the unwind tables lead
// from the faulting leaf back to the caller.
#define NO_FRAME_POINTER \
    [[gnu::noinline, gnu::optimize("omit-frame-pointer"), gnu::no_sanitize("undefined", "address")]]
NO_FRAME_POINTER void crashWithoutFramePointer(int depth) {
    volatile int pad[24];
    pad[depth % 24] = depth;
    *gNull = pad[0];
}
NO_FRAME_POINTER void withoutFramePointer2(int depth) {
    volatile int pad[40];
    pad[depth % 40] = depth;
    crashWithoutFramePointer(depth + 1);
    gSink = pad[1];
}
NO_FRAME_POINTER void withoutFramePointer1(int depth) {
    volatile int pad[8];
    pad[depth % 8] = depth;
    withoutFramePointer2(depth + 1);
    gSink = pad[1];
}

void* threadCrashNull(void* start) {
    auto* go = static_cast<std::atomic<int>*>(start);
    go->fetch_add(1);
    // Yielding, so that sixteen waiting threads leave the others a processor.
    while (go->load() >= 0) sched_yield();
    crashNull();
    return nullptr;
}

// Starts n threads that wait for the word to turn negative, then crash at once.
std::atomic<int> gGo{0};
void crashingThreads(int n) {
    for (int i = 0; i < n; ++i) {
        pthread_t t;
        pthread_create(&t, nullptr, threadCrashNull, &gGo);
    }
    while (gGo.load() < n) sched_yield();
    announce(reinterpret_cast<const void*>(crashNull));
    gGo.store(-1);
    for (;;) pause();
}

// Starts n threads that each go depth calls deep and wait there, then
// crashes on this one: more frames than a report has room for.
std::atomic<int> gDeep{0};
[[gnu::noinline]] int deepen(int depth) {
    volatile char pad[32];
    pad[0] = char(depth);
    if (depth > 1) return deepen(depth - 1) + pad[0];
    gDeep.fetch_add(1);
    while (gForever) pause();
    return 0;
}

void deepThreads(int n, int depth) {
    for (int i = 0; i < n; ++i) {
        pthread_t t;
        pthread_create(
            &t, nullptr, [](void* d) -> void* { return reinterpret_cast<void*>(intptr_t(deepen(int(intptr_t(d))))); },
            reinterpret_cast<void*>(intptr_t(depth)));
    }
    while (gDeep.load() < n) sched_yield();
    announce(reinterpret_cast<const void*>(crashNull));
    crashNull();
}

// Holds the allocator's lock: malloc_stats() prints with its arena locked,
// and the printing blocks on a pipe nobody reads.
void* holdAllocatorLock(void*) {
    malloc_stats();
    return nullptr;
}

bool threadBlocked(pid_t tid) {
    char path[64], buf[512];
    snprintf(path, sizeof path, "/proc/self/task/%d/stat", tid);
    int fd = open(path, O_RDONLY);
    if (fd < 0) return false;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = 0;
    const char* state = strrchr(buf, ')');
    return state && state[1] == ' ' && state[2] == 'S';
}

void crashWhileAllocatorLocked() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK) != 0) _exit(70);
    char fill[4096] = {};
    while (write(fds[1], fill, sizeof fill) > 0) {
    }
    fcntl(fds[1], F_SETFL, 0);  // the next write blocks
    dup2(fds[1], 2);
    std::atomic<pid_t> tid{0};
    pthread_t t;
    pthread_create(
        &t, nullptr,
        [](void* arg) -> void* {
            static_cast<std::atomic<pid_t>*>(arg)->store(pid_t(syscall(SYS_gettid)));
            return holdAllocatorLock(nullptr);
        },
        &tid);
    while (tid.load() == 0 || !threadBlocked(tid.load())) {
    }
    announce(reinterpret_cast<const void*>(crashNull));
    crashNull();
}

#if QM_DRIVER_FRONT
std::shared_ptr<PKROVCrashReporter> gMachReporter;
// The reporter enabled for signals, which live reports are asked of.
std::shared_ptr<PKROVCrashReporter> gReporter;

// An exception handler registered before the reporter: it makes the page the
// fault hit writable and answers success, so the faulting thread goes on.
struct EarlierHandler {
    platform::system::mach_port_t port = 0;
    void* page = nullptr;
};
EarlierHandler gEarlier;

void* serveEarlier(void*) {
    namespace ps = platform::system;
    alignas(8) uint8_t buffer[4096];
    for (;;) {
        auto* request = reinterpret_cast<ps::mach_msg_header_t*>(buffer);
        if (ps::mach_msg(request, ps::MACH_RCV_MSG, 0, sizeof buffer, gEarlier.port, 0, 0) != 0) return nullptr;
        mprotect(gEarlier.page, 4096, PROT_READ | PROT_WRITE);
        struct {
            ps::mach_msg_header_t header;
            ps::NDR_record_t ndr;
            int32_t retCode, flavor;
            uint32_t count;
            uint32_t state[ps::THREAD_STATE_MAX];
        } reply{};
        // A state reply hands the old state back unchanged.
        bool withState = request->msgh_id != ps::EXCEPTION_RAISE_ID;
        uint32_t stateAt = request->msgh_size - ps::MACHINE_THREAD_STATE_COUNT * 4;
        reply.header = {ps::MACH_MSGH_BITS(ps::MACH_MSGH_BITS_REMOTE(request->msgh_bits), 0),
                        36,
                        request->msgh_remote_port,
                        0,
                        0,
                        request->msgh_id + 100};
        reply.ndr = ps::NDR_record;
        if (withState) {
            reply.flavor = ps::MACHINE_THREAD_STATE;
            reply.count = ps::MACHINE_THREAD_STATE_COUNT;
            memcpy(reply.state, buffer + stateAt, ps::MACHINE_THREAD_STATE_COUNT * 4);
            reply.header.msgh_size = 44 + ps::MACHINE_THREAD_STATE_COUNT * 4;
        }
        ps::mach_msg(&reply.header, ps::MACH_SEND_MSG, reply.header.msgh_size, 0, 0, 0, 0);
    }
}

void registerEarlierHandler(platform::system::exception_behavior_t behavior) {
    namespace ps = platform::system;
    gEarlier.page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ps::mach_port_allocate(ps::mach_task_self(), ps::MACH_PORT_RIGHT_RECEIVE, &gEarlier.port);
    ps::mach_port_insert_right(ps::mach_task_self(), gEarlier.port, gEarlier.port, ps::MACH_MSG_TYPE_MAKE_SEND);
    ps::task_set_exception_ports(ps::mach_task_self(), ps::EXC_MASK_BAD_ACCESS, gEarlier.port, behavior,
                                 ps::MACHINE_THREAD_STATE);
    pthread_t t;
    pthread_create(&t, nullptr, serveEarlier, nullptr);
}
#endif

#if QM_DRIVER_FRONT
// Calls into a library closed with a plain dlclose, as drivers close theirs:
// the loader still lists it, and the call faults at the first instruction of
// its unmapped code.
[[gnu::noinline]] void crashInUnloadedLibrary() {
    void* handle = dlopen(QM_REPLACEABLE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!handle) _exit(71);
    auto work = reinterpret_cast<int (*)(int)>(dlsym(handle, "library_version1_work"));
    // Listed now, as a library opened through the platform would be.
    platform::system::dyld_rescan();
    dlclose(handle);
    if (!work || dlopen(QM_REPLACEABLE_LIBRARY, RTLD_NOW | RTLD_NOLOAD)) _exit(72);  // not unloaded
    announce(reinterpret_cast<const void*>(work));
    gSink = work(gSeven);
}
#endif

#if QM_DRIVER_FRONT
std::string gOut;

// Calls into a library whose file was cut to 64 bytes in place once it was
// loaded, as a copy over a running program's library does: the library's
// pages, and any mapping of its file, now lie past the file's end.
[[gnu::noinline]] void crashInTruncatedLibrary() {
    const std::string copy = gOut + "/truncated_library.so";
    int from = open(QM_REPLACEABLE_LIBRARY, O_RDONLY | O_CLOEXEC);
    int to = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700);
    if (from < 0 || to < 0) _exit(73);
    char head[64];
    char buf[4096];
    ssize_t total = 0;
    for (ssize_t n; (n = read(from, buf, sizeof buf)) > 0; total += n) {
        if (total == 0 && n >= ssize_t(sizeof head)) memcpy(head, buf, sizeof head);
        if (write(to, buf, size_t(n)) != n) _exit(73);
    }
    close(from);
    close(to);
    if (total < ssize_t(sizeof head)) _exit(73);
    void* handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) _exit(71);
    auto work = reinterpret_cast<int (*)(int)>(dlsym(handle, "library_version1_work"));
    if (!work) _exit(72);
    // Listed now, as a library opened through the platform would be.
    platform::system::dyld_rescan();
    to = open(copy.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (to < 0 || write(to, head, sizeof head) != ssize_t(sizeof head)) _exit(74);
    close(to);
    announce(reinterpret_cast<const void*>(work));
    gSink = work(gSeven);
}

// Calls into a library, with work after the call.
[[gnu::noinline]] int callIntoLibrary(int (*function)(int)) {
    int result = function(gSeven);
    gSink = result;
    return result + 1;
}

// Opens the library that the loader has not heard of, with a plain dlopen;
// its function that faults.
int (*openedLibraryCrash())(int) {
    void* handle = dlopen(QM_OPENED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    auto crash = handle ? reinterpret_cast<int (*)(int)>(dlsym(handle, "opened_library_crash")) : nullptr;
    if (!crash) _exit(71);
    return crash;
}

// Crashes in a library opened with a plain dlopen after the reporter
// started, as a plugin or driver that some library opens would be: the
// loader has not heard of it.
void crashInOpenedLibrary() {
    auto crash = openedLibraryCrash();
    announce(reinterpret_cast<const void*>(crash), reinterpret_cast<const void*>(callIntoLibrary));
    callIntoLibrary(crash);
}

// Copies a file; false when it could not be copied whole.
bool copyFile(const char* from, const std::string& to) {
    int in = open(from, O_RDONLY | O_CLOEXEC);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700);
    bool copied = in >= 0 && out >= 0;
    char buf[65536];
    for (ssize_t n; copied && (n = read(in, buf, sizeof buf)) != 0;) copied = n > 0 && write(out, buf, size_t(n)) == n;
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return copied;
}

// Crashes in a library opened with a plain dlopen while another thread is
// stuck inside a dlopen of its own: the library it opens needs one whose
// file is a FIFO that nobody writes to, so the linker's list stays marked
// as changing.
void crashWhileAnotherIsInsideDlopen() {
    auto crash = openedLibraryCrash();
    static std::string stuck = gOut + "/" + std::to_string(getpid()) + "-stuck";
    mkdir(stuck.c_str(), 0700);
    const std::string fifo = stuck + "/" + QM_STUCK_DEPENDENCY_NAME;
    if (!copyFile(QM_STUCK_LIBRARY, stuck + "/stuck_library.so") || mkfifo(fifo.c_str(), 0600) != 0) _exit(72);
    pthread_t t;
    pthread_create(
        &t, nullptr,
        [](void*) -> void* {
            dlopen((stuck + "/stuck_library.so").c_str(), RTLD_NOW | RTLD_LOCAL);
            _exit(73);  // never: its dependency never comes
        },
        nullptr);
    // Once the linker opens the FIFO to read it, this end keeps it waiting
    // for bytes that never come.
    int writer = -1;
    for (const int64_t deadline = nowMs() + 60000; writer < 0 && nowMs() < deadline; poll(nullptr, 0, 1))
        writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer < 0) _exit(74);
    announce(reinterpret_cast<const void*>(crash), reinterpret_cast<const void*>(callIntoLibrary));
    callIntoLibrary(crash);
}

// Crashes in a library opened with a plain dlopen while eight threads open
// and close fifty others as fast as they can.
std::atomic<long> gChurned{0};
void crashWhileOthersOpenAndClose() {
    auto crash = openedLibraryCrash();
    constexpr int kLibraries = 50, kThreads = 8;
    static std::vector<std::string> libraries;
    for (int i = 0; i < kLibraries; ++i) {
        libraries.push_back(gOut + "/churn-" + std::to_string(i) + ".so");
        if (access(libraries.back().c_str(), R_OK) != 0 &&
            !copyFile(QM_REPLACEABLE_LIBRARY, libraries.back() + "." + std::to_string(getpid())))
            _exit(72);
        rename((libraries.back() + "." + std::to_string(getpid())).c_str(), libraries.back().c_str());
    }
    for (int t = 0; t < kThreads; ++t) {
        pthread_t thread;
        pthread_create(
            &thread, nullptr,
            [](void* seed) -> void* {
                for (unsigned i = unsigned(intptr_t(seed));; i = i * 1103515245u + 12345u) {
                    void* h = dlopen(libraries[(i >> 8) % kLibraries].c_str(), RTLD_NOW | RTLD_LOCAL);
                    if (h) dlclose(h);
                    gChurned.fetch_add(1);
                }
            },
            reinterpret_cast<void*>(intptr_t(t + 1)));
    }
    // Crashes at some moment of the churn, not at its start.
    const long until = 200 + long(getpid() % 97) * 5;
    for (const int64_t deadline = nowMs() + 60000; gChurned.load() < until && nowMs() < deadline;) sched_yield();
    announce(reinterpret_cast<const void*>(crash), reinterpret_cast<const void*>(callIntoLibrary));
    callIntoLibrary(crash);
}

// Crashes in a library opened with a plain dlopen that the linker's list no
// longer holds, as a list caught torn would not: its entry is taken out of
// the chain by hand just before the crash.
void crashInUnlistedLibrary() {
    auto crash = openedLibraryCrash();
    void* handle = dlopen(QM_OPENED_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    link_map* entry = nullptr;
    if (!handle || dlinfo(handle, RTLD_DI_LINKMAP, &entry) != 0 || !entry || !entry->l_prev) _exit(71);
    announce(reinterpret_cast<const void*>(crash), reinterpret_cast<const void*>(callIntoLibrary));
    entry->l_prev->l_next = entry->l_next;
    if (entry->l_next) entry->l_next->l_prev = entry->l_prev;
    callIntoLibrary(crash);
}

// Opens `count` copies of the opened library, each with a plain dlopen after
// the reporter started; the last one's function that faults.
int (*openCopies(int count))(int) {
    int (*crash)(int) = nullptr;
    for (int i = 0; i < count; ++i) {
        const std::string path = gOut + "/many-" + std::to_string(i) + ".so";
        if (access(path.c_str(), R_OK) != 0) {
            const std::string copy = path + "." + std::to_string(getpid());
            if (!copyFile(QM_OPENED_LIBRARY, copy)) _exit(72);
            rename(copy.c_str(), path.c_str());
        }
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        crash = handle ? reinterpret_cast<int (*)(int)>(dlsym(handle, "opened_library_crash")) : nullptr;
        if (!crash) _exit(71);
    }
    return crash;
}

// Crashes in the last of 1,100 copies of a library, each opened with a plain
// dlopen after the reporter started.
void crashInTheLastOfManyLibraries() {
    int (*crash)(int) = openCopies(1100);
    announce(reinterpret_cast<const void*>(crash), reinterpret_cast<const void*>(callIntoLibrary));
    callIntoLibrary(crash);
}

// Crashes in the last of 1,000 libraries opened after the reporter started
// while four threads ask for live reports one after another, on a worker
// that blocks every asynchronous signal: a live report cannot stop it, and
// it crashes once one has tried, while that report is under way.
int (*gLateCrash)(int) = nullptr;
void crashWhileLiveReportsAreMade() {
    gLateCrash = openCopies(1000);
    for (int i = 0; i < 4; ++i) {
        pthread_t t;
        pthread_create(
            &t, nullptr,
            [](void*) -> void* {
                for (;;) gReporter->generateLiveReport();
            },
            nullptr);
    }
    pthread_t worker;
    pthread_create(
        &worker, nullptr,
        [](void*) -> void* {
            // A fault signal blocked when the fault comes would end the
            // process without its handler.
            sigset_t asynchronous;
            sigfillset(&asynchronous);
            for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&asynchronous, sig);
            pthread_sigmask(SIG_BLOCK, &asynchronous, nullptr);
            announce(reinterpret_cast<const void*>(gLateCrash), reinterpret_cast<const void*>(callIntoLibrary));
            const int stop = platform::system::thread_control_signal();
            sigset_t pending;
            for (const int64_t deadline = nowMs() + 60000; nowMs() < deadline; sched_yield())
                if (sigpending(&pending) == 0 && sigismember(&pending, stop)) break;
            // Some way into the report.
            for (const int64_t until = nowMs() + getpid() % 16; nowMs() < until;) {
            }
            callIntoLibrary(gLateCrash);
            return nullptr;
        },
        nullptr);
    for (;;) pause();
}

// Crashes in a function of its own of a library built one of three ways
// ("plain", "no-eh-frame-hdr", "text-segment"), opened either as the loader
// hears of it ("early") or behind its back ("late").
void crashInCrashTimeLibrary(const std::string& kind) {
    const bool early = kind.rfind("early-", 0) == 0;
    const std::string variant = kind.substr(kind.find('-') + 1);
    const char* path = variant == "plain"                ? QM_CRASH_TIME_LIBRARY_PLAIN
                       : variant == "no-eh-frame-hdr"    ? QM_CRASH_TIME_LIBRARY_NO_EH_FRAME_HDR
                       : variant == "no-section-headers" ? QM_CRASH_TIME_LIBRARY_NO_SECTION_HEADERS
                                                         : QM_CRASH_TIME_LIBRARY_TEXT_SEGMENT;
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    auto enter = handle ? reinterpret_cast<int (*)(int)>(dlsym(handle, "crash_time_library_enter")) : nullptr;
    if (!enter) _exit(71);
    if (early) platform::system::dyld_rescan();
    announce(reinterpret_cast<const void*>(enter), reinterpret_cast<const void*>(callIntoLibrary));
    callIntoLibrary(enter);
}

// Opens a library, finds `symbol` in it, has the loader list it (as a library
// opened through the platform would be) and closes it with a plain dlclose;
// where the symbol was.
void* listedThenClosed(const char* path, const char* symbol) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    void* where = library ? dlsym(library, symbol) : nullptr;
    if (!where) _exit(71);
    platform::system::dyld_rescan();
    dlclose(library);
    return where;
}

// Crashes in a library without a build-id that replaced one the loader
// listed, in place: the first build was opened, listed and closed, the
// second renamed over its path and opened again where the first one was.
void crashInLibraryReplacedInPlace() {
    const std::string path = gOut + "/anonymous_library.so", next = gOut + "/anonymous_library.next";
    if (!copyFile(QM_ANONYMOUS_LIBRARY_1, path)) _exit(70);
    void* firstCrash = listedThenClosed(path.c_str(), "variant1_crash");
    if (!copyFile(QM_ANONYMOUS_LIBRARY_2, next) || rename(next.c_str(), path.c_str()) != 0) _exit(70);
    void* second = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto crash = second ? reinterpret_cast<int (*)(int)>(dlsym(second, "variant2_crash")) : nullptr;
    if (!crash) _exit(72);
    if (reinterpret_cast<void*>(crash) != firstCrash) _exit(73);  // not where the first one was
    announce(reinterpret_cast<const void*>(crash), reinterpret_cast<const void*>(callIntoLibrary));
    callIntoLibrary(crash);
}

// Crashes in code made at run time in a page mapped where a library the
// loader listed was, once it was closed with a plain dlclose.
void crashInCodeWhereALibraryWas() {
    void* where = listedThenClosed(QM_REPLACEABLE_LIBRARY, "library_version1_crash");
    if (dlopen(QM_REPLACEABLE_LIBRARY, RTLD_NOW | RTLD_NOLOAD)) _exit(72);  // not unloaded
    const long page = sysconf(_SC_PAGESIZE);
    auto* start = reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(where) & ~uintptr_t(page - 1));
    void* made =
        mmap(start, size_t(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (made != start) _exit(73);
#if defined(__x86_64__)
    const uint8_t code[] = {0x31, 0xc0, 0x8b, 0x00, 0xc3};  // xor eax, eax; mov eax, [rax]; ret
#else
    const uint8_t code[] = {0x00, 0x00, 0x80, 0xd2, 0x00, 0x00,
                            0x40, 0xb9, 0xc0, 0x03, 0x5f, 0xd6};  // x0 = 0; ldr w0, [x0]; ret
#endif
    memcpy(where, code, sizeof code);
    if (mprotect(start, size_t(page), PROT_READ | PROT_EXEC) != 0) _exit(74);
    __builtin___clear_cache(static_cast<char*>(where), static_cast<char*>(where) + sizeof code);
    announce(where, reinterpret_cast<const void*>(callIntoLibrary));
    callIntoLibrary(reinterpret_cast<int (*)(int)>(where));
}

// Crashes in a library opened with a plain dlopen where a library the
// loader listed was closed with a plain dlclose.
void crashInLibraryWhereAnotherWas() {
    void* firstCrash = listedThenClosed(QM_REPLACEABLE_LIBRARY, "library_version1_crash");
    void* second = dlopen(QM_REPLACEABLE_LIBRARY_2, RTLD_NOW | RTLD_LOCAL);
    auto crash = second ? reinterpret_cast<int (*)(int)>(dlsym(second, "library_version2_crash")) : nullptr;
    if (!crash) _exit(72);
    if (reinterpret_cast<void*>(crash) != firstCrash) _exit(73);  // not where the first one was
    announce(reinterpret_cast<const void*>(crash), reinterpret_cast<const void*>(callIntoLibrary));
    callIntoLibrary(crash);
}

// Copies of one library without a build-id, each opened with a plain dlopen
// after the reporter started, each calling into the next; the last faults.
[[gnu::noinline]] void crashAtTheBottomOfAChain(int links) {
    std::vector<int (*)(int, const void*)> steps(size_t(links) + 1, nullptr);
    for (int i = 0; i < links; ++i) {
        const std::string path = gOut + "/chain-" + std::to_string(i) + ".so";
        if (access(path.c_str(), R_OK) != 0) {
            const std::string copy = path + "." + std::to_string(getpid());
            if (!copyFile(QM_CHAIN_LIBRARY, copy)) _exit(72);
            rename(copy.c_str(), path.c_str());
        }
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        steps[size_t(i)] = handle ? reinterpret_cast<int (*)(int, const void*)>(dlsym(handle, "chain_step")) : nullptr;
        if (!steps[size_t(i)]) _exit(71);
    }
    countMapReads();
    announce(reinterpret_cast<const void*>(steps[size_t(links) - 1]),
             reinterpret_cast<const void*>(crashAtTheBottomOfAChain));
    gSink = steps[0](0, steps.data());
}

// The same, short, with a FIFO bound over the process's map in a user and
// mount namespace of the child's own. Exits 77 where the kernel refuses the
// namespace, 78 where it refuses the FIFO over the map.
void crashWithAFifoOverTheMap() {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) _exit(77);
    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    const std::string fifo = gOut + "/maps-fifo-" + std::to_string(getpid());
    if (mkfifo(fifo.c_str(), 0600) != 0) _exit(70);
    const std::string maps = "/proc/" + std::to_string(getpid()) + "/maps";
    if (mount(fifo.c_str(), maps.c_str(), nullptr, MS_BIND, nullptr) != 0) _exit(78);
    struct stat st;
    if (stat("/proc/self/maps", &st) != 0 || !S_ISFIFO(st.st_mode)) _exit(78);
    crashAtTheBottomOfAChain(3);
}

// Crashes once a library the loader listed, whose last segment lies 4 TiB
// past its first, was closed with a plain dlclose: whether anything lies in
// its range now is found at once, not a page at a time.
void crashAfterAVastLibraryClosed() {
    listedThenClosed(QM_VAST_LIBRARY, "vast_library_work");
    if (dlopen(QM_VAST_LIBRARY, RTLD_NOW | RTLD_NOLOAD)) _exit(72);  // not unloaded
    announce(reinterpret_cast<const void*>(crashNull));
    crashNull();
}
#endif

// Kept out of main: a crash's frames name it between the kind's chain and main.
[[gnu::noinline]] void runKind(const std::string& kind) {
#if QM_DRIVER_FRONT
    if (kind == "forwarded" || kind == "forwarded-state")
        registerEarlierHandler(kind == "forwarded" ? platform::system::EXCEPTION_DEFAULT
                                                   : platform::system::EXCEPTION_STATE_IDENTITY);
    platform::foundation::Error machError;
    if (gMachReporter && !gMachReporter->enableCrashReporter(&machError)) {
        fprintf(stderr, "enable failed: %s\n", machError.localizedDescription().c_str());
        _exit(2);
    }
    if (kind == "forwarded" || kind == "forwarded-state") {
        announce(nullptr);
        static_cast<volatile int*>(gEarlier.page)[0] = 42;
        _exit(static_cast<volatile int*>(gEarlier.page)[0] == 42 ? 0 : 3);
    }
    if (kind == "mach-writer-crash") {
        // As if this thread were the Mach server crashing inside its write.
        ovcrash::crash_reporter_claim_mach_write();
        announce(reinterpret_cast<const void*>(crashNull));
        crashNull();
    }
#endif
    if (kind == "segv-null") {
        announce(reinterpret_cast<const void*>(crashNull));
        crashNull();
    } else if (kind == "segv-wild") {
        announce(reinterpret_cast<const void*>(crashWild));
        crashWild();
    } else if (kind == "bus") {
        int fd = int(syscall(SYS_memfd_create, "bus", 0));
        auto* page = static_cast<int*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        announce(reinterpret_cast<const void*>(crashBus));
        crashBus(page);  // the file is empty: no page behind the mapping
    } else if (kind == "ill") {
        announce(reinterpret_cast<const void*>(crashIll));
        crashIll();
    } else if (kind == "fpe") {
        announce(reinterpret_cast<const void*>(crashFpe));
        crashFpe();
    } else if (kind == "abort") {
        announce(reinterpret_cast<const void*>(crashAbort));
        crashAbort();
    } else if (kind == "trap") {
        announce(reinterpret_cast<const void*>(crashTrap));
        crashTrap();
    } else if (kind == "no-frame-pointer") {
        announce(reinterpret_cast<const void*>(crashWithoutFramePointer));
        withoutFramePointer1(0);
    } else if (kind == "overflow-main") {
        announce(reinterpret_cast<const void*>(recurse));
        recurse(0);
    } else if (kind == "crash2") {
        crashingThreads(2);
    } else if (kind == "crash16") {
        crashingThreads(16);
    } else if (kind == "deep60") {
        deepThreads(60, 600);
    } else if (kind == "malloc-lock") {
        crashWhileAllocatorLocked();
    } else if (kind == "kill") {
        // The parent sends SIGSEGV once the child is ready.
        announce(nullptr);
        for (;;) pause();
#if QM_DRIVER_FRONT
    } else if (kind == "exception") {
        announce(nullptr);
        platform::foundation::Exception::raise("DriverException", "raised on purpose");
    } else if (kind == "unloaded-library") {
        crashInUnloadedLibrary();
    } else if (kind == "truncated-library") {
        crashInTruncatedLibrary();
    } else if (kind == "opened-library") {
        crashInOpenedLibrary();
    } else if (kind == "library-where-another-was") {
        crashInLibraryWhereAnotherWas();
    } else if (kind == "inside-dlopen") {
        crashWhileAnotherIsInsideDlopen();
    } else if (kind == "open-close-churn") {
        crashWhileOthersOpenAndClose();
    } else if (kind == "unlisted-library") {
        crashInUnlistedLibrary();
    } else if (kind == "many-libraries") {
        crashInTheLastOfManyLibraries();
    } else if (kind == "live-reports-around") {
        crashWhileLiveReportsAreMade();
    } else if (kind == "vast-library-closed") {
        crashAfterAVastLibraryClosed();
    } else if (kind == "replaced-without-build-id") {
        crashInLibraryReplacedInPlace();
    } else if (kind == "code-where-a-library-was") {
        crashInCodeWhereALibraryWas();
    } else if (kind == "library-chain") {
        crashAtTheBottomOfAChain(40);
    } else if (kind == "maps-fifo") {
        crashWithAFifoOverTheMap();
    } else if (kind.rfind("early-", 0) == 0 || kind.rfind("late-", 0) == 0) {
        crashInCrashTimeLibrary(kind);
    } else if (kind == "overflow-thread") {
        auto* thread = new platform::foundation::Thread("overflow");
        thread->perform([] {
            announce(reinterpret_cast<const void*>(recurse));
            recurse(0);
        });
        for (;;) pause();
#endif
    }
    _exit(99);  // unknown kind
}

void enable(const std::string& out, bool mach, uint64_t symbolication) {
#if QM_DRIVER_FRONT
    platform::foundation::Sandbox::setHome(out);
    if (mach) {
        gMachReporter = std::make_shared<PKROVCrashReporter>(
            "com.example.crashdriver", "7", "1.0",
            std::make_shared<PKROVCrashReporterConfig>(PKROVCrashReporterConfig::kSignalHandlerTypeMach, 0));
        gReportPath = gMachReporter->crashReportPath();
        return;
    }
    gReporter = std::make_shared<PKROVCrashReporter>(
        "com.example.crashdriver", "7", "1.0",
        std::make_shared<PKROVCrashReporterConfig>(PKROVCrashReporterConfig::kSignalHandlerTypeBSD, symbolication));
    platform::foundation::Error error;
    if (!gReporter->enableCrashReporter(&error)) {
        fprintf(stderr, "enable failed: %s\n", error.localizedDescription().c_str());
        exit(2);
    }
    gReportPath = gReporter->crashReportPath();
#else
    (void)mach;
    ovcrash::shared_image_list_start();
    gReportPath = out + "/live_report.ovcrash";
    ovcrash::crash_reporter_prepare(AT_FDCWD, gReportPath.c_str(), "com.example.crashdriver", "7", "1.0",
                                    uint32_t(symbolication), ovcrash::shared_image_list());
    ovcrash::signal_handler_failure failure;
    if (!ovcrash::crash_reporter_install_signal_handlers(&failure)) {
        fprintf(stderr, "enable failed: %s\n", failure.description);
        exit(2);
    }
#endif
}

// A child writes its report under an emulator, beside other tests, in
// seconds rather than milliseconds: the bounds only tell a hung child.
constexpr int64_t kReadyLimitMs = 60000, kEndLimitMs = 60000;
constexpr int64_t kFifoEndLimitMs = 10000;

// Waits for the child to end, at most limitMs after it announced itself.
int waitEnd(pid_t pid, int64_t limitMs, bool* hung) {
    *hung = false;
    int status = 0;
    for (const int64_t deadline = nowMs() + limitMs;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (nowMs() >= deadline) break;
        poll(nullptr, 0, 1);
    }
    *hung = true;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    bool mach = argc > 1 && std::string(argv[1]) == "--mach";
    if (mach) --argc, ++argv;
    uint64_t symbolication = argc > 1 && std::string(argv[1]) == "--symbols" ? 3 : 0;
    if (symbolication) --argc, ++argv;
    if (argc < 4) {
        fprintf(stderr, "usage: %s [--mach] [--symbols] <out-dir> <runs> <kind>...\n", argv[0]);
        return 2;
    }
    std::string out = argv[1];
    int runs = atoi(argv[2]);
#if QM_DRIVER_FRONT
    gOut = out;
#endif
    // A hundred core files per kind would only slow the runs down.
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    enable(out, mach, symbolication);
    gFacts =
        static_cast<Facts*>(mmap(nullptr, sizeof(Facts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    int failures = 0;
    for (int k = 3; k < argc; ++k) {
        std::string kind = argv[k];
        for (int run = 0; run < runs; ++run) {
            unlink(gReportPath.c_str());
            gFacts->ready.store(0);
            gFacts->threads = 0;
            gFacts->function = 0;
            gFacts->images = 0;
            gFacts->caller = 0;
            gFacts->mapReads = -1;
            pid_t pid = fork();
            if (pid == 0) runKind(kind);
            // Starting threads takes a moment; the second limit counts from
            // the child's announcement.
            bool ended = false, hung = false;
            int status = 0;
            for (const int64_t deadline = nowMs() + kReadyLimitMs; gFacts->ready.load() == 0 && nowMs() < deadline;) {
                if ((ended = waitpid(pid, &status, WNOHANG) == pid)) break;
                poll(nullptr, 0, 1);
            }
            if (kind == "kill") kill(pid, SIGSEGV);
            // A report that never comes is what this kind looks for.
            if (!ended) status = waitEnd(pid, kind == "maps-fifo" ? kFifoEndLimitMs : kEndLimitMs, &hung);
            std::string base = out + "/" + kind + "-" + std::to_string(run);
            bool kept = rename(gReportPath.c_str(), (base + ".ovcrash").c_str()) == 0;
            if (kind.rfind("forwarded", 0) == 0) kept = !kept;  // mended, not reported
            if (!kept || hung) {
                ++failures;
                printf("%s run %d: %s (status %d)\n", kind.c_str(), run,
                       hung                              ? "hung"
                       : kind.rfind("forwarded", 0) == 0 ? "left a report"
                                                         : "left no report",
                       status);
            }
            FILE* f = fopen((base + ".facts").c_str(), "w");
            fprintf(f, "%d %d %llu %d %d %d %llu %d\n", pid, gFacts->threads, (unsigned long long)gFacts->function,
                    status, hung ? 1 : 0, gFacts->images, (unsigned long long)gFacts->caller, gFacts->mapReads);
            fclose(f);
        }
    }
    return failures == 0 ? 0 : 1;
}
