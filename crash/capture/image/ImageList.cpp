// image_list_set_reading, image_list_next, image_list_image_for_address and
// the crash-time begin and end are async-signal-safe (atomic loads, images
// read into room made beforehand, no allocation, no lock); the rest runs
// outside crash time.
#include "crash/capture/image/ImageList.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "crash/capture/info/OVCrashReporterError.h"
#include "platform/system/CrashTimeViews.h"
#include "platform/system/Loader.h"

namespace ovcrash {

namespace ps = platform::system;

using image_node = async_list<macho_image*>::node;

void image_list_init(image_list* list, task_t task) { list->task = task; }

namespace {

// Frees the removed images once no reader is inside: a reader that enters
// later cannot reach them any more.
void freeRetired(image_list* list) {
    if (list->list.reader_count() > 0) return;
    macho_image* image = list->retired.exchange(nullptr);
    while (image) {
        macho_image* next = image->retired_next;
        macho_image_free(image);
        std::free(image);
        image = next;
    }
}

}  // namespace

void image_list_append(image_list* list, uint64_t header_addr, const char* name) {
    freeRetired(list);
    auto* image = static_cast<macho_image*>(std::calloc(1, sizeof(macho_image)));
    if (!image) return;
    if (macho_image_init(image, list->task, name, header_addr) != ASYNC_ESUCCESS) {
        std::free(image);
        return;
    }
    list->list.append(image);
}

void image_list_remove(image_list* list, uint64_t header_addr) {
    macho_image* removed = nullptr;
    list->list.set_reading(true);
    for (image_node* n = list->list.next(nullptr); n; n = list->list.next(n)) {
        if (n->value->header_addr == header_addr) {
            removed = n->value;
            list->list.remove(n);
            break;
        }
    }
    list->list.set_reading(false);
    if (!removed) return;
    list->removals.fetch_add(1);
    removed->retired_next = list->retired.load();
    while (!list->retired.compare_exchange_weak(removed->retired_next, removed)) {
    }
    freeRetired(list);
}

void image_list_set_reading(image_list* list, bool reading) { list->list.set_reading(reading); }

namespace {

bool hidden(const image_list* list, uint32_t count, const macho_image* image) {
    for (uint32_t i = 0; i < count; ++i)
        if (list->hidden[i] == image->header_addr) return true;
    return false;
}

}  // namespace

macho_image* image_list_next(image_list* list, macho_image* current) {
    const uint32_t made = list->crash_count.load(std::memory_order_acquire);
    const auto at = reinterpret_cast<uintptr_t>(current), first = reinterpret_cast<uintptr_t>(list->crash_images);
    if (current && made > 0 && at >= first && at < first + made * sizeof(macho_image)) {
        const auto index = static_cast<uint32_t>((at - first) / sizeof(macho_image));
        return index + 1 < made ? &list->crash_images[index + 1] : nullptr;
    }
    image_node* entry = nullptr;
    if (current) {
        entry = static_cast<image_node*>(std::atomic_ref<void*>(current->list_entry).load());
        if (!entry) return nullptr;
    }
    const uint32_t hiddenCount = list->hidden_count.load(std::memory_order_acquire);
    for (image_node* next = list->list.next(entry); next; next = list->list.next(next)) {
        macho_image* image = next->value;
        std::atomic_ref<void*> remembered(image->list_entry);
        if (!remembered.load(std::memory_order_acquire)) {
            void* expected = nullptr;
            remembered.compare_exchange_strong(expected, next);
        }
        if (hiddenCount == 0 || !hidden(list, hiddenCount, image)) return image;
    }
    return made > 0 ? &list->crash_images[0] : nullptr;
}

namespace {

// The index of an image made at crash time, or -1 for a listed one.
int64_t crashIndex(const image_list* list, const macho_image* image) {
    const uint32_t made = list->crash_count.load(std::memory_order_acquire);
    const auto at = reinterpret_cast<uintptr_t>(image), first = reinterpret_cast<uintptr_t>(list->crash_images);
    if (made == 0 || at < first || at >= first + made * sizeof(macho_image)) return -1;
    return static_cast<int64_t>((at - first) / sizeof(macho_image));
}

// An image made at crash time, once an address looked up lies in it: read
// again with what its view now has (its symbols, an .eh_frame found in its
// file).
void reached(image_list* list, uint32_t index) {
    // Only the report that made it: another one's thread, stopped inside a
    // report whose session a crash took over, may run on meanwhile.
    if (list->crash_reached[index] || !ps::loader_crash_time_held()) return;
    list->crash_reached[index] = true;
    const ps::crash_time_view* view = list->crash_views[index];
    if (!ps::crash_time_views_complete(view)) return;
    macho_image* image = &list->crash_images[index];
    macho_image_free(image);
    // The view's commands only grew by a symbol table of ours or a section:
    // read as it was read before.
    macho_image_init_borrowing_name(image, list->task, view->name, view->elf.base);
    // Tables and rules kept from earlier walks may have been read through
    // the image as it was.
    list->removals.fetch_add(1);
}

}  // namespace

macho_image* image_list_image_for_address(image_list* list, uint64_t address) {
    for (macho_image* image = image_list_next(list, nullptr); image; image = image_list_next(list, image)) {
        if (!macho_image_contains_address(image, address)) continue;
        if (const int64_t index = crashIndex(list, image); index >= 0) reached(list, static_cast<uint32_t>(index));
        return image;
    }
    if (!list->crash_following) return nullptr;
    // One that the look at the start of the report left out.
    const ps::crash_time_view* view = ps::loader_crash_time_image_at(address);
    const uint32_t made = list->crash_count.load(std::memory_order_acquire);
    if (!view || made >= list->crash_capacity) return nullptr;
    for (uint32_t i = 0; i < made; ++i)
        if (list->crash_views[i] == view) return nullptr;  // known, but not its text
    macho_image* image = &list->crash_images[made];
    if (macho_image_init_borrowing_name(image, list->task, view->name, view->elf.base) != ASYNC_ESUCCESS)
        return nullptr;
    list->crash_views[made] = view;
    list->crash_reached[made] = true;
    list->crash_changed = true;
    list->crash_count.store(made + 1, std::memory_order_release);
    return macho_image_contains_address(image, address) ? image : nullptr;
}

bool image_list_image_unreached(const image_list* list, const macho_image* image) {
    const int64_t index = crashIndex(list, image);
    return index >= 0 && !list->crash_reached[index];
}

void image_list_prepare_crash_time(image_list* list, uint32_t capacity) {
    if (list->crash_images || capacity == 0) return;
    ps::loader_prepare_crash_time(capacity);
    list->hidden = new uint64_t[capacity];
    list->hidden_capacity = capacity;
    // Those no walk reaches, and as many that one does.
    list->crash_capacity = 2 * capacity;
    list->crash_images = new macho_image[list->crash_capacity];
    list->crash_views = new const ps::crash_time_view*[list->crash_capacity];
    list->crash_reached = new bool[list->crash_capacity];
}

bool image_list_crash_time_begin(image_list* list, bool crash) {
    const ps::loader_crash_time loader = ps::loader_crash_time_begin(crash);
    if (!loader.started) return false;
    // What a report whose session was taken over made is dropped unfreed:
    // freeing it could undo what its thread, stopped half-way, was making.
    list->crash_count.store(0, std::memory_order_release);
    list->hidden_count.store(0, std::memory_order_release);
    list->crash_started = true;
    list->crash_changed = loader.changed;
    list->crash_following = loader.following && list->crash_images;
    if (!list->crash_following || !loader.changed) return true;

    // Taken out of the walk before the images made here join it.
    uint32_t hiddenCount = 0;
    list->list.set_reading(true);
    for (image_node* n = list->list.next(nullptr); n && hiddenCount < list->hidden_capacity; n = list->list.next(n))
        if (!ps::loader_image_current(n->value->header_addr)) list->hidden[hiddenCount++] = n->value->header_addr;
    list->list.set_reading(false);
    list->hidden_count.store(hiddenCount, std::memory_order_release);

    uint32_t made = 0;
    for (uint32_t i = 0, n = ps::crash_time_views_count(); i < n && made < list->crash_capacity; ++i) {
        const ps::crash_time_view* view = ps::crash_time_views_at(i);
        if (macho_image_init_borrowing_name(&list->crash_images[made], list->task, view->name, view->elf.base) !=
            ASYNC_ESUCCESS)
            continue;
        list->crash_views[made] = view;
        list->crash_reached[made++] = false;
    }
    list->crash_count.store(made, std::memory_order_release);
    // Rules and tables kept from earlier walks may belong to what is gone.
    list->removals.fetch_add(1);
    return true;
}

void image_list_crash_time_end(image_list* list) {
    if (!list->crash_started || !ps::loader_crash_time_held()) return;
    const uint32_t made = list->crash_count.exchange(0);
    list->hidden_count.store(0);
    for (uint32_t i = 0; i < made; ++i) macho_image_free(&list->crash_images[i]);
    if (list->crash_changed) list->removals.fetch_add(1);
    list->crash_started = false;
    list->crash_changed = false;
    list->crash_following = false;
    ps::loader_crash_time_end();
}

namespace {
std::atomic<image_list*> shared{nullptr};
}

image_list* shared_image_list() { return shared.load(std::memory_order_acquire); }

void shared_image_list_start() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto* list = new image_list;
        image_list_init(list, ps::mach_task_self());
        shared.store(list, std::memory_order_release);
        ps::dyld_register_func_for_add_image(image_add_callback);
        ps::dyld_register_func_for_remove_image(image_remove_callback);
    });
}

void image_add_callback(const ps::mach_header* header, intptr_t) {
    image_list* list = shared_image_list();
    if (!list) return;
    ps::dl_info info;
    if (ps::dladdr(header, &info) == 0) {
        std::fprintf(stderr, "%s%s: dladdr(%p, ...) failed\n", OVCrashReporterWarningPrefix, "image_add_callback",
                     static_cast<const void*>(header));
        return;
    }
    image_list_append(list, reinterpret_cast<uint64_t>(header), info.dli_fname);
}

void image_remove_callback(const ps::mach_header* header, intptr_t) {
    if (image_list* list = shared_image_list()) image_list_remove(list, reinterpret_cast<uint64_t>(header));
}

}  // namespace ovcrash
