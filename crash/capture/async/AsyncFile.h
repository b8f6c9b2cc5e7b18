#pragma once
// A buffered writer over a raw descriptor, with an optional limit on the
// bytes it accepts in all: the report writer's only way to the disk.
// Once a write has been refused or has failed, the file refuses everything
// after it, so that a report never goes on past a hole; the writer asks for
// the room left (and reserves room for its last sections) before it writes a
// section, so that a refusal need never happen.
// Async-signal-safe: no allocation, no lock, only write and close.
#include <sys/types.h>
#include <cstddef>
#include <cstdint>

namespace ovcrash {

inline constexpr size_t ASYNC_FILE_BUFFER_SIZE = 256;
// The limit report files are opened with.
inline constexpr uint64_t ASYNC_FILE_REPORT_LIMIT = 262144;

struct async_file {
    int fd;
    uint64_t limit_bytes;  // 0: no limit
    uint64_t total_bytes;  // accepted so far (counted only with a limit)
    uint64_t buffer_len;
    uint64_t reserved_bytes;  // held back from ordinary writes
    bool failed;              // a write was refused or failed: refuse the rest
    char buffer[ASYNC_FILE_BUFFER_SIZE];
};

void async_file_init(async_file* file, int fd, uint64_t limit_bytes);

// Writes length bytes, or nothing and false: when the limit (less the room
// reserved) cannot take them whole, when the descriptor fails, or when an
// earlier write was refused or failed.
bool async_file_write(async_file* file, const void* data, size_t length);

// Bytes an ordinary write may still add: the limit less what was accepted
// and what is reserved; UINT64_MAX without a limit; 0 once the file failed.
uint64_t async_file_remaining(const async_file* file);

// Holds bytes back from ordinary writes (the room for the sections that must
// come last). Setting it again replaces the reservation; 0 releases it.
// False, and nothing changed, when the room is not there.
bool async_file_reserve(async_file* file, uint64_t bytes);

// True when a write was refused or failed; the file's content is then short.
bool async_file_failed(const async_file* file);

bool async_file_flush(async_file* file);
// Flush and close; true only when both succeed and no write was refused or
// failed before.
bool async_file_close(async_file* file);

// write() until all bytes are out, retrying on EINTR; length, or -1.
ssize_t async_write_retry(int fd, const void* data, size_t length);

}  // namespace ovcrash
