#pragma once
// Mach-O views made at crash time, for objects that the dynamic linker lists,
// or whose file is mapped where a walked address lies, but the loader has no
// record of (opened by a plain dlopen since its last look). Room for them is
// made outside crash time (crash_time_views_prepare); at crash time a view is
// written into a slot from the object's own headers (LoadedElf.h): a header,
// a __TEXT segment over its segments with __text, __eh_frame and
// __eh_frame_hdr sections over its pages, and LC_UUID from its
// build-id. What a report needs of most images ends there. An image that
// holds an address a walk reaches is completed, when its view is made or
// when it is first reached: from its file, where that is the one loaded
// (LoadedElfFile.h), .eh_frame where no .eh_frame_hdr points at it, and a
// symbol table of its function symbols (LoadedElfSymbols.h), from the file's
// own where it has one, in room shared by the session's views: then the
// same as a view the loader makes of it. The loader shows these views like
// its own (Loader.h) while the crash-time session that made them lasts.
//
// Async-signal-safe, except crash_time_views_prepare: no allocation, no lock,
// the file read through raw system calls into buffers of ours. Slots are
// written by one session at a time (the thread that holds Loader.cpp's session).
#include <cstdint>

#include "platform/system/LoadedElf.h"

namespace platform::system {

inline constexpr uint32_t kCrashTimeViewCommands = 512;
inline constexpr uint32_t kCrashTimeViewName = 4096;

struct crash_time_view {
    loaded_elf elf;
    const uint8_t* linkedit;  // null without a symbol table
    uint64_t linkedit_size;
    bool completed;  // its file and symbol table were looked for
    uint32_t commands_size;
    uint8_t commands[kCrashTimeViewCommands];
    char name[kCrashTimeViewName];
};

// Makes room for `capacity` views and their symbol tables, once per
// process; later calls with a larger capacity do not grow it. Not at crash
// time.
bool crash_time_views_prepare(uint32_t capacity);
uint32_t crash_time_views_capacity();

// Forgets every view. Until the next clear, the reads of the process's map
// that completing views makes count against `maps` (the session's budget
// for the report, ProcessMaps.h).
void crash_time_views_clear(process_maps_budget* maps);
// Writes the view of `elf`, named `name` (cut to fit: the path its file is
// opened by), into the next slot, completed when `complete_now`; null when
// there is no room left.
const crash_time_view* crash_time_views_add(const loaded_elf& elf, const char* name, bool complete_now);
// Completes a view made without: true when it changed (an .eh_frame found
// in its file, or a symbol table), false when it did not (already completed,
// nothing that can be read or fits).
bool crash_time_views_complete(const crash_time_view* view);
uint32_t crash_time_views_count();
const crash_time_view* crash_time_views_at(uint32_t index);
// The first view whose image overlaps [base, base + size), or null.
const crash_time_view* crash_time_views_overlapping(uint64_t base, uint64_t size);

// As loader_view_bytes and loader_apply_views, over these views.
const void* crash_time_views_bytes(uint64_t address, uint64_t length);
void crash_time_views_apply(uint64_t address, void* data, uint64_t length);

}  // namespace platform::system
