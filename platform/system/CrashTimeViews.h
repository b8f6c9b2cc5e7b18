#pragma once
// Mach-O views made at crash time, for objects that the dynamic linker lists
// but the loader has no record of (opened by a plain dlopen since its last
// look). Room for them is made outside crash time (crash_time_views_prepare);
// at crash time a view is written into a slot from the object's own headers
// (LoadedElf.h): a header, a __TEXT segment over its segments with __text,
// __eh_frame and __eh_frame_hdr sections over its pages, and LC_UUID from its
// build-id. What a report needs of most images ends there; an image that
// holds an address a walk reaches gets a symbol table of its dynamic
// function symbols too (LoadedElfSymbols.h), in room shared by the session's
// views, when it is made or when it is first reached. The loader shows these
// views like its own (Loader.h) while the crash-time session that made them
// lasts.
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
    bool symbols_read;  // its symbol table was looked for
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
// Writes the view of `elf`, named `name` (cut to fit), into the next slot,
// with its symbol table when `with_symbols`; null when there is no room left.
const crash_time_view* crash_time_views_add(const loaded_elf& elf, const char* name, bool with_symbols);
// Gives a view made without its symbol table one; false when it has none
// (already looked for, or none that can be read or fits).
bool crash_time_views_add_symbols(const crash_time_view* view);
uint32_t crash_time_views_count();
const crash_time_view* crash_time_views_at(uint32_t index);
// The first view whose image overlaps [base, base + size), or null.
const crash_time_view* crash_time_views_overlapping(uint64_t base, uint64_t size);

// As loader_view_bytes and loader_apply_views, over these views.
const void* crash_time_views_bytes(uint64_t address, uint64_t length);
void crash_time_views_apply(uint64_t address, void* data, uint64_t length);

}  // namespace platform::system
