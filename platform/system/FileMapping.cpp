// Async-signal-safe: open/read/close into the caller's buffer, no
// allocation, no lock; the parse is bounded by what is read.
#include "platform/system/FileMapping.h"

#include <fcntl.h>
#include <unistd.h>

namespace platform::system {

namespace {

struct Line {
    uint64_t start = 0, end = 0, offset = 0, device = 0, inode = 0;
    const char* path = nullptr;  // up to the line's end
    uint32_t path_length = 0;
};

// Reads a number in `base` at *p, moving past it.
uint64_t number(const char*& p, const char* end, unsigned base) {
    uint64_t v = 0;
    for (; p < end; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = unsigned(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = unsigned(*p - 'a' + 10);
        else
            break;
        v = v * base + digit;
    }
    return v;
}

void skip(const char*& p, const char* end, char c) {
    while (p < end && *p == c) ++p;
}

// "start-end perms offset major:minor inode   path"
bool parse(const char* p, const char* end, Line* line) {
    line->start = number(p, end, 16);
    if (p >= end || *p++ != '-') return false;
    line->end = number(p, end, 16);
    skip(p, end, ' ');
    while (p < end && *p != ' ') ++p;  // permissions
    skip(p, end, ' ');
    line->offset = number(p, end, 16);
    skip(p, end, ' ');
    const uint64_t major = number(p, end, 16);
    if (p >= end || *p++ != ':') return false;
    line->device = major << 32 | number(p, end, 16);
    skip(p, end, ' ');
    line->inode = number(p, end, 10);
    skip(p, end, ' ');
    line->path = p;
    line->path_length = static_cast<uint32_t>(end - p);
    return true;
}

}  // namespace

bool file_mapping_find(uint64_t address, char* scratch, uint32_t scratch_size, uint64_t* file_start, char* path,
                       uint32_t path_capacity) {
    if (scratch_size == 0 || path_capacity == 0) return false;
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // The nearest mapping so far of a file's first page.
    Line first;
    bool found = false, done = false, skipping = false;
    uint32_t have = 0;
    while (!done) {
        const ssize_t n = ::read(fd, scratch + have, scratch_size - have);
        if (n < 0) break;
        const bool last = n == 0;
        have += static_cast<uint32_t>(n);
        uint32_t at = 0;
        while (!done) {
            uint32_t stop = at;
            while (stop < have && scratch[stop] != '\n') ++stop;
            if (stop == have && !last) break;  // the rest comes with the next read
            const bool whole = !skipping;
            skipping = false;
            Line line;
            if (whole && stop > at && parse(scratch + at, scratch + stop, &line)) {
                if (line.start > address) {
                    done = true;
                } else if (address < line.end) {
                    done = true;
                    if (line.inode != 0 && line.offset == 0) first = line;
                    found = line.inode != 0 && first.inode == line.inode && first.device == line.device &&
                            first.start <= line.start;
                    if (found) {
                        *file_start = first.start;
                        uint32_t length = line.path_length < path_capacity ? line.path_length : path_capacity - 1;
                        for (uint32_t i = 0; i < length; ++i) path[i] = line.path[i];
                        path[length] = '\0';
                    }
                } else if (line.inode != 0 && line.offset == 0) {
                    first = line;
                }
            }
            if (stop >= have) {
                at = have;
                break;
            }
            at = stop + 1;
        }
        if (last) break;
        // What is left of a line moves to the front; a line that fills the
        // whole buffer is skipped up to its end.
        if (at == 0 && have == scratch_size) {
            skipping = true;
            have = 0;
        } else {
            __builtin_memmove(scratch, scratch + at, have - at);
            have -= at;
        }
    }
    ::close(fd);
    return found;
}

}  // namespace platform::system
