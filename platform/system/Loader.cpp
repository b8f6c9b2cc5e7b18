// loader_view_bytes, loader_spans_image, loader_apply_views,
// loader_image_current and the crash-time session (loader_crash_time_begin,
// loader_crash_time_image_at and _end) are async-signal-safe: atomic loads
// over records that are never freed, checked reads of the process, room made
// beforehand, no allocation, no lock, raw system calls only (open and read
// of the process's map and of image files included, and a reservation of a
// closed image's range, made and undone at once); the bytes of the
// loader's mappings of image files are read through the checked read
// (Mach.h), never in place. Everything else here runs outside crash time
// under the loader's mutex.
#include "platform/system/Loader.h"

#include <link.h>
#include <sys/mman.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/foundation/SharedLibrary.h"
#include "platform/system/CrashTimeViews.h"
#include "platform/system/Host.h"
#include "platform/system/LinkMap.h"
#include "platform/system/LoadedElf.h"
#include "platform/system/Mach.h"
#include "platform/system/MachOView.h"
#include "platform/system/MachThread.h"
#include "platform/system/ProcessMaps.h"

namespace platform::system {

namespace {

struct Record {
    MachOView view;
    const void* phdr = nullptr;  // with the bias, tells one load from another
    std::atomic<bool> loaded{true};
    Record* next = nullptr;  // fixed before the record is published
    // What a crash-time look at the dynamic linker's list matches it by.
    loaded_elf elf;
    bool pinned = false;  // the program or the vDSO: never unloaded
    // The crash-time sessions that found it on the linker's list, or found
    // another image where it was.
    std::atomic<uint64_t> listedIn{0};
    std::atomic<uint64_t> goneIn{0};
};

// Prepended to, never shortened: crash-time readers walk it without a lock.
std::atomic<Record*> records{nullptr};

struct LoaderState {
    std::recursive_mutex mutex;
    std::vector<dyld_image_callback> addCallbacks;
    std::vector<dyld_image_callback> removeCallbacks;
    std::vector<Record*> loaded;  // in load order
    bool scanned = false;
    unsigned long long adds = 0;
    unsigned long long subs = 0;
};

void onSharedLibrary(const std::string&, bool) { dyld_rescan(); }

// Never destroyed: libraries may still be closed while the process exits.
LoaderState& loaderState() {
    static LoaderState* state = [] {
        foundation::SharedLibrary::setObserver(&onSharedLibrary);
        return new LoaderState;
    }();
    return *state;
}

const mach_header* headerOf(const Record* r) { return reinterpret_cast<const mach_header*>(r->view.base); }

struct Seen {
    dl_phdr_info info;
    std::string name;
    loaded_elf elf;  // its identity, read when first asked for
    bool identified = false;
    const loaded_elf& identity() {
        if (!identified)
            loaded_elf_read(info.dlpi_addr, reinterpret_cast<uint64_t>(info.dlpi_phdr), info.dlpi_phnum, &elf);
        identified = true;
        return elf;
    }
};

// A file replaced on disk may be loaded again at the very place of the one
// before it: only the build-id tells them apart, or without one the headers
// and the file mapped. That takes a load and an unload since the last look;
// without both, the image at a record's place is the record's.
bool sameImage(const Record* r, Seen& seen, bool mayBeReplaced) {
    return r->view.bias == seen.info.dlpi_addr && r->phdr == seen.info.dlpi_phdr &&
           (!mayBeReplaced || loaded_elf_same(r->elf, seen.identity()));
}

// The crash-time session under way, 0 when none is (see loader_crash_time_begin).
std::atomic<uint64_t> activeSession{0};

// Hidden by the crash-time session under way: another image lies where it was.
bool goneNow(const Record* r) {
    const uint64_t session = activeSession.load(std::memory_order_acquire);
    return session != 0 && r->goneIn.load(std::memory_order_relaxed) == session;
}

void noteIdentity(Record* r, Seen& seen) {
    r->elf = seen.identity();
    r->pinned = seen.name.empty() || seen.name.find('/') == std::string::npos;
}

struct ScanContext {
    std::vector<Seen> seen;
    unsigned long long adds = 0, subs = 0;
    bool countersOnly = false;
};

int collect(dl_phdr_info* info, size_t size, void* data) {
    auto* ctx = static_cast<ScanContext*>(data);
    if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
        ctx->adds = info->dlpi_adds;
        ctx->subs = info->dlpi_subs;
    }
    if (ctx->countersOnly) return 1;
    // The first entry is the main program, whatever its name.
    Seen& seen = ctx->seen.emplace_back();
    seen.info = *info;
    if (ctx->seen.size() > 1 && info->dlpi_name) seen.name = info->dlpi_name;
    return 0;
}

void rescanLocked(LoaderState& s) {
    ScanContext probe;
    probe.countersOnly = true;
    dl_iterate_phdr(collect, &probe);
    if (s.scanned && probe.adds == s.adds && probe.subs == s.subs) return;

    ScanContext scan;
    dl_iterate_phdr(collect, &scan);
    const bool mayBeReplaced = s.scanned && scan.adds != s.adds && scan.subs != s.subs;
    s.scanned = true;
    s.adds = scan.adds;
    s.subs = scan.subs;

    std::vector<Record*> now;
    std::vector<Record*> added;
    for (Seen& seen : scan.seen) {
        if (seen.info.dlpi_phnum == 0) continue;
        Record* found = nullptr;
        for (Record* r : s.loaded)
            if (sameImage(r, seen, mayBeReplaced)) found = r;
        if (!found) {
            // The same file back at the same place: its old view still holds.
            for (Record* r = records.load(); r && !found; r = r->next)
                if (!r->loaded.load() && sameImage(r, seen, true) && (seen.name.empty() || r->view.path == seen.name))
                    found = r;
            if (!found) {
                auto record = std::make_unique<Record>();
                if (!buildMachOView(seen.info, seen.name, seen.identity(), &record->view, nullptr)) continue;
                record->phdr = seen.info.dlpi_phdr;
                noteIdentity(record.get(), seen);
                record->next = records.load();
                found = record.release();
                while (!records.compare_exchange_weak(found->next, found)) {
                }
            } else {
                // Its unwind tables now come from its pages (the mapping of
                // its file went with the unload); a copy made of another
                // image without a build-id at this place may not be of it.
                if (!found->view.hasUuid)
                    for (MachOView::Range& t : found->view.unwindTables) t.copy.store(nullptr);
                found->loaded.store(true);
            }
            added.push_back(found);
        }
        now.push_back(found);
    }
    std::vector<Record*> removed;
    for (Record* r : s.loaded)
        if (std::find(now.begin(), now.end(), r) == now.end()) removed.push_back(r);
    s.loaded = now;
    for (Record* r : removed) {
        r->loaded.store(false);
        for (auto cb : std::vector(s.removeCallbacks)) cb(headerOf(r), 0);
        // Its file may be replaced or cut short now; nothing keeps it mapped.
        releaseUnwindTables(&r->view);
    }
    for (Record* r : added)
        for (auto cb : std::vector(s.addCallbacks)) cb(headerOf(r), 0);
}

bool inside(uint64_t base, uint64_t size, uint64_t address, uint64_t length) {
    return address >= base && address - base <= size && length <= size - (address - base);
}

// Whether two ranges share a byte; a range that would pass the top of the
// address space ends there.
bool overlaps(uint64_t base, uint64_t size, uint64_t otherBase, uint64_t otherSize) {
    const uint64_t end = size > UINT64_MAX - base ? UINT64_MAX : base + size;
    const uint64_t otherEnd = otherSize > UINT64_MAX - otherBase ? UINT64_MAX : otherBase + otherSize;
    return base < otherEnd && otherBase < end;
}

// Whether a view made at this crash lies over any of the range.
bool crashTimeViewOverlaps(uint64_t base, uint64_t size) { return crash_time_views_overlapping(base, size) != nullptr; }

}  // namespace

