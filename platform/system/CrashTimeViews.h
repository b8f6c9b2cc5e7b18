#pragma once
// Mach-O views made at crash time, for objects that the dynamic linker lists
// but the loader has no record of (opened by a plain dlopen since its last
// look). Room for them is made outside crash time (crash_time_views_prepare);
// at crash time a view is written into a slot from the object's own headers
// (LoadedElf.h) and, where it is the one loaded, its file (LoadedElfFile.h):
// a header, a __TEXT segment over its segments with __text, __eh_frame and
// __eh_frame_hdr sections over its pages, LC_UUID from its build-id, and a
// symbol table of its function symbols (LoadedElfSymbols.h) in room shared
// by the session's views: the same as a view the loader makes of it. The loader
// shows these views like its own (Loader.h) while the crash-time session
// that made them lasts.
//
// Async-signal-safe, except crash_time_views_prepare: no allocation, no lock.
// Slots are written by one session at a time (Loader.cpp's session flag).
#include <cstdint>

#include "platform/system/LoadedElf.h"

namespace platform::system {

inline constexpr uint32_t kCrashTimeViewCommands = 512;
inline constexpr uint32_t kCrashTimeViewName = 4096;

struct crash_time_view {
    loaded_elf elf;
    const uint8_t* linkedit;  // null without a symbol table
    uint64_t linkedit_size;
    uint32_t commands_size;
    uint8_t commands[kCrashTimeViewCommands];
    char name[kCrashTimeViewName];
};

// Makes room for `capacity` views and their symbol tables, once per
// process; later calls with a larger capacity do not grow it. Not at crash
// time.
bool crash_time_views_prepare(uint32_t capacity);
uint32_t crash_time_views_capacity();

// Forgets every view.
void crash_time_views_clear();
// Writes the view of `elf`, named by the string at name_address, into the
// next slot; null when there is no room left.
const crash_time_view* crash_time_views_add(const loaded_elf& elf, uint64_t name_address);
uint32_t crash_time_views_count();
const crash_time_view* crash_time_views_at(uint32_t index);

// As loader_view_bytes and loader_apply_views, over these views.
const void* crash_time_views_bytes(uint64_t address, uint64_t length);
void crash_time_views_apply(uint64_t address, void* data, uint64_t length);

}  // namespace platform::system
