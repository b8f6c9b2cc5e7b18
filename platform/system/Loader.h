#pragma once
// Stand-in for the platform's dynamic loader as crash capture uses it: image
// callbacks, the list of loaded images and dladdr.
//
// Models: every loaded image has a Mach-O header at its load address, and the
// loader calls the add callbacks for every image already loaded when one is
// registered and for every image loaded later, the remove callbacks for every
// image unloaded. Differs: Linux loads ELF and sends no load notifications.
// So each ELF image gets a Mach-O view (MachOView.h), built when the image is
// added; platform::foundation::SharedLibrary reports what it opens and closes,
// and dyld_rescan() (dl_iterate_phdr and its add/sub counters) catches what
// anything else loaded or unloaded. The slide handed to callbacks is always 0:
// a view's __TEXT vmaddr is the real load address.
//
// How the views are placed and reached: the views are kept in a list of
// records that is only ever prepended to (atomic compare-and-swap, under the
// loader's mutex) and whose records and buffers are never freed. The header
// and load commands are not written into the image's pages: a record only
// says "these bytes are what a reader sees at this load address".
// vm_read_overwrite (Mach.h), the one path by which crash capture reads task
// memory, lays the views of loaded images over what it read from the real
// pages (loader_apply_views); the image reader's memory objects take their
// bytes in place from loader_view_bytes when a range lies inside a view or a
// symbol table (heap buffers of the loader's, never freed or changed once
// published), or inside the unwind tables of a loaded image (a copy of them
// made with the checked read from the loader's mapping of the file, since
// the file may have been cut short under that mapping, or from the image's
// pages where there is no such mapping). These walk the record list with
// atomic loads only: they are async-signal-safe. A record of an unloaded
// image stays in the list, marked unloaded, and is no longer shown; the
// loader's mappings of its file are released, its symbol table stays
// readable, and it serves again when the same image (same place, same
// build-id or, without one, the same headers and file) comes back, its
// unwind tables then read from its pages.
#include <cstdint>
#include <string>

#include "platform/system/MachO.h"

namespace platform::system {

// As the loader calls them: the image's header (its load address) and slide.
using dyld_image_callback = void (*)(const mach_header* header, intptr_t slide);

// Calls `callback` at once for every loaded image, then for every image added
// later. Not at crash time.
void dyld_register_func_for_add_image(dyld_image_callback callback);
void dyld_register_func_for_remove_image(dyld_image_callback callback);

// Finds images loaded or unloaded since the last look and tells the callbacks.
// Cheap when nothing changed. Not at crash time.
void dyld_rescan();

// The loaded images, in load order (for tools and tests; not at crash time).
uint32_t dyld_image_count();
const mach_header* dyld_get_image_header(uint32_t index);
// The image's path; valid for the life of the process.
const char* dyld_get_image_name(uint32_t index);
// The load address and span of the image whose header is `header`.
bool dyld_image_span(const mach_header* header, uint64_t* base, uint64_t* size);

struct dl_info {
    const char* dli_fname;  // path of the image; valid for the life of the process
    void* dli_fbase;        // its load address
    const char* dli_sname;  // always null: symbols come from the image reader
    void* dli_saddr;
};
// Fills `info` for the loaded image that holds `address`; 0 when none does.
int dladdr(const void* address, dl_info* info);

// Async-signal-safe. Local bytes for [address, address + length), in memory
// the loader never releases, when the whole range lies inside the view of a
// loaded image, inside a symbol table of any view, or inside the unwind
// tables of a loaded image (copied on first use, through the checked read,
// from the loader's own mapping of its file, or from the image's pages where
// the loader has none); else null, also when neither holds the tables any
// more (the file was cut short).
const void* loader_view_bytes(uint64_t address, uint64_t length);
// Async-signal-safe. Whether any of [address, address + length) lies inside
// the span of a loaded image: where task reads show its view rather than its
// own bytes, and where its pages may map its file, which may be cut short.
bool loader_spans_image(uint64_t address, uint64_t length);
// Async-signal-safe. Copies over `data`, which holds what the process's
// memory at [address, address + length) contains, the view bytes of every
// loaded image that overlap that range.
void loader_apply_views(uint64_t address, void* data, uint64_t length);

// --- Crash time ---
//
// The records above follow only the loader's own looks (SharedLibrary,
// dyld_rescan). At crash time a session reads the dynamic linker's own list
// of loaded objects (LinkMap.h), also while it changes, and until the
// session ends: a record names its place only while its image is still
// there (LoadedElf.h: its build-id note, or its headers and file); a record
// that the list no longer holds, where another listed object or anything
// else now lies, is no longer shown (its view, its unwind tables), while one
// whose place is empty still names stale calls into it; a listed object
// without a record is shown by a view made from its own headers
// (CrashTimeViews.h), its symbols and what only its file holds read once a
// walk reaches it. An address a walk reaches that no listed image holds is
// looked up in the process's map (ProcessMaps.h). Without such a list the
// records serve as they stand.

// Makes the room a session needs: views of `capacity` objects without a
// record that no walk reaches (beyond them, such objects are not shown), and
// of as many that a walk reaches. Not at crash time.
bool loader_prepare_crash_time(uint32_t capacity);

struct loader_crash_time {
    bool started;    // false: another session is under way; do not end this one
    bool following;  // the view follows the linker's list
    bool changed;    // a record was hidden or a view was made
};
// Async-signal-safe. One session at a time, held by the thread that began
// it. A session held by a thread this process does not have (copied into a
// forked child) is taken over; so, for a `crash` (the caller has stopped
// every other thread), is one whose thread has stopped or is the caller:
// the crash never waits on, nor reads, what that one left half done.
loader_crash_time loader_crash_time_begin(bool crash);
// Async-signal-safe. Ends the session when the calling thread still holds it.
void loader_crash_time_end();
// Async-signal-safe. Whether the calling thread holds the session.
bool loader_crash_time_held();
// Async-signal-safe. False while a session hides the record loaded at `header`.
bool loader_image_current(uint64_t header);

struct crash_time_view;
// Async-signal-safe. While a session follows the linker's list: the view
// made in it of the image that holds `address`, complete (its symbols, and
// what only its file holds), made now when there is none yet and the image lies where the loader knows none;
// else null.
const crash_time_view* loader_crash_time_image_at(uint64_t address);

}  // namespace platform::system