void dyld_register_func_for_add_image(dyld_image_callback callback) {
    LoaderState& s = loaderState();
    std::lock_guard lock(s.mutex);
    rescanLocked(s);
    s.addCallbacks.push_back(callback);
    for (Record* r : std::vector(s.loaded)) callback(headerOf(r), 0);
}

void dyld_register_func_for_remove_image(dyld_image_callback callback) {
    LoaderState& s = loaderState();
    std::lock_guard lock(s.mutex);
    s.removeCallbacks.push_back(callback);
}

void dyld_rescan() {
    LoaderState& s = loaderState();
    std::lock_guard lock(s.mutex);
    rescanLocked(s);
}

uint32_t dyld_image_count() {
    LoaderState& s = loaderState();
    std::lock_guard lock(s.mutex);
    rescanLocked(s);
    return static_cast<uint32_t>(s.loaded.size());
}

const mach_header* dyld_get_image_header(uint32_t index) {
    LoaderState& s = loaderState();
    std::lock_guard lock(s.mutex);
    return index < s.loaded.size() ? headerOf(s.loaded[index]) : nullptr;
}

const char* dyld_get_image_name(uint32_t index) {
    LoaderState& s = loaderState();
    std::lock_guard lock(s.mutex);
    return index < s.loaded.size() ? s.loaded[index]->view.path.c_str() : nullptr;
}

