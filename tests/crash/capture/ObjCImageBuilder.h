#pragma once
// Builds loaded images with class metadata in our own memory (below 4 GiB,
// so that 32-bit pointers reach it) for the class-metadata reader's tests and
// fuzz seeds: a Mach-O header, __TEXT with strings, __DATA with __objc_const,
// __objc_classlist, __objc_catlist and __objc_data (each may be left out),
// read-write class data outside every section, and for the legacy layout an
// __OBJC segment with __module_info. Pointers in the metadata are absolute,
// as a loaded image's are after its fix-ups.
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/system/MachO.h"

namespace objctest {

namespace ps = platform::system;

struct Method {
    std::string name;
    uint64_t imp;
};

class ObjCImageBuilder {
public:
    static constexpr uint64_t kSize = 0x8000;
    static constexpr uint64_t kConst = 0x1000, kConstEnd = 0x4000;
    static constexpr uint64_t kClassList = 0x4000, kCatList = 0x4400, kData = 0x4800, kDataEnd = 0x6000;
    static constexpr uint64_t kReadWrite = 0x6000, kLegacy = 0x7000;

    // At `fixedBase` when given (the fuzz target's seeds), else anywhere
    // below 4 GiB.
    explicit ObjCImageBuilder(bool m64, ps::cpu_type_t cpu = 0, uint64_t fixedBase = 0) : m64_(m64), cpu_(cpu) {
        if (!cpu_) cpu_ = m64 ? ps::CPU_TYPE_X86_64 : ps::CPU_TYPE_X86;
        base_ = static_cast<uint8_t*>(mmap(reinterpret_cast<void*>(fixedBase), kSize, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS | (fixedBase ? MAP_FIXED_NOREPLACE : MAP_32BIT),
                                           -1, 0));
    }
    const uint8_t* bytes() const { return base_; }
    ~ObjCImageBuilder() { munmap(base_, kSize); }
    ObjCImageBuilder(const ObjCImageBuilder&) = delete;
    ObjCImageBuilder& operator=(const ObjCImageBuilder&) = delete;

    bool withClassList = true, withCatList = true, withConst = true, withData = true, legacy = false;

    uint64_t base() const { return reinterpret_cast<uint64_t>(base_); }
    uint64_t at(uint64_t offset) const { return base() + offset; }
    uint64_t w() const { return m64_ ? 8 : 4; }
    // An implementation address inside __TEXT.
    uint64_t imp(int n) const { return at(0xc00 + 0x10 * n); }

    void put32(uint64_t address, uint32_t v) { std::memcpy(reinterpret_cast<void*>(address), &v, 4); }
    void putWord(uint64_t address, uint64_t v) {
        if (m64_)
            std::memcpy(reinterpret_cast<void*>(address), &v, 8);
        else
            put32(address, static_cast<uint32_t>(v));
    }

    uint64_t string(const std::string& s) {
        uint64_t a = at(strings_);
        std::memcpy(base_ + strings_, s.c_str(), s.size() + 1);
        strings_ += s.size() + 1;
        return a;
    }

    // A method list in __objc_const; entrySize 0 means three words.
    uint64_t methodList(const std::vector<Method>& methods, uint32_t entrySize = 0, uint32_t flags = 0) {
        uint32_t step = entrySize ? entrySize : uint32_t(3 * w());
        uint64_t list = constSpace(8 + methods.size() * step);
        put32(list, step | flags);
        put32(list + 4, uint32_t(methods.size()));
        for (size_t i = 0; i < methods.size(); ++i) {
            uint64_t e = list + 8 + i * step;
            putWord(e, string(methods[i].name));
            putWord(e + w(), string("v16@0:8"));
            putWord(e + 2 * w(), methods[i].imp);
        }
        return list;
    }

