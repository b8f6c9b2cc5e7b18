// Async-signal-safe: raw system calls into fixed stack buffers and the
// caller's, bounded loops, no allocation, no lock.
#include "platform/system/ProcessMaps.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>

namespace platform::system {

namespace {

// Reads a number in `base` from *p on, leaving p past it.
uint64_t number(const char*& p, const char* end, unsigned base) {
    uint64_t v = 0;
    for (; p < end; ++p) {
        const char c = *p;
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
        if (d >= int(base)) break;
        v = v * base + uint64_t(d);
    }
    return v;
}

void skip(const char*& p, const char* end, char c) {
    while (p < end && *p == c) ++p;
}

// A line's head: "start-end perms offset major:minor inode", as the map
// writes it; `range` is the length of its "start-end".
struct Head {
    uint64_t start = 0, end = 0, offset = 0, device = 0, inode = 0;
    uint32_t range = 0;
};

bool parseHead(const char* line, const char* end, Head* out) {
    const char* p = line;
    out->start = number(p, end, 16);
    if (p >= end || *p != '-') return false;
    ++p;
    out->end = number(p, end, 16);
    out->range = uint32_t(p - line);
    skip(p, end, ' ');
    while (p < end && *p != ' ') ++p;  // permissions
    skip(p, end, ' ');
    out->offset = number(p, end, 16);
    skip(p, end, ' ');
    const uint64_t major = number(p, end, 16);
    if (p >= end || *p != ':') return false;
    ++p;
    const uint64_t minor = number(p, end, 16);
    out->device = makedev(major, minor);
    skip(p, end, ' ');
    out->inode = number(p, end, 10);
    return true;
}

// The identity of the file mapped at "start-end" (the map's own text for the
// range), through /proc/self/map_files; false when there is no such mapping.
bool statMapped(const char* range, uint32_t length, process_mapping* out) {
    char path[96] = "/proc/self/map_files/";
    uint32_t n = 21;
    for (uint32_t i = 0; i < length && n + 1 < sizeof path; ++i) path[n++] = range[i];
    path[n] = '\0';
    struct stat st;
    if (::syscall(SYS_newfstatat, AT_FDCWD, path, &st, 0) != 0) return false;
    // The link leads to the mapped file itself, whatever its name is now; its
    // device and inode as a descriptor of it tells them (the map may name
    // the layer under a stacked file system).
    out->device = uint64_t(st.st_dev);
    out->inode = uint64_t(st.st_ino);
    out->size = uint64_t(st.st_size);
    out->mtime_ns = int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    return true;
}

// Writes `v` in lowercase hex without leading zeros, as the map does;
// returns the digits written.
uint32_t hex(uint64_t v, char* out) {
    char digits[16];
    uint32_t n = 0;
    do {
        digits[n++] = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v != 0);
    for (uint32_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    return n;
}

// Fields before a line's path.
constexpr uint32_t kHeadFields = 5;

std::atomic<uint32_t> gOpened{0};

}  // namespace

int process_maps_open(process_maps_budget* budget) {
    if (budget) {
        if (budget->reads_left == 0) return -1;
        --budget->reads_left;
    }
    gOpened.fetch_add(1, std::memory_order_relaxed);
    // Whatever stands at the name is opened without waiting on it, and read
    // only when it is what /proc gives: a FIFO or a device bound over it
    // would block a reader for good.
    const int fd = static_cast<int>(
        ::syscall(SYS_openat, AT_FDCWD, "/proc/self/maps", O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd < 0) return -1;
    struct stat st;
    struct statfs fs;
    if (::syscall(SYS_fstat, fd, &st) != 0 || !S_ISREG(st.st_mode) || ::syscall(SYS_fstatfs, fd, &fs) != 0 ||
        fs.f_type != PROC_SUPER_MAGIC) {
        ::syscall(SYS_close, fd);
        return -1;
    }
    return fd;
}

uint32_t process_maps_opened() { return gOpened.load(std::memory_order_relaxed); }

bool process_mapping_find(uint64_t address, process_mapping* out, char* path, uint32_t path_capacity,
                          process_maps_budget* budget) {
    *out = process_mapping{};
    if (path_capacity == 0) path = nullptr;
    if (path) path[0] = '\0';
    const int fd = process_maps_open(budget);
    if (fd < 0) return false;
    // Of each line only its head is kept whole; its path, which may be long,
    // goes straight to the caller's buffer, cut to fit.
    char line[160];
    uint32_t length = 0, fields = 0, pathLength = 0;
    bool inField = false;
    // The nearest mapping so far of a file's first page.
    Head first;
    char buf[2048];
    bool found = false, past = false;
    while (!found && !past) {
        const long got = ::syscall(SYS_read, fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (long i = 0; i < got && !found && !past; ++i) {
            const char c = buf[i];
            if (c != '\n') {
                if (length < sizeof line) line[length++] = c;
                if (fields <= kHeadFields) {
                    const bool space = c == ' ';
                    if (!space && !inField) ++fields;
                    inField = !space;
                }
                if (fields > kHeadFields && path && pathLength + 1 < path_capacity) path[pathLength++] = c;
                continue;
            }
            Head h;
            if (parseHead(line, line + length, &h)) {
                if (h.start > address) {
                    past = true;
                } else if (address < h.end) {
                    found = true;
                    if (h.inode != 0 && h.offset == 0) first = h;
                    out->start = h.start;
                    out->end = h.end;
                    out->offset = h.offset;
                    out->device = h.device;
                    out->inode = h.inode;
                    if (h.inode != 0 && first.inode == h.inode && first.device == h.device && first.start <= h.start)
                        out->file_start = first.start;
                    statMapped(line, h.range, out);
                    if (path) path[pathLength] = '\0';
                } else if (h.inode != 0 && h.offset == 0) {
                    first = h;
                }
            }
            length = fields = pathLength = 0;
            inField = false;
        }
    }
    ::syscall(SYS_close, fd);
    if (!found && path) path[0] = '\0';
    return found;
}

bool process_mapping_at(uint64_t start, uint64_t end, process_mapping* out) {
    *out = process_mapping{};
    char range[40];
    uint32_t n = hex(start, range);
    range[n++] = '-';
    n += hex(end, range + n);
    if (!statMapped(range, n, out)) return false;
    out->start = start;
    out->end = end;
    return true;
}

}  // namespace platform::system