bool dyld_image_span(const mach_header* header, uint64_t* base, uint64_t* size) {
    LoaderState& s = loaderState();
    std::lock_guard lock(s.mutex);
    for (Record* r : s.loaded) {
        if (headerOf(r) != header) continue;
        if (base) *base = r->view.base;
        if (size) *size = r->view.span;
        return true;
    }
    return false;
}

int dladdr(const void* address, dl_info* info) {
    LoaderState& s = loaderState();
    std::lock_guard lock(s.mutex);
    auto a = reinterpret_cast<uint64_t>(address);
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (Record* r : s.loaded) {
            if (!inside(r->view.base, r->view.span, a, 1)) continue;
            if (info) *info = {r->view.path.c_str(), reinterpret_cast<void*>(r->view.base), nullptr, nullptr};
            return 1;
        }
        rescanLocked(s);
    }
    return 0;
}

namespace {

// The unwind table's bytes in memory of the loader's own that is never
// released: a copy the first reader makes with the checked read, from the
// loader's mapping of the file, which the file may have been cut short
// under, or without one from the loaded image's pages. Null when neither
// holds them any more; the reader then tries the image's pages itself.
const uint8_t* unwindCopy(const Record& r, MachOView::Range& table) {
    if (const uint8_t* copy = table.copy.load(std::memory_order_acquire)) return copy;
    const uint8_t* from = table.bytes.load(std::memory_order_acquire);
    const uint64_t source = from ? reinterpret_cast<uint64_t>(from) : table.address;
    const uint64_t total = (table.size + vm_page_mask()) & ~vm_page_mask();
    void* local = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (local == MAP_FAILED) return nullptr;
    vm_size_t got = 0;
    const bool read = vm_read_overwrite(mach_task_self(), source, table.size, reinterpret_cast<uint64_t>(local),
                                        &got) == KERN_SUCCESS;
    ::mprotect(local, total, PROT_READ);
    // What was read may be of another mapping, when the mapping or the image
    // went meanwhile.
    const bool kept =
        from ? table.bytes.load(std::memory_order_acquire) == from : r.loaded.load(std::memory_order_acquire);
    const uint8_t* expected = nullptr;
    if (read && kept &&
        table.copy.compare_exchange_strong(expected, static_cast<const uint8_t*>(local), std::memory_order_acq_rel))
        return static_cast<const uint8_t*>(local);
    // Not read, or another reader was first: its copy is the one kept.
    ::munmap(local, total);
    return expected;
}

}  // namespace

const void* loader_view_bytes(uint64_t address, uint64_t length) {
    if (const void* made = crash_time_views_bytes(address, length)) return made;
    for (Record* r = records.load(std::memory_order_acquire); r; r = r->next) {
        MachOView& v = r->view;
        const bool loaded = r->loaded.load(std::memory_order_acquire) && !goneNow(r);
        if (loaded && inside(v.base, v.commands.size(), address, length)) return v.commands.data() + (address - v.base);
        for (MachOView::Range& t : v.unwindTables) {
            if (!loaded || t.size == 0 || !inside(t.address, t.size, address, length)) continue;
            const uint8_t* bytes = unwindCopy(*r, t);
            return bytes ? bytes + (address - t.address) : nullptr;
        }
        auto linkedit = reinterpret_cast<uint64_t>(v.linkedit.data());
        if (inside(linkedit, v.linkedit.size(), address, length)) return reinterpret_cast<const void*>(address);
    }
    return nullptr;
}

