// Async-signal-safe: no allocation, no lock; write and close only.
#include "crash/capture/async/AsyncFile.h"

#include <unistd.h>
#include <cerrno>

#include "crash/capture/async/AsyncMemory.h"

namespace ovcrash {

void async_file_init(async_file* file, int fd, uint64_t limit_bytes) {
    file->fd = fd;
    file->limit_bytes = limit_bytes;
    file->total_bytes = 0;
    file->buffer_len = 0;
    file->reserved_bytes = 0;
    file->failed = false;
}

uint64_t async_file_remaining(const async_file* file) {
    if (file->failed) return 0;
    if (file->limit_bytes == 0) return UINT64_MAX;
    uint64_t used = file->total_bytes + file->reserved_bytes;
    return used >= file->limit_bytes ? 0 : file->limit_bytes - used;
}

bool async_file_reserve(async_file* file, uint64_t bytes) {
    if (file->failed) return false;
    if (file->limit_bytes != 0 && bytes > file->limit_bytes - file->total_bytes) return false;
    file->reserved_bytes = bytes;
    return true;
}

bool async_file_failed(const async_file* file) { return file->failed; }

bool async_file_write(async_file* file, const void* data, size_t length) {
    if (file->failed) return false;
    if (file->limit_bytes != 0) {
        if (length > async_file_remaining(file)) {
            file->failed = true;
            return false;
        }
        file->total_bytes += length;
    }
    if (file->buffer_len + length > ASYNC_FILE_BUFFER_SIZE && !async_file_flush(file)) return false;
    if (length > ASYNC_FILE_BUFFER_SIZE) {
        if (async_write_retry(file->fd, data, length) < 0) {
            file->failed = true;
            return false;
        }
        return true;
    }
    async_memcpy(file->buffer + file->buffer_len, data, length);
    file->buffer_len += length;
    return true;
}

bool async_file_flush(async_file* file) {
    if (file->buffer_len == 0) return true;
    ssize_t written = async_write_retry(file->fd, file->buffer, file->buffer_len);
    file->buffer_len = 0;
    if (written < 0) {
        file->failed = true;
        return false;
    }
    return true;
}

bool async_file_close(async_file* file) {
    bool ok = async_file_flush(file);
    if (::close(file->fd) != 0 && errno != EINTR) ok = false;
    file->fd = -1;
    return ok && !file->failed;
}

ssize_t async_write_retry(int fd, const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    size_t left = length;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(length);
}

}  // namespace ovcrash