    // A class and its metaclass in __objc_data, listed in __objc_classlist.
    // Returns the class; metaclassOf() gives its metaclass.
    uint64_t addClass(const std::string& name, uint64_t methods, uint64_t classMethods, bool realized = true) {
        uint64_t meta = classObject(name, classMethods, 0, realized);
        uint64_t cls = classObject(name, methods, meta, realized);
        classes_.push_back(cls);
        return cls;
    }
    uint64_t metaclassOf(uint64_t cls) const {
        return m64_ ? *reinterpret_cast<uint64_t*>(cls) : *reinterpret_cast<uint32_t*>(cls);
    }
    // The read-write data of a class (flags first).
    uint64_t readWriteOf(uint64_t cls) const {
        uint64_t dataWord = m64_ ? *reinterpret_cast<uint64_t*>(cls + 4 * w()) : *reinterpret_cast<uint32_t*>(cls + 16);
        return dataWord & ~uint64_t{3};
    }
    void listClass(uint64_t pointer) { classes_.push_back(pointer); }

    uint64_t addCategory(const std::string& name, uint64_t cls, uint64_t methods, uint64_t classMethods) {
        uint64_t cat = constSpace(6 * w());
        putWord(cat, string(name));
        putWord(cat + w(), cls);
        putWord(cat + 2 * w(), methods);
        putWord(cat + 3 * w(), classMethods);
        categories_.push_back(cat);
        return cat;
    }
    void listCategory(uint64_t pointer) { categories_.push_back(pointer); }

    // The legacy layout: one module whose symbol table names each class;
    // the class has one method list, its metaclass an array of them.
    void addLegacyClass(const std::string& name, const std::vector<Method>& methods,
                        const std::vector<Method>& classMethods) {
        legacyClasses_.push_back({name, methods, classMethods});
    }

    // Lays out the header and the load commands; the image's address.
    uint64_t build() {
        if (legacy) buildLegacy();
        for (size_t i = 0; i < classes_.size(); ++i) putWord(at(kClassList) + i * w(), classes_[i]);
        for (size_t i = 0; i < categories_.size(); ++i) putWord(at(kCatList) + i * w(), categories_[i]);
        struct Sect {
            const char* seg;
            const char* name;
            uint64_t addr, size;
        };
        std::vector<Sect> data;
        if (withConst) data.push_back({"__DATA", "__objc_const", kConst, kConstEnd - kConst});
        if (withClassList) data.push_back({"__DATA", "__objc_classlist", kClassList, classes_.size() * w()});
        if (withCatList) data.push_back({"__DATA", "__objc_catlist", kCatList, categories_.size() * w()});
        if (withData) data.push_back({"__DATA", "__objc_data", kData, kDataEnd - kData});
        std::vector<Sect> old;
        if (legacy) old.push_back({"__OBJC", "__module_info", kLegacy, 16});

        size_t cmd = m64_ ? sizeof(ps::mach_header_64) : sizeof(ps::mach_header);
        uint32_t ncmds = 0;
        auto segment = [&](const char* name, uint64_t vmaddr, uint64_t vmsize, const std::vector<Sect>& sects) {
            const size_t segSize = m64_ ? sizeof(ps::segment_command_64) : sizeof(ps::segment_command);
            const size_t sectSize = m64_ ? sizeof(ps::section_64) : sizeof(ps::section);
            uint32_t cmdsize = uint32_t(segSize + sects.size() * sectSize);
            uint8_t* c = base_ + cmd;
            std::memset(c, 0, cmdsize);
            put32(at(cmd), m64_ ? ps::LC_SEGMENT_64 : ps::LC_SEGMENT);
            put32(at(cmd + 4), cmdsize);
            std::strncpy(reinterpret_cast<char*>(c + 8), name, 16);
            if (m64_) {
                auto* s = reinterpret_cast<ps::segment_command_64*>(c);
                s->vmaddr = vmaddr, s->vmsize = vmsize, s->fileoff = vmaddr, s->filesize = vmsize;
                s->nsects = uint32_t(sects.size());
            } else {
                auto* s = reinterpret_cast<ps::segment_command*>(c);
                s->vmaddr = uint32_t(vmaddr), s->vmsize = uint32_t(vmsize), s->fileoff = uint32_t(vmaddr);
                s->filesize = uint32_t(vmsize), s->nsects = uint32_t(sects.size());
            }
            for (size_t i = 0; i < sects.size(); ++i) {
                uint8_t* p = c + segSize + i * sectSize;
                std::strncpy(reinterpret_cast<char*>(p), sects[i].name, 16);
                std::strncpy(reinterpret_cast<char*>(p + 16), sects[i].seg, 16);
                if (m64_) {
                    auto* s = reinterpret_cast<ps::section_64*>(p);
                    s->addr = sects[i].addr, s->size = sects[i].size;
                } else {
                    auto* s = reinterpret_cast<ps::section*>(p);
                    s->addr = uint32_t(sects[i].addr), s->size = uint32_t(sects[i].size);
                }
            }
            cmd += cmdsize;
            ++ncmds;
        };
        segment("__TEXT", 0, 0x1000, {});
        segment("__DATA", 0x1000, 0x6000, data);
        if (legacy) segment("__OBJC", kLegacy, 0x1000, old);
        const size_t headerSize = m64_ ? sizeof(ps::mach_header_64) : sizeof(ps::mach_header);
        auto* h = reinterpret_cast<ps::mach_header*>(base_);
        h->magic = m64_ ? ps::MH_MAGIC_64 : ps::MH_MAGIC;
        h->cputype = cpu_;
        h->cpusubtype = 0;
        h->filetype = 6;
        h->ncmds = ncmds;
        h->sizeofcmds = uint32_t(cmd - headerSize);
        return base();
    }

private:
    uint64_t constSpace(uint64_t size) {
        uint64_t a = at(const_);
        const_ += (size + 7) & ~uint64_t{7};
        return a;
    }

