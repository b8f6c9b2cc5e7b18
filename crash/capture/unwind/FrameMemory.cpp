// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/unwind/FrameMemory.h"

#include <sys/auxv.h>

#include <atomic>

#include "platform/system/Loader.h"

namespace ovcrash {
namespace {

namespace ps = platform::system;

// One walking thread's pages known readable, kept in a ring.
struct walk_pages {
    std::atomic<uintptr_t> owner{0};  // the thread pointer of the walking thread, 0 when free
    uint64_t id = 0;
    uint32_t count = 0;
    uint32_t next = 0;
    uint64_t last = ~0ull;  // the page the last direct read was in, looked at first
    uint64_t pages[32] = {};
};

constexpr int kWalks = kFrameMemoryWalks;
walk_pages walks[kWalks];
std::atomic<uint64_t> walk_ids{0};

uintptr_t current_thread() { return reinterpret_cast<uintptr_t>(__builtin_thread_pointer()); }

walk_pages *own_walk() {
    const uintptr_t self = current_thread();
    for (walk_pages &w : walks)
        if (w.owner.load(std::memory_order_relaxed) == self) return &w;
    return nullptr;
}

bool known(const walk_pages *w, uint64_t page) {
    for (uint32_t i = 0; i < w->count; i++)
        if (w->pages[i] == page) return true;
    return false;
}

// Pages the loader shows an image view over (an image's first page) are
// left to task reads, which lay the view over what they read.
void remember(walk_pages *w, uint64_t page, uint64_t page_size) {
    const uint64_t start = page * page_size;
    const void *view = ps::loader_view_bytes(start, 1);
    if (known(w, page) || (view != nullptr && view != reinterpret_cast<const void *>(start))) return;
    w->pages[w->next] = page;
    w->next = (w->next + 1) % 32;
    if (w->count < 32) w->count++;
}

}  // namespace

uint64_t frame_memory_page_size() {
    // A constant-initialised atomic needs no guard, so the first call may
    // come from a signal handler.
    static std::atomic<uint64_t> cached{0};
    uint64_t value = cached.load(std::memory_order_relaxed);
    if (value == 0) {
        value = getauxval(AT_PAGESZ);
        if (value < 4096 || (value & (value - 1)) != 0) value = 4096;
        cached.store(value, std::memory_order_relaxed);
    }
    return value;
}

void frame_memory_begin(task_t task) {
    if (task != ps::mach_task_self()) return;
    walk_pages *w = own_walk();
    for (int i = 0; w == nullptr && i < kWalks; i++) {
        uintptr_t expected = 0;
        if (walks[i].owner.compare_exchange_strong(expected, current_thread(), std::memory_order_acquire))
            w = &walks[i];
    }
    if (w != nullptr) {
        w->count = 0;
        w->next = 0;
        w->last = ~0ull;
        w->id = walk_ids.fetch_add(1, std::memory_order_relaxed) + 1;
    }
}

uint64_t frame_memory_walk(int *slot) {
    const walk_pages *w = own_walk();
    if (w == nullptr) return 0;
    *slot = static_cast<int>(w - walks);
    return w->id;
}

void frame_memory_end() {
    if (walk_pages *w = own_walk()) w->owner.store(0, std::memory_order_release);
}

async_error frame_memory_read(task_t task, uint64_t base, int64_t offset, void *dest, uint64_t length) {
    // base + offset, refused when it leaves the address space.
    const uint64_t address = base + static_cast<uint64_t>(offset);
    if (offset >= 0 ? address < base : address >= base) return ASYNC_ENOMEM;
    walk_pages *w = task == ps::mach_task_self() && length != 0 ? own_walk() : nullptr;
    if (w == nullptr) return async_task_read(task, address, 0, dest, length);

    const uint64_t size = frame_memory_page_size();
    const uint64_t last = address + (length - 1);
    if (last < address || length > size) return async_task_read(task, address, 0, dest, length);
    // The page size is a power of two.
    const unsigned shift = static_cast<unsigned>(__builtin_ctzll(size));
    const uint64_t first_page = address >> shift, last_page = last >> shift;
    // Frames mostly read where the last frame read.
    if ((first_page == w->last || known(w, first_page)) && (last_page == first_page || known(w, last_page))) {
        w->last = first_page;
        const auto *source = reinterpret_cast<const void *>(address);
        // The two sizes a stack walk reads, copied without a call.
        if (length == 8)
            __builtin_memcpy(dest, source, 8);
        else if (length == 16)
            __builtin_memcpy(dest, source, 16);
        else
            __builtin_memcpy(dest, source, length);
        return ASYNC_ESUCCESS;
    }
    const async_error err = async_task_read(task, address, 0, dest, length);
    if (err == ASYNC_ESUCCESS) {
        remember(w, first_page, size);
        remember(w, last_page, size);
    }
    return err;
}

namespace {

template <typename T>
async_error read_swapped(task_t task, T (*swap)(T), uint64_t base, int64_t offset, T *value) {
    T raw;
    const async_error err = frame_memory_read(task, base, offset, &raw, sizeof raw);
    if (err == ASYNC_ESUCCESS) *value = swap(raw);
    return err;
}

}  // namespace

async_error frame_memory_read_uint32(task_t task, const async_byteorder *byteorder, uint64_t base, int64_t offset,
                                     uint32_t *value) {
    return read_swapped(task, byteorder->swap32, base, offset, value);
}

async_error frame_memory_read_uint64(task_t task, const async_byteorder *byteorder, uint64_t base, int64_t offset,
                                     uint64_t *value) {
    return read_swapped(task, byteorder->swap64, base, offset, value);
}

}  // namespace ovcrash
