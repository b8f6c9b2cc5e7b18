#pragma once
// The mapping of this process that holds an address, as /proc/self/maps
// tells it, and the identity of the file it maps: what tells one loaded
// file from another at the same place when neither has a build-id.
//
// Async-signal-safe: raw open/read/close/stat system calls, a buffer on the
// stack, no allocation, no lock; the read of the map stops at the address.
#include <cstdint>

namespace platform::system {

struct process_mapping {
    uint64_t start = 0, end = 0, offset = 0;
    // The file it maps (device 0 and inode 0 for anonymous memory), as a
    // descriptor of it would tell where the file can be looked at; its size
    // and modification time as they are now, 0 when they cannot be read.
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtime_ns = 0;
};

// The mapping that holds `address`; false when none does or the map cannot
// be read.
bool process_mapping_find(uint64_t address, process_mapping* out);

}  // namespace platform::system
