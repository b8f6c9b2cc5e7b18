// image_list_set_reading, image_list_next and image_list_image_for_address
// are async-signal-safe (atomic loads, no allocation, no lock); the rest runs
// outside crash time.
#include "crash/capture/image/ImageList.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "crash/capture/info/OVCrashReporterError.h"
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

macho_image* image_list_next(image_list* list, macho_image* current) {
    image_node* entry = nullptr;
    if (current) {
        entry = static_cast<image_node*>(std::atomic_ref<void*>(current->list_entry).load());
        if (!entry) return nullptr;
    }
    image_node* next = list->list.next(entry);
    if (!next) return nullptr;
    macho_image* image = next->value;
    std::atomic_ref<void*> remembered(image->list_entry);
    if (!remembered.load(std::memory_order_acquire)) {
        void* expected = nullptr;
        remembered.compare_exchange_strong(expected, next);
    }
    return image;
}

macho_image* image_list_image_for_address(image_list* list, uint64_t address) {
    for (macho_image* image = image_list_next(list, nullptr); image; image = image_list_next(list, image))
        if (macho_image_contains_address(image, address)) return image;
    return nullptr;
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
