// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/unwind/FrameMemory.h"

#include <sys/auxv.h>

#include <atomic>

#include "platform/foundation/ThreadStacks.h"
#include "platform/system/Loader.h"

namespace ovcrash {

__thread const frame_memory_window *frame_memory_current_window = nullptr;

namespace {

namespace ps = platform::system;

// The most of a stack never noted that a walk copies.
constexpr uint64_t kCopyBytes = 64 * 1024;

// One walking thread's window and pages known readable, kept in a ring.
struct walk_pages {
    std::atomic<uintptr_t> owner{0};  // the thread pointer of the walking thread, 0 when free
    uint64_t id = 0;
    uint64_t walks_begun = 0;  // by this slot; with the slot's index, the walk's identifier
    frame_memory_window window = {};
    bool copied = false;    // the window is a copy, grown on demand up to kCopyBytes
    bool exhausted = false;  // the copy cannot grow: the next page was unreadable
    uint32_t count = 0;
    uint32_t next = 0;
    uint64_t last = ~0ull;  // the page the last direct read was in, looked at first
    uint64_t pages[32] = {};
};

constexpr int kWalks = kFrameMemoryWalks;
walk_pages walks[kWalks];
alignas(64) uint8_t copies[kWalks][kCopyBytes];

__thread walk_pages *current_walk __attribute__((tls_model("initial-exec"))) = nullptr;

uintptr_t current_thread() { return reinterpret_cast<uintptr_t>(__builtin_thread_pointer()); }

bool known(const walk_pages *w, uint64_t page) {
    for (uint32_t i = 0; i < w->count; i++)
        if (w->pages[i] == page) return true;
    return false;
}

// Pages of loaded images are left to task reads: they lay the loader's view
// over an image's first page, and a page that maps an image's file faults
// once the file is cut short, where a task read fails.
void remember(walk_pages *w, uint64_t page, uint64_t page_size) {
    if (known(w, page) || ps::loader_spans_image(page * page_size, page_size)) return;
    w->pages[w->next] = page;
    w->next = (w->next + 1) % 32;
    if (w->count < 32) w->count++;
}

uint8_t *copy_of(const walk_pages *w) { return copies[w - walks]; }

// Copies [w->window.high, end) onto the end of the copy; a range that fails
// as a whole is tried once more as its first page alone.
bool grow_copy(walk_pages *w, uint64_t end) {
    frame_memory_window &win = w->window;
    const uint64_t page = frame_memory_page_size();
    const uint64_t low = win.low;
    for (int attempt = 0; attempt < 2; attempt++) {
        uint8_t *dest = copy_of(w) + (win.high - low);
        if (async_task_read(win.task, win.high, 0, dest, end - win.high) == ASYNC_ESUCCESS) {
            win.high = end;
            return true;
        }
        const uint64_t one = (win.high & ~(page - 1)) + page;
        if (one >= end) break;
        end = one;
    }
    w->exhausted = true;
    return false;
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

void frame_memory_begin(task_t task, uint64_t sp) {
    if (task != ps::mach_task_self()) return;
    walk_pages *w = current_walk;
    for (int i = 0; w == nullptr && i < kWalks; i++) {
        uintptr_t expected = 0;
        if (walks[i].owner.compare_exchange_strong(expected, current_thread(), std::memory_order_acquire))
            w = &walks[i];
    }
    if (w == nullptr) return;
    // Unpublished while it changes: a signal on this thread may read meanwhile.
    frame_memory_current_window = nullptr;
    current_walk = w;
    w->count = 0;
    w->next = 0;
    w->last = ~0ull;
    // Only the slot's owner counts, so no other walk can take the same number.
    w->id = (++w->walks_begun * kWalks) + static_cast<uint64_t>(w - walks);
    w->window = {task, 0, 0, 0};
    w->copied = false;
    w->exhausted = false;
    uint64_t low, high;
    if (sp != 0 && platform::foundation::thread_stack_find(sp, &low, &high)) {
        w->window = {task, low, high, 0};
    } else if (sp != 0) {
        // From the stack pointer to the end of its page, to start with.
        const uint64_t start = sp & ~uint64_t(15);
        w->window = {task, start, start, reinterpret_cast<uint64_t>(copy_of(w)) - start};
        w->copied = true;
        const uint64_t page = frame_memory_page_size();
        grow_copy(w, (start & ~(page - 1)) + page);
    }
    frame_memory_current_window = &w->window;
}

uint64_t frame_memory_walk(int *slot) {
    const walk_pages *w = current_walk;
    if (w == nullptr) return 0;
    *slot = static_cast<int>(w - walks);
    return w->id;
}

void frame_memory_end() {
    walk_pages *w = current_walk;
    if (w == nullptr) return;
    frame_memory_current_window = nullptr;
    current_walk = nullptr;
    w->owner.store(0, std::memory_order_release);
}

async_error frame_memory_read_checked(task_t task, uint64_t base, int64_t offset, void *dest, uint64_t length) {
    // base + offset, refused when it leaves the address space.
    const uint64_t address = base + static_cast<uint64_t>(offset);
    if (offset >= 0 ? address < base : address >= base) return ASYNC_ENOMEM;
    walk_pages *w = task == ps::mach_task_self() && length != 0 ? current_walk : nullptr;
    if (w == nullptr) return async_task_read(task, address, 0, dest, length);

    const uint64_t last = address + (length - 1);
    if (last < address) return async_task_read(task, address, 0, dest, length);
    frame_memory_window &win = w->window;
    if (address >= win.low && last < win.high) {
        async_memcpy(dest, reinterpret_cast<const void *>(address + win.delta), length);
        return ASYNC_ESUCCESS;
    }
    const uint64_t size = frame_memory_page_size();
    if (length > size) return async_task_read(task, address, 0, dest, length);

    // A copy grows to take in a read above it, by at least as much again as
    // it holds, so that a deep walk copies a few times, not once a page.
    if (w->copied && !w->exhausted && address >= win.low && last < win.low + kCopyBytes && last >= win.high) {
        uint64_t end = win.high + (win.high - win.low);
        if (end <= last) end = last + 1;
        end = (end + size - 1) & ~(size - 1);
        if (end > win.low + kCopyBytes) end = win.low + kCopyBytes;
        if (grow_copy(w, end) && address >= win.low && last < win.high) {
            async_memcpy(dest, reinterpret_cast<const void *>(address + win.delta), length);
            return ASYNC_ESUCCESS;
        }
    }

    // The page size is a power of two.
    const unsigned shift = static_cast<unsigned>(__builtin_ctzll(size));
    const uint64_t first_page = address >> shift, last_page = last >> shift;
    // Frames mostly read where the last frame read.
    if ((first_page == w->last || known(w, first_page)) && (last_page == first_page || known(w, last_page))) {
        w->last = first_page;
        __builtin_memcpy(dest, reinterpret_cast<const void *>(address), length);
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