bool loader_spans_image(uint64_t address, uint64_t length) {
    for (const Record* r = records.load(std::memory_order_acquire); r; r = r->next)
        if (r->loaded.load(std::memory_order_acquire) && overlaps(r->view.base, r->view.span, address, length))
            return true;
    // Objects the loader heard of only at this crash are images too.
    return crashTimeViewOverlaps(address, length);
}

void loader_apply_views(uint64_t address, void* data, uint64_t length) {
    auto* out = static_cast<uint8_t*>(data);
    for (const Record* r = records.load(std::memory_order_acquire); r; r = r->next) {
        if (!r->loaded.load(std::memory_order_acquire) || goneNow(r)) continue;
        const MachOView& v = r->view;
        uint64_t viewEnd = v.base + v.commands.size();
        uint64_t end = length > UINT64_MAX - address ? UINT64_MAX : address + length;
        uint64_t from = address > v.base ? address : v.base;
        uint64_t to = end < viewEnd ? end : viewEnd;
        for (uint64_t a = from; a < to; ++a) out[a - address] = v.commands[a - v.base];
    }
    crash_time_views_apply(address, data, length);
}

// --- The crash-time session ---

namespace {

// Room for one look at the dynamic linker's list, made outside crash time.
struct SessionRoom {
    link_map_object* objects = nullptr;
    uint8_t* matched = nullptr;
    // Where each object without a record or a view lies: 0, 0 when unread.
    uint64_t* bases = nullptr;
    uint64_t* spans = nullptr;
    uint32_t capacity = 0;
    uint32_t count = 0;        // objects listed in the session under way
    uint32_t withoutWalk = 0;  // views it made of images no walk had reached
    // Its reads of the process's map, whichever reader makes them.
    process_maps_budget maps;
    char name[kCrashTimeViewName];
};
std::atomic<SessionRoom*> sessionRoom{nullptr};
// The thread whose session is under way, 0 while none is.
std::atomic<int32_t> sessionOwner{0};
std::atomic<uint64_t> sessionCount{0};
// Room for views of images that hold no walked address; as many again are
// kept for those that do.
std::atomic<uint32_t> viewsWithoutWalk{0};

constexpr uint32_t kListedObjectsMax = 4096;
// Each read of the process's map costs time in proportion to the mappings:
// many libraries without a build-id, or addresses that lie in no image (a
// wild return address), must not make a report slow.
constexpr uint32_t kMapReadsMax = 8;

// Whether the linker's object is the one the record was made of: same place,
// same dynamic section, still there (its build-id note, or its headers and
// file) and, without a build-id, the same name.
bool sameObject(const Record* r, const link_map_object& o, char (&name)[kCrashTimeViewName],
                process_maps_budget* maps) {
    if (r->elf.base == 0 || r->elf.bias != o.bias || r->elf.dynamic != o.dynamic) return false;
    if (!loaded_elf_still_there(r->elf, maps)) return false;
    if (r->elf.note_size > 0 || o.first) return true;  // the program: the linker gives it no name
    if (!link_map_read_name(o.name, name, sizeof name)) return false;
    return r->view.path == std::string_view(name);
}

// Whether a record seen in this session, or a view made in it, covers any of
// [base, base + size).
bool takenInSession(uint64_t session, uint64_t base, uint64_t size, const Record* except) {
    for (const Record* r = records.load(std::memory_order_acquire); r; r = r->next)
        if (r != except && r->listedIn.load() == session && overlaps(r->view.base, r->view.span, base, size))
            return true;
    return crashTimeViewOverlaps(base, size);
}

// Whether an image the loader knows, or one made in the session, covers any
// of the range: where no image found at crash time may be put.
bool takenNow(uint64_t session, uint64_t base, uint64_t size) {
    if (takenInSession(session, base, size, nullptr)) return true;
    for (const Record* r = records.load(std::memory_order_acquire); r; r = r->next)
        if (r->loaded.load() && !goneNow(r) && overlaps(r->view.base, r->view.span, base, size)) return true;
    return false;
}

// Whether the linker lists an object where the record's was.
bool listedAt(const link_map_object* objects, uint32_t count, const loaded_elf& elf) {
    for (uint32_t i = 0; i < count; ++i)
        if (objects[i].bias == elf.bias && objects[i].dynamic == elf.dynamic) return true;
    return false;
}

// Whether anything is mapped over any of [base, base + size), whatever its
// size: the whole range reserved at once is refused where anything lies. A
// kernel that takes the place only as a hint puts the reservation elsewhere
// then. A reservation refused for another reason (no room for another
// mapping, an address-space limit) tells nothing: the range counts as taken,
// which only leaves a stale call there unnamed.
bool anythingMapped(uint64_t base, uint64_t size) {
    if (size == 0) return false;
    const uint64_t page = vm_page_size();
    const uint64_t start = base & ~(page - 1);
    const uint64_t last = size - 1 > UINT64_MAX - base ? UINT64_MAX : base + (size - 1);
    const uint64_t length = (last | (page - 1)) - start + 1;
    if (length == 0) return true;
    void* wanted = reinterpret_cast<void*>(start);
    const int savedErrno = errno;
    void* got =
        ::mmap(wanted, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    errno = savedErrno;
    if (got == MAP_FAILED) return true;
    ::munmap(got, length);
    return got != wanted;
}

// Whether a session may be taken from the thread that holds it: one that is
// not a thread of this process (a fork's copy) holds nothing; for a crash,
// which has stopped every other thread first, neither does the crashing
// thread itself (its session was cut short by the fault) nor a thread that
// has stopped (a live report caught half-way, which never runs on into what
// the crash makes of it).
bool sessionForsaken(int32_t owner, int32_t self, bool crash) {
    if (!thread_is_ours(static_cast<thread_t>(owner))) return true;
    if (!crash) return false;
    mcontext_t stopped;
    return owner == self || thread_get_state(static_cast<thread_t>(owner), &stopped) == KERN_SUCCESS;
}

}  // namespace

bool loader_prepare_crash_time(uint32_t capacity) {
    static std::once_flag once;
    std::call_once(once, [capacity] {
        link_map_prepare();
        auto* room = new SessionRoom;
        room->capacity = kListedObjectsMax;
        room->objects = new link_map_object[room->capacity];
        room->matched = new uint8_t[room->capacity];
        room->bases = new uint64_t[room->capacity];
        room->spans = new uint64_t[room->capacity];
        viewsWithoutWalk.store(capacity);
        sessionRoom.store(room);
    });
    return crash_time_views_prepare(2 * capacity);
}

loader_crash_time loader_crash_time_begin(bool crash) {
    loader_crash_time result{};
    const auto self = static_cast<int32_t>(mach_thread_self());
    int32_t owner = 0;
    if (!sessionOwner.compare_exchange_strong(owner, self) &&
        (!sessionForsaken(owner, self, crash) || !sessionOwner.compare_exchange_strong(owner, self)))
        return result;
    result.started = true;
    // Nothing of a session taken over is shown while this one is made.
    activeSession.store(0, std::memory_order_release);
    SessionRoom* room = sessionRoom.load();
    if (room) room->maps.reads_left = kMapReadsMax;
    crash_time_views_clear(room ? &room->maps : nullptr);
    if (!room) return result;
    room->count = 0;
    room->withoutWalk = 0;
    uint32_t count = 0;
    // Read while the list changes too: what is read is whole, and an image
    // missing from it is found from its mappings when a walk reaches it.
    if (link_map_read(room->objects, room->capacity, &count) == LINK_MAP_ABSENT) return result;
    const uint64_t session = sessionCount.fetch_add(1) + 1;

    // The records the list still holds; the program among them, or the list
    // read is not the one the records were made from.
    bool programFound = false;
    for (uint32_t i = 0; i < count; ++i) {
        const link_map_object& o = room->objects[i];
        room->matched[i] = 0;
        for (Record* r = records.load(std::memory_order_acquire); r; r = r->next) {
            if (!r->loaded.load() || r->listedIn.load() == session || !sameObject(r, o, room->name, &room->maps))
                continue;
            r->listedIn.store(session);
            room->matched[i] = 1;
            programFound |= o.first;
            break;
        }
    }
    if (!programFound) return result;
    room->count = count;

    // Objects opened since the loader's last look: a view of each from its
    // own headers, unless something the loader knows lies there, in room
    // that is bounded; their symbols wait until a walk reaches them.
    const uint32_t withoutWalk = viewsWithoutWalk.load();
    for (uint32_t i = 0; i < count; ++i) {
        room->bases[i] = room->spans[i] = 0;
        if (room->matched[i]) continue;
        loaded_elf elf;
        if (!loaded_elf_find(room->objects[i].bias, room->objects[i].dynamic, &elf)) continue;
        bool taken = takenInSession(session, elf.base, elf.span, nullptr);
        for (const Record* r = records.load(std::memory_order_acquire); r && !taken; r = r->next)
            taken = r->pinned && r->loaded.load() && overlaps(r->view.base, r->view.span, elf.base, elf.span);
        if (taken) continue;
        if (room->withoutWalk < withoutWalk) {
            link_map_read_name(room->objects[i].name, room->name, sizeof room->name);
            if (crash_time_views_add(elf, room->name, false)) {
                ++room->withoutWalk;
                result.changed = true;
                continue;
            }
        }
        // No room: made when a walk reaches it.
        room->bases[i] = elf.base;
        room->spans[i] = elf.span;
    }

    // A record off the list names its place only while its image is still
    // there (or listed there, though unreadable: a file cut short under it),
    // or while the place is empty (a stale call into it is still its);
    // another image there, or anything else mapped there (code made at run
    // time), is not its.
    for (Record* r = records.load(std::memory_order_acquire); r; r = r->next) {
        if (!r->loaded.load() || r->pinned || r->listedIn.load() == session) continue;
        if (!takenInSession(session, r->view.base, r->view.span, r) &&
            (listedAt(room->objects, count, r->elf) || loaded_elf_still_there(r->elf, &room->maps) ||
             !anythingMapped(r->view.base, r->view.span)))
            continue;
        r->goneIn.store(session);
        result.changed = true;
    }
    result.following = true;
    activeSession.store(session, std::memory_order_release);
    return result;
}

const crash_time_view* loader_crash_time_image_at(uint64_t address) {
    const uint64_t session = activeSession.load(std::memory_order_acquire);
    SessionRoom* room = sessionRoom.load();
    if (session == 0 || !room || !loader_crash_time_held()) return nullptr;
    if (const crash_time_view* view = crash_time_views_overlapping(address, 1)) {
        crash_time_views_complete(view);
        return view;
    }
    if (takenNow(session, address, 1)) return nullptr;
    // Listed, beyond the room for images no walk reaches.
    for (uint32_t i = 0; i < room->count; ++i) {
        loaded_elf elf;
        const link_map_object& o = room->objects[i];
        if (!overlaps(room->bases[i], room->spans[i], address, 1) || !loaded_elf_find(o.bias, o.dynamic, &elf) ||
            elf.base != room->bases[i] || takenNow(session, elf.base, elf.span))
            continue;
        link_map_read_name(o.name, room->name, sizeof room->name);
        return crash_time_views_add(elf, room->name, true);
    }
    // Off the list as read (torn, changing, or past its room): the ELF header
    // that starts the file mapped there tells what it is.
    process_mapping mapping;
    loaded_elf elf;
    if (!process_mapping_find(address, &mapping, room->name, sizeof room->name, &room->maps) ||
        mapping.file_start == 0 || !loaded_elf_from_file(mapping.file_start, &elf) ||
        !overlaps(elf.base, elf.span, address, 1) || takenNow(session, elf.base, elf.span))
        return nullptr;
    // The linker's name for it where it lists it.
    for (uint32_t i = 0; i < room->count; ++i) {
        const link_map_object& o = room->objects[i];
        if (o.bias == elf.bias && o.dynamic == elf.dynamic && !o.first) {
            link_map_read_name(o.name, room->name, sizeof room->name);
            break;
        }
    }
    return crash_time_views_add(elf, room->name, true);
}

bool loader_crash_time_held() {
    return sessionOwner.load(std::memory_order_acquire) == static_cast<int32_t>(mach_thread_self());
}

void loader_crash_time_end() {
    // A session taken over is its new holder's to end.
    if (!loader_crash_time_held()) return;
    activeSession.store(0, std::memory_order_release);
    crash_time_views_clear(nullptr);
    sessionOwner.store(0, std::memory_order_release);
}

bool loader_image_current(uint64_t header) {
    if (activeSession.load(std::memory_order_acquire) == 0) return true;
    for (const Record* r = records.load(std::memory_order_acquire); r; r = r->next)
        if (r->loaded.load() && r->view.base == header) return !goneNow(r);
    return true;
}

}  // namespace platform::system
