// Crash-time code: no allocation from the heap (section mappings and the
// lookaside table come from mmap), no lock, only async-signal-safe calls.
// objc_class_mask_static_init runs once at start-up.
#include "crash/capture/image/ObjCMetadata.h"

#include <sys/mman.h>

#include "crash/capture/async/AsyncMemory.h"
#include "platform/system/Sysctl.h"

namespace ovcrash {

namespace ps = platform::system;

namespace {

uint64_t gClassMask = 0x1fffffff8ull;

constexpr uint32_t kRealized = 1u << 31;
constexpr uint32_t kReadOnlyCopied = 1u << 27;
constexpr uint32_t kLegacyNoMethodArray = 0x4000;
// Bounds for the legacy layout, whose lists lie in no section to check them by.
constexpr uint32_t kLegacyMaxLists = 1024;
constexpr uint32_t kLegacyMaxMethods = 65536;

struct Walk {
    const macho_image* image;
    objc_metadata_cache* cache;
    objc_method_callback callback;
    void* context;
    bool m64;
    uint64_t w;  // word size
};

uint32_t u32(const Walk& walk, const uint8_t* p) {
    uint32_t v;
    __builtin_memcpy(&v, p, 4);
    return walk.image->byteorder->swap32(v);
}

uint64_t word(const Walk& walk, const uint8_t* p) {
    if (!walk.m64) return u32(walk, p);
    uint64_t v;
    __builtin_memcpy(&v, p, 8);
    return walk.image->byteorder->swap64(v);
}

const uint8_t* inSection(const async_mobject& mobj, bool present, uint64_t address, uint64_t length) {
    if (!present) return nullptr;
    return static_cast<const uint8_t*>(mobject_remap_address(&mobj, address, 0, length));
}

bool readTask(const Walk& walk, uint64_t address, void* out, uint64_t length) {
    return async_task_read(walk.image->task, address, 0, out, length) == ASYNC_ESUCCESS;
}

void report(const Walk& walk, bool is_class, macho_string* class_name, uint64_t name_address, uint64_t imp) {
    macho_string name;
    macho_string_init(&name, walk.image, name_address);
    walk.callback(is_class, class_name, &name, imp, walk.context);
    macho_string_free(&name);
}

// ---- Lookaside table ----

void lookasideInsert(objc_metadata_cache* cache, uint64_t data, uint64_t read_only) {
    if (cache->lookaside_size == 0) {
        if (cache->lookaside_keys == reinterpret_cast<uint64_t*>(MAP_FAILED)) return;  // could not be made
        void* table =
            ::mmap(nullptr, OBJC_LOOKASIDE_SIZE * 16, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (table == MAP_FAILED) {
            cache->lookaside_keys = reinterpret_cast<uint64_t*>(MAP_FAILED);
            return;
        }
        cache->lookaside_keys = static_cast<uint64_t*>(table);
        cache->lookaside_values = cache->lookaside_keys + OBJC_LOOKASIDE_SIZE;
        cache->lookaside_size = OBJC_LOOKASIDE_SIZE;
    }
    size_t slot = (data / 4) % cache->lookaside_size;
    if (cache->lookaside_keys[slot] != 0) return;  // the first entry stays
    cache->lookaside_keys[slot] = data;
    cache->lookaside_values[slot] = read_only;
}

bool lookasideFind(const objc_metadata_cache* cache, uint64_t data, uint64_t* read_only) {
    if (cache->lookaside_size == 0) return false;
    size_t slot = (data / 4) % cache->lookaside_size;
    if (cache->lookaside_keys[slot] != data) return false;
    *read_only = cache->lookaside_values[slot];
    return true;
}

// ---- Modern layout ----

void releaseSections(objc_metadata_cache* cache) {
    for (auto [mobj, present] :
         {std::pair{&cache->objc_const, &cache->objc_const_present},
          std::pair{&cache->classlist, &cache->classlist_present}, std::pair{&cache->catlist, &cache->catlist_present},
          std::pair{&cache->objc_data, &cache->objc_data_present}}) {
        if (*present) mobject_free(mobj);
        *present = false;
    }
    cache->mapped_image = nullptr;
}

// Maps the four sections of image unless they are mapped already. A missing
// class or category list leaves the other to be walked.
async_error mapSections(const macho_image* image, objc_metadata_cache* cache) {
    if (cache->mapped_image == image) return ASYNC_ESUCCESS;
    releaseSections(cache);
    cache->mapped_image = image;
    cache->objc_const_present =
        macho_image_map_section(image, "__DATA", "__objc_const", &cache->objc_const) == ASYNC_ESUCCESS;
    cache->classlist_present =
        macho_image_map_section(image, "__DATA", "__objc_classlist", &cache->classlist) == ASYNC_ESUCCESS;
    cache->catlist_present =
        macho_image_map_section(image, "__DATA", "__objc_catlist", &cache->catlist) == ASYNC_ESUCCESS;
    cache->objc_data_present =
        macho_image_map_section(image, "__DATA", "__objc_data", &cache->objc_data) == ASYNC_ESUCCESS;
    return ASYNC_ESUCCESS;
}

// A class's name and base method list. Classes outside __objc_data are read
// from the task only when allowed (the classes of categories).
async_error readClass(Walk& walk, uint64_t cls, bool from_task, macho_string* name, uint64_t* methods, uint64_t* isa) {
    objc_metadata_cache* cache = walk.cache;
    uint8_t classBuffer[40];
    const uint8_t* c = inSection(cache->objc_data, cache->objc_data_present, cls, 5 * walk.w);
    if (!c) {
        if (!from_task || !readTask(walk, cls, classBuffer, 5 * walk.w)) return ASYNC_EINVALID_DATA;
        c = classBuffer;
    }
    *isa = word(walk, c);
    const uint64_t data = word(walk, c + 4 * walk.w) & ~uint64_t{3};
    const uint64_t roSize = walk.m64 ? 72 : 40;
    uint8_t roBuffer[72];
    const uint8_t* ro = nullptr;
    uint64_t roAddress;
    if (lookasideFind(cache, data, &roAddress)) {
        ro = inSection(cache->objc_const, cache->objc_const_present, roAddress, roSize);
        if (!ro) {
            if (!readTask(walk, roAddress, roBuffer, roSize)) return ASYNC_EINVALID_DATA;
            ro = roBuffer;
        }
    } else {
        uint8_t rw[16];
        if (data == 0 || !readTask(walk, data, rw, walk.m64 ? 16 : 12)) return ASYNC_EINVALID_DATA;
        const uint32_t flags = u32(walk, rw);
        if (!(flags & kRealized)) return ASYNC_ENOTFOUND;
        roAddress = word(walk, rw + 8);
        // Read-only data that was never copied lies in __objc_const.
        if (!(flags & kReadOnlyCopied)) ro = inSection(cache->objc_const, cache->objc_const_present, roAddress, roSize);
        if (!ro) {
            if (!readTask(walk, roAddress, roBuffer, roSize)) return ASYNC_EINVALID_DATA;
            ro = roBuffer;
        }
        lookasideInsert(cache, data, roAddress);
    }
    macho_string_init(name, walk.image, word(walk, ro + (walk.m64 ? 24 : 16)));
    *methods = word(walk, ro + (walk.m64 ? 32 : 20));
    return ASYNC_ESUCCESS;
}

// Reports a method list that lies whole inside __objc_const.
async_error reportMethodList(Walk& walk, uint64_t list, bool is_class, macho_string* class_name) {
    if (list == 0) return ASYNC_ESUCCESS;
    objc_metadata_cache* cache = walk.cache;
    const uint8_t* header = inSection(cache->objc_const, cache->objc_const_present, list, 8);
    if (!header) return ASYNC_EINVALID_DATA;
    const uint64_t entrySize = u32(walk, header) & ~uint32_t{3};
    const uint64_t count = u32(walk, header + 4);
    if (entrySize < 3 * walk.w) return ASYNC_EINVALID_DATA;
    const uint8_t* entries = inSection(cache->objc_const, cache->objc_const_present, list + 8, count * entrySize);
    if (count && !entries) return ASYNC_EINVALID_DATA;
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* e = entries + i * entrySize;
        report(walk, is_class, class_name, word(walk, e), word(walk, e + 2 * walk.w));
    }
    return ASYNC_ESUCCESS;
}

// One class (or metaclass) and its methods; what is unrealized or bad is
// skipped by the caller.
async_error reportClass(Walk& walk, uint64_t cls, bool is_class, uint64_t* isa) {
    macho_string name;
    uint64_t methods;
    async_error err = readClass(walk, cls, false, &name, &methods, isa);
    if (err != ASYNC_ESUCCESS) return err;
    err = reportMethodList(walk, methods, is_class, &name);
    macho_string_free(&name);
    return err;
}

async_error walkModern(Walk& walk) {
    objc_metadata_cache* cache = walk.cache;
    mapSections(walk.image, cache);
    // Without these two nothing found could be checked.
    if (!cache->objc_const_present || !cache->objc_data_present ||
        (!cache->classlist_present && !cache->catlist_present))
        return ASYNC_ENOTFOUND;
    const bool arm64 = macho_image_cpu_type(walk.image) == ps::CPU_TYPE_ARM64;

    if (cache->classlist_present) {
        const auto* list = reinterpret_cast<const uint8_t*>(cache->classlist.address);
        for (uint64_t i = 0; i + walk.w <= cache->classlist.length; i += walk.w) {
            uint64_t isa = 0;
            // An unrealized class is skipped with its metaclass; a bad one too.
            if (reportClass(walk, word(walk, list + i), false, &isa) != ASYNC_ESUCCESS) continue;
            if (arm64 && (isa & 1)) isa &= objc_class_mask();
            uint64_t metaIsa;
            reportClass(walk, isa, true, &metaIsa);
        }
    }
    if (cache->catlist_present) {
        const auto* list = reinterpret_cast<const uint8_t*>(cache->catlist.address);
        for (uint64_t i = 0; i + walk.w <= cache->catlist.length; i += walk.w) {
            const uint8_t* category =
                inSection(cache->objc_const, cache->objc_const_present, word(walk, list + i), 6 * walk.w);
            if (!category) continue;  // a bad category does not end the walk
            macho_string name;
            uint64_t methods, isa;
            if (readClass(walk, word(walk, category + walk.w), true, &name, &methods, &isa) != ASYNC_ESUCCESS) continue;
            reportMethodList(walk, word(walk, category + 2 * walk.w), false, &name);
            reportMethodList(walk, word(walk, category + 3 * walk.w), true, &name);
            macho_string_free(&name);
        }
    }
    cache->legacy_absent_image = walk.image;
    return ASYNC_ESUCCESS;
}

// ---- Legacy layout (32-bit) ----

async_error legacyMethods(Walk& walk, const uint8_t* cls, bool is_class) {
    macho_string name;
    macho_string_init(&name, walk.image, u32(walk, cls + 8));
    const uint32_t info = u32(walk, cls + 16);
    const uint32_t lists = u32(walk, cls + 28);
    async_error err = ASYNC_ESUCCESS;
    for (uint32_t k = 0; lists != 0 && k < kLegacyMaxLists && err == ASYNC_ESUCCESS; ++k) {
        uint32_t list = lists;
        if (!(info & kLegacyNoMethodArray)) {
            uint8_t entry[4];
            if (!readTask(walk, uint64_t{lists} + 4 * k, entry, 4)) {
                err = ASYNC_EINVALID_DATA;
                break;
            }
            list = u32(walk, entry);
            if (list == 0 || list == 0xffffffffu) break;
        }
        uint8_t header[8];
        if (!readTask(walk, list, header, 8)) {
            err = ASYNC_EINVALID_DATA;
            break;
        }
        const uint32_t count = u32(walk, header + 4);
        for (uint32_t m = 0; m < count && m < kLegacyMaxMethods; ++m) {
            uint8_t method[12];
            if (!readTask(walk, uint64_t{list} + 8 + 12ull * m, method, 12)) {
                err = ASYNC_EINVALID_DATA;
                break;
            }
            report(walk, is_class, &name, u32(walk, method), u32(walk, method + 8));
        }
        if (info & kLegacyNoMethodArray) break;
    }
    macho_string_free(&name);
    return err;
}

async_error walkLegacy(Walk& walk, const async_mobject* modules) {
    const auto* m = reinterpret_cast<const uint8_t*>(modules->address);
    for (uint64_t at = 0; at + 16 <= modules->length; at += 16) {
        const uint32_t symtab = u32(walk, m + at + 12);
        if (symtab == 0) continue;
        uint8_t header[12];
        if (!readTask(walk, symtab, header, 12)) return ASYNC_EINVALID_DATA;
        uint16_t classes;
        __builtin_memcpy(&classes, header + 8, 2);
        classes = walk.image->byteorder->swap16(classes);
        for (uint32_t c = 0; c < classes; ++c) {
            uint8_t pointer[4], cls[40], meta[40];
            if (!readTask(walk, uint64_t{symtab} + 12 + 4 * c, pointer, 4) ||
                !readTask(walk, u32(walk, pointer), cls, 40))
                return ASYNC_EINVALID_DATA;
            async_error err = legacyMethods(walk, cls, false);
            if (err != ASYNC_ESUCCESS) return err;
            if (!readTask(walk, u32(walk, cls), meta, 40)) return ASYNC_EINVALID_DATA;
            err = legacyMethods(walk, meta, true);
            if (err != ASYNC_ESUCCESS) return err;
        }
    }
    return ASYNC_ESUCCESS;
}

// ---- The nearest method ----

struct Nearest {
    uint64_t pc;
    uint64_t best;
    bool reported;
    objc_method_callback callback;
    void* context;
};

void collectNearest(bool, macho_string*, macho_string*, uint64_t imp, void* context) {
    auto* n = static_cast<Nearest*>(context);
    if (imp <= n->pc && imp >= n->best) n->best = imp;
}

void reportNearest(bool is_class, macho_string* class_name, macho_string* method_name, uint64_t imp, void* context) {
    auto* n = static_cast<Nearest*>(context);
    if (n->reported || imp != n->best) return;
    n->reported = true;
    n->callback(is_class, class_name, method_name, imp, n->context);
}

}  // namespace

void objc_metadata_cache_init(objc_metadata_cache* cache) { *cache = objc_metadata_cache{}; }

void objc_metadata_cache_free(objc_metadata_cache* cache) {
    releaseSections(cache);
    if (cache->lookaside_size) ::munmap(cache->lookaside_keys, OBJC_LOOKASIDE_SIZE * 16);
    *cache = objc_metadata_cache{};
}

async_error objc_metadata_parse(const macho_image* image, objc_metadata_cache* cache, objc_method_callback callback,
                                void* context) {
    if (!cache) return ASYNC_EACCESS;
    Walk walk{image, cache, callback, context, image->m64, image->m64 ? 8u : 4u};
    if (cache->legacy_absent_image != image) {
        async_mobject modules;
        async_error err = macho_image_map_section(image, "__OBJC", "__module_info", &modules);
        if (err == ASYNC_ESUCCESS) {
            err = walkLegacy(walk, &modules);
            mobject_free(&modules);
            if (err != ASYNC_ENOTFOUND) return err;
        } else if (err != ASYNC_ENOTFOUND) {
            return err;
        }
    }
    return walkModern(walk);
}

async_error objc_find_method(const macho_image* image, objc_metadata_cache* cache, uint64_t pc,
                             objc_method_callback callback, void* context) {
    Nearest nearest{pc, 0, false, callback, context};
    async_error err = objc_metadata_parse(image, cache, collectNearest, &nearest);
    if (err != ASYNC_ESUCCESS) return err;
    if (nearest.best == 0) return ASYNC_ENOTFOUND;
    err = objc_metadata_parse(image, cache, reportNearest, &nearest);
    if (err != ASYNC_ESUCCESS) return err;
    return nearest.reported ? ASYNC_ESUCCESS : ASYNC_ENOTFOUND;
}

void objc_class_mask_static_init() {
    char version[32] = {};
    size_t size = sizeof version - 1;
    int major = 0;
    if (ps::sysctlbyname("kern.osproductversion", version, &size, nullptr, 0) == 0)
        for (const char* c = version; *c >= '0' && *c <= '9'; ++c) major = major * 10 + (*c - '0');
    gClassMask = major > 8 ? 0xffffffff8ull : 0x1fffffff8ull;
}

uint64_t objc_class_mask() { return gClassMask; }

namespace {
// Run by the process's static initialisers, before any crash handler exists.
[[maybe_unused]] const bool gClassMaskReady = (objc_class_mask_static_init(), true);
}  // namespace

}  // namespace ovcrash