    uint64_t classObject(const std::string& name, uint64_t methods, uint64_t isa, bool realized) {
        // Read-only data in __objc_const: flags, start, size(, reserved), then
        // ivar layout, name, base methods.
        uint64_t ro = constSpace(m64_ ? 72 : 40);
        putWord(ro + (m64_ ? 24 : 16), string(name));
        putWord(ro + (m64_ ? 32 : 20), methods);
        uint64_t rw = at(rw_);
        rw_ += 16;
        put32(rw, realized ? 0x80000000u : 0);
        putWord(rw + 8, ro);
        uint64_t cls = at(data_);
        data_ += 5 * w();
        data_ = (data_ + 7) & ~uint64_t{7};
        putWord(cls, isa);
        putWord(cls + 4 * w(), rw);
        return cls;
    }

    void buildLegacy() {
        uint64_t cursor = kLegacy + 0x100;
        auto space = [&](uint64_t size) {
            uint64_t a = at(cursor);
            cursor += (size + 3) & ~uint64_t{3};
            return a;
        };
        auto list = [&](const std::vector<Method>& methods) {
            uint64_t l = space(8 + 12 * methods.size());
            put32(l + 4, uint32_t(methods.size()));
            for (size_t i = 0; i < methods.size(); ++i) {
                put32(l + 8 + 12 * i, uint32_t(string(methods[i].name)));
                put32(l + 16 + 12 * i, uint32_t(methods[i].imp));
            }
            return l;
        };
        uint64_t symtab = space(12 + 4 * legacyClasses_.size());
        uint16_t count = uint16_t(legacyClasses_.size());
        std::memcpy(reinterpret_cast<void*>(symtab + 8), &count, 2);
        for (size_t i = 0; i < legacyClasses_.size(); ++i) {
            const LegacyClass& c = legacyClasses_[i];
            uint64_t meta = space(40), cls = space(40), name = string(c.name);
            uint64_t array = space(12);  // one list, then the end marker
            put32(array, uint32_t(list(c.classMethods)));
            put32(array + 4, 0xffffffffu);
            put32(meta + 8, uint32_t(name));
            put32(meta + 28, uint32_t(array));
            put32(cls, uint32_t(meta));
            put32(cls + 8, uint32_t(name));
            put32(cls + 16, 0x4000);  // a single method list
            put32(cls + 28, uint32_t(list(c.methods)));
            put32(symtab + 12 + 4 * i, uint32_t(cls));
        }
        put32(at(kLegacy) + 12, uint32_t(symtab));
    }

    struct LegacyClass {
        std::string name;
        std::vector<Method> methods, classMethods;
    };

    bool m64_;
    ps::cpu_type_t cpu_;
    uint8_t* base_;
    uint64_t strings_ = 0x400, const_ = kConst, data_ = kData, rw_ = kReadWrite;
    std::vector<uint64_t> classes_, categories_;
    std::vector<LegacyClass> legacyClasses_;
};

}  // namespace objctest
