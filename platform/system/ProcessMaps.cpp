// Async-signal-safe: raw system calls into stack buffers, bounded loops.
#include "platform/system/ProcessMaps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>
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

// One line: "start-end perms offset major:minor inode path". False when it
// does not hold `address`; *past set when it starts above it.
bool parseLine(const char* p, const char* end, uint64_t address, process_mapping* out, bool* past,
               const char** range_end) {
    const uint64_t start = number(p, end, 16);
    if (p >= end || *p != '-') return false;
    ++p;
    const uint64_t stop = number(p, end, 16);
    *range_end = p;
    if (start > address) {
        *past = true;
        return false;
    }
    if (address >= stop) return false;
    skip(p, end, ' ');
    while (p < end && *p != ' ') ++p;  // permissions
    skip(p, end, ' ');
    const uint64_t offset = number(p, end, 16);
    skip(p, end, ' ');
    const uint64_t major = number(p, end, 16);
    if (p < end && *p == ':') ++p;
    const uint64_t minor = number(p, end, 16);
    skip(p, end, ' ');
    const uint64_t inode = number(p, end, 10);
    *out = process_mapping{};
    out->start = start;
    out->end = stop;
    out->offset = offset;
    out->device = makedev(major, minor);
    out->inode = inode;
    return true;
}

// The size and modification time of the file mapped at "start-end" (the
// map's own text for the range), through /proc/self/map_files.
void statMapped(const char* range, uint32_t length, process_mapping* out) {
    char path[96] = "/proc/self/map_files/";
    uint32_t n = 21;
    for (uint32_t i = 0; i < length && n + 1 < sizeof path; ++i) path[n++] = range[i];
    path[n] = '\0';
    struct stat st;
    if (::syscall(SYS_newfstatat, AT_FDCWD, path, &st, 0) != 0) return;
    // The link leads to the mapped file itself, whatever its name is now; its
    // device and inode as a descriptor of it tells them (the map may name
    // the layer under a stacked file system).
    out->device = uint64_t(st.st_dev);
    out->inode = uint64_t(st.st_ino);
    out->size = uint64_t(st.st_size);
    out->mtime_ns = int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

}  // namespace

bool process_mapping_find(uint64_t address, process_mapping* out) {
    const int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, "/proc/self/maps", O_RDONLY | O_CLOEXEC));
    if (fd < 0) return false;
    // Only a line's head is needed (range, offset, device, inode): the path
    // after it may be long and is not kept.
    char line[160];
    uint32_t length = 0;
    char buf[4096];
    bool found = false, past = false;
    while (!found && !past) {
        const long got = ::syscall(SYS_read, fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (long i = 0; i < got && !found && !past; ++i) {
            if (buf[i] != '\n') {
                if (length < sizeof line) line[length++] = buf[i];
                continue;
            }
            const char* range_end = nullptr;
            if (parseLine(line, line + length, address, out, &past, &range_end)) {
                statMapped(line, uint32_t(range_end - line), out);
                found = true;
            }
            length = 0;
        }
    }
    ::syscall(SYS_close, fd);
    return found;
}

}  // namespace platform::system
