// Async-signal-safe: raw system calls only, no allocation, no lock.
#include "platform/system/Mach.h"

#include "platform/system/Loader.h"
#include "platform/system/MachPort.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>

namespace platform::system {

namespace {

// Set once the kernel has refused process_vm_readv; later reads go straight
// to the pipe.
std::atomic<bool> processVmRefused{false};

kern_return_t fromErrno(int err) {
    switch (err) {
    case EFAULT: return KERN_INVALID_ADDRESS;
    case EINVAL: return KERN_INVALID_ARGUMENT;
    case ENOMEM:
    case EMFILE:
    case ENFILE: return KERN_RESOURCE_SHORTAGE;
    default: return KERN_FAILURE;
    }
}

bool readFully(int fd, char* dst, size_t len) {
    while (len > 0) {
        ssize_t n = ::read(fd, dst, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        dst += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

// A name, not the pid: records made before a fork (the image list) still
// name the reading process in the child.
task_t mach_task_self() { return 1; }

thread_t mach_thread_self() { return static_cast<thread_t>(::syscall(SYS_gettid)); }

kern_return_t mach_port_deallocate(task_t task, mach_port_t port) { return mach_port_deallocate_right(task, port); }

namespace {

kern_return_t readThroughPipe(task_t task, vm_address_t address, vm_size_t size, vm_address_t data,
                              vm_size_t* outsize, bool views);

kern_return_t readTask(task_t task, vm_address_t address, vm_size_t size, vm_address_t data, vm_size_t* outsize,
                       bool views) {
    if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
    if (size == 0) {
        if (outsize) *outsize = 0;
        return KERN_SUCCESS;
    }
    if (processVmRefused.load(std::memory_order_relaxed))
        return readThroughPipe(task, address, size, data, outsize, views);
    iovec local{reinterpret_cast<void*>(data), size};
    iovec remote{reinterpret_cast<void*>(address), size};
    for (;;) {
        long n = ::syscall(SYS_process_vm_readv, ::syscall(SYS_getpid), &local, 1UL, &remote, 1UL, 0UL);
        if (n >= 0) {
            // A short copy stopped at an unreadable page.
            if (static_cast<vm_size_t>(n) != size) return KERN_INVALID_ADDRESS;
            if (views) loader_apply_views(address, reinterpret_cast<void*>(data), size);
            if (outsize) *outsize = size;
            return KERN_SUCCESS;
        }
        int err = errno;
        if (err == EINTR) continue;
        if (err == ENOSYS || err == EPERM) {
            processVmRefused.store(true, std::memory_order_relaxed);
            return readThroughPipe(task, address, size, data, outsize, views);
        }
        return fromErrno(err);
    }
}

kern_return_t readThroughPipe(task_t task, vm_address_t address, vm_size_t size, vm_address_t data,
                              vm_size_t* outsize, bool views) {
    if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
    int fds[2];
    if (::syscall(SYS_pipe2, fds, O_CLOEXEC) != 0) return fromErrno(errno);
    // One page per round: a pipe always holds that much, so the write never
    // blocks waiting for the read below.
    constexpr vm_size_t chunk = 4096;
    const char* src = reinterpret_cast<const char*>(address);
    char* dst = reinterpret_cast<char*>(data);
    kern_return_t result = KERN_SUCCESS;
    vm_size_t done = 0;
    while (done < size) {
        vm_size_t want = size - done < chunk ? size - done : chunk;
        ssize_t n = ::write(fds[1], src + done, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            result = n < 0 ? fromErrno(errno) : KERN_FAILURE;
            break;
        }
        if (!readFully(fds[0], dst + done, static_cast<size_t>(n))) {
            result = KERN_FAILURE;
            break;
        }
        done += static_cast<vm_size_t>(n);
    }
    ::close(fds[0]);
    ::close(fds[1]);
    if (result == KERN_SUCCESS && views) loader_apply_views(address, reinterpret_cast<void*>(data), size);
    if (result == KERN_SUCCESS && outsize) *outsize = size;
    return result;
}

}  // namespace

kern_return_t vm_read_overwrite(task_t task, vm_address_t address, vm_size_t size, vm_address_t data,
                                vm_size_t* outsize) {
    return readTask(task, address, size, data, outsize, true);
}

kern_return_t vm_read_overwrite_through_pipe(task_t task, vm_address_t address, vm_size_t size, vm_address_t data,
                                             vm_size_t* outsize) {
    return readThroughPipe(task, address, size, data, outsize, true);
}

kern_return_t vm_read_pages(task_t task, vm_address_t address, vm_size_t size, vm_address_t data, vm_size_t* outsize) {
    return readTask(task, address, size, data, outsize, false);
}

}  // namespace platform::system
