#pragma once
// The shared list of loaded images that crash-time code walks: one
// macho_image per image, added and removed by the loader's image callbacks on
// whatever thread loads or unloads an image, read at crash time under the
// list's reader count.
//
// The callbacks hear only of what the loader stand-in saw; a report brings
// the list up to date with the dynamic linker first (image_list_crash_time_begin):
// while it lasts, a listed image that another one has taken the place of is
// skipped, and images opened behind the loader's back follow the listed
// ones, read into room made beforehand (image_list_prepare_crash_time). Of
// these, an image is read whole (its symbols and, from its file, what only
// the file holds) only once an address looked up lies in it, and one that
// the loader's look at crash time left out is added then.
//
// Async-signal-safe: image_list_set_reading, image_list_next,
// image_list_image_for_address and the crash-time begin and end. Appending,
// removing, preparing and the callbacks allocate and run only outside crash
// time.
#include <atomic>
#include <cstdint>

#include "crash/capture/async/AsyncList.h"
#include "crash/capture/image/MachOImage.h"
#include "platform/system/MachO.h"

namespace platform::system {
struct crash_time_view;
}

namespace ovcrash {

struct image_list {
    task_t task;
    async_list<macho_image*> list;
    // Removed images that a reader inside the list may still hold; freed by a
    // later change made while no reader is inside.
    std::atomic<macho_image*> retired{nullptr};
    // Bumped by every removal, before its image can be freed: a reader that
    // kept an image from an earlier reading uses it again only while this
    // has not moved.
    std::atomic<uint64_t> removals{0};

    // Crash time: images made for the report under way, the loader's views
    // they were read from and whether an address looked up lies in each,
    // and the listed images it skips (by header address).
    macho_image* crash_images = nullptr;
    const platform::system::crash_time_view** crash_views = nullptr;
    bool* crash_reached = nullptr;
    uint64_t* hidden = nullptr;
    uint32_t crash_capacity = 0;
    uint32_t hidden_capacity = 0;
    std::atomic<uint32_t> crash_count{0};
    std::atomic<uint32_t> hidden_count{0};
    bool crash_started = false;
    bool crash_changed = false;
    bool crash_following = false;
};

void image_list_init(image_list* list, task_t task);
// Reads the image at header_addr and appends it; an image whose header cannot
// be read is not listed.
void image_list_append(image_list* list, uint64_t header_addr, const char* name);
// Unlinks the first image with that header address. Its record is freed once
// no reader can hold it. Nothing happens when none is listed.
void image_list_remove(image_list* list, uint64_t header_addr);
// Enter (true) or leave (false) the list as a reader.
void image_list_set_reading(image_list* list, bool reading);
// How many images were ever removed; read while reading, an image held from
// an earlier reading is still listed while this is unchanged.
inline uint64_t image_list_removals(const image_list* list) { return list->removals.load(); }
// The image after `current`, or the first for null; null at the end.
macho_image* image_list_next(image_list* list, macho_image* current);
// The first image whose range holds address, or null. Call while reading.
// During a report, an image found then is read whole, or added when the
// loader finds one there that the list lacked.
macho_image* image_list_image_for_address(image_list* list, uint64_t address);
// Whether the image was found at crash time and no address looked up lies in
// it: a report lists such images after all others, as room allows.
bool image_list_image_unreached(const image_list* list, const macho_image* image);

// How many images opened behind the loader's back that hold no address a
// report looks up it can list: room for them, and for as many that do, is
// made when the reporter is prepared.
inline constexpr uint32_t kImageListCrashTimeImages = 1024;
// Makes room for `capacity` images opened behind the loader's back that no
// walk reaches, and as many that one does; the first call for a list
// decides. Not at crash time.
void image_list_prepare_crash_time(image_list* list, uint32_t capacity);
// Brings the list up to date with the dynamic linker until the matching end.
// One report at a time: false when another one is under way (call no end).
// A `crash` takes over one that a stopped thread (a live report's) or the
// crashing thread itself left half done (Loader.h); an end then left to
// that one does nothing.
bool image_list_crash_time_begin(image_list* list, bool crash);
void image_list_crash_time_end(image_list* list);

// The process's list, kept current by the loader callbacks below.
image_list* shared_image_list();
// Makes the shared list and registers the callbacks with the loader, once.
void shared_image_list_start();
void image_add_callback(const platform::system::mach_header* header, intptr_t slide);
void image_remove_callback(const platform::system::mach_header* header, intptr_t slide);

}  // namespace ovcrash
