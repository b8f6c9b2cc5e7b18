#pragma once
// The mapping of this process that holds an address, as /proc/self/maps
// tells it: the file it maps and that file's identity, what tells one loaded
// file from another at the same place when neither has a build-id; and
// where the file's first page is mapped, where a loaded object's own ELF
// header lies (LoadedElf.h), for an address that no list of loaded objects
// accounts for.
//
// Async-signal-safe: raw open/read/close/stat system calls into fixed
// buffers on the stack and the caller's, no allocation, no lock; the read of
// the map stops at the address, and a line of any length is taken whole.
// The map is read only where it is the one /proc gives (never a FIFO, a
// socket or a device standing at its name), and never waited on.
// Reading the map costs time in proportion to the mappings below the
// address: where a mapping's range is known, process_mapping_at is one
// system call; at crash time every read counts against the report's budget.
#include <cstdint>

namespace platform::system {

// How many more times the map may be read: one bound for every look at it
// made for one crash report, whichever reader makes it, since each look
// costs time in proportion to the mappings.
struct process_maps_budget {
    uint32_t reads_left = 0;
};

// Opens the process's map for reading, one read taken from `budget` (null
// outside crash time: no bound); -1 when the budget is spent or what stands
// at /proc/self/maps is not a regular file of /proc. The descriptor never
// blocks; the caller closes it.
int process_maps_open(process_maps_budget* budget);

// How many times this process opened its map (for tests).
uint32_t process_maps_opened();

struct process_mapping {
    uint64_t start = 0, end = 0, offset = 0;
    // The file it maps (device 0 and inode 0 for anonymous memory), as a
    // descriptor of it would tell where the file can be looked at; its size
    // and modification time as they are now, 0 when they cannot be read.
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtime_ns = 0;
    // Where the file's first page is mapped: the start of the nearest mapping
    // of the same file at offset 0, this one or one below it; 0 when there is
    // none (or no file is mapped).
    uint64_t file_start = 0;
};

// The mapping that holds `address`; false when none does or the map cannot
// be read (or `budget` is spent). `path`, when given, receives the name the
// map gives the mapped file ("" for anonymous memory), cut to
// path_capacity - 1 bytes.
bool process_mapping_find(uint64_t address, process_mapping* out, char* path = nullptr, uint32_t path_capacity = 0,
                          process_maps_budget* budget = nullptr);

// The file of the mapping that spans exactly [start, end), found without
// reading the map: start, end and the file's identity; false when no mapping
// has that range, it maps no file, or this process may not look the file up
// there (only one that may follow /proc's map_files links, such as root, can).
bool process_mapping_at(uint64_t start, uint64_t end, process_mapping* out);

}  // namespace platform::system
