// The shared image list of the real process, kept by the loader stand-in's
// callbacks: it matches /proc/self/maps (base, span, build-id as readelf
// reads it), follows libraries opened, closed and replaced later, and symbol
// lookup through the images' Mach-O views names what nm and dladdr name.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crash/capture/image/ImageList.h"
#include "platform/foundation/SharedLibrary.h"
#include "platform/system/Host.h"
#include "platform/system/Loader.h"
#include "tests/crash/capture/ChildProcess.h"
#include "tests/crash/capture/MachOBuilder.h"
#include "tests/support/ShellTools.h"

using namespace ovcrash;
namespace ps = platform::system;

namespace {

std::vector<macho_image*> listed() {
    shared_image_list_start();
    ps::dyld_rescan();
    image_list* list = shared_image_list();
    std::vector<macho_image*> images;
    image_list_set_reading(list, true);
    for (macho_image* i = image_list_next(list, nullptr); i; i = image_list_next(list, i)) images.push_back(i);
    image_list_set_reading(list, false);
    return images;
}

macho_image* imageAt(uint64_t address) {
    listed();
    image_list* list = shared_image_list();
    image_list_set_reading(list, true);
    macho_image* image = image_list_image_for_address(list, address);
    image_list_set_reading(list, false);
    return image;
}

struct MappedFile {
    std::string path;
    uint64_t lowest = UINT64_MAX;     // start of its mapping at file offset 0
    uint64_t end = 0;                 // end of its last mapping
    uint64_t codeEnd = 0;             // end of its last executable mapping
    uint64_t dataStart = UINT64_MAX;  // start of its first writable mapping
    bool executable = false;
};

// Executable-mapped files by (device, inode), and the vDSO's start.
std::map<std::pair<dev_t, ino_t>, MappedFile> mappedFiles(uint64_t* vdso) {
    std::map<std::pair<dev_t, ino_t>, MappedFile> files;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream in(line);
        std::string range, perms, offset, dev, inode, path;
        in >> range >> perms >> offset >> dev >> inode;
        std::getline(in >> std::ws, path);
        uint64_t start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        uint64_t end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
        if (path == "[vdso]") *vdso = start;
        if (path.empty() || path[0] != '/' || std::stoull(inode) == 0) continue;
        unsigned major = std::stoul(dev.substr(0, dev.find(':')), nullptr, 16);
        unsigned minor = std::stoul(dev.substr(dev.find(':') + 1), nullptr, 16);
        MappedFile& f = files[{makedev(major, minor), std::stoull(inode)}];
        f.path = path;
        if (std::stoull(offset, nullptr, 16) == 0 && start < f.lowest) f.lowest = start;
        if (end > f.end) f.end = end;
        if (perms.find('x') != std::string::npos) f.executable = true, f.codeEnd = std::max(f.codeEnd, end);
        if (perms.find('w') != std::string::npos) f.dataStart = std::min(f.dataStart, start);
    }
    return files;
}

std::string hex(const uint8_t* bytes, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) std::snprintf(b, sizeof b, "%02x", bytes[i]), s += b;
    return s;
}

bool stillLoadedName(const char* soname) {
    void* h = ::dlopen(soname, RTLD_NOW | RTLD_NOLOAD);
    if (h) ::dlclose(h);
    return h != nullptr;
}

TEST(SharedImageList, MatchesTheProcessMaps) {
    std::vector<macho_image*> images = listed();
    std::map<std::pair<dev_t, ino_t>, macho_image*> byFile;
    uint64_t vdso = 0;
    auto files = mappedFiles(&vdso);
    for (macho_image* image : images) {
        struct stat st;
        if (::stat(image->name, &st) == 0) byFile[{st.st_dev, st.st_ino}] = image;
    }
    int checked = 0;
    for (const auto& [key, file] : files) {
        if (!file.executable) continue;
        auto it = byFile.find(key);
        ASSERT_NE(it, byFile.end()) << file.path << " is mapped but not listed";
        macho_image* image = it->second;
        EXPECT_EQ(image->header_addr, file.lowest) << file.path;
        // __TEXT spans the code and read-only data, never the writable data.
        EXPECT_GE(image->header_addr + image->text_size, file.codeEnd) << file.path;
        EXPECT_TRUE(macho_image_contains_address(image, file.codeEnd - 1));
        if (file.dataStart != UINT64_MAX) {
            EXPECT_LE(image->header_addr + image->text_size, file.dataStart) << file.path;
            EXPECT_FALSE(macho_image_contains_address(image, file.dataStart)) << file.path;
        }
        EXPECT_EQ(image->vmaddr_slide, 0);

        std::string notes = qmtest::run({"readelf", "-n", file.path}).out;
        size_t at = notes.find("Build ID: ");
        uint8_t uuid[16];
        if (at == std::string::npos) {
            EXPECT_EQ(macho_image_uuid(image, uuid), ASYNC_ENOTFOUND) << file.path;
        } else {
            std::string id = notes.substr(at + 10, notes.find('\n', at) - at - 10);
            ASSERT_EQ(macho_image_uuid(image, uuid), ASYNC_ESUCCESS) << file.path;
            EXPECT_EQ(hex(uuid, 16), id.substr(0, 32)) << file.path;
        }
        ++checked;
    }
    EXPECT_GE(checked, 3);  // the program, libc, the dynamic loader at least

    ASSERT_NE(vdso, 0u);
    macho_image* vdsoImage = imageAt(vdso);
    ASSERT_NE(vdsoImage, nullptr);
    EXPECT_EQ(vdsoImage->header_addr, vdso);
    async_mobject text;
    ASSERT_EQ(macho_image_map_section(vdsoImage, "__TEXT", "__text", &text), ASYNC_ESUCCESS);
    mobject_free(&text);

    // Each listed image is what its view says: a 64-bit image of the played processor.
    for (macho_image* image : images) {
        EXPECT_TRUE(image->m64);
        EXPECT_EQ(macho_image_cpu_type(image), ps::host_cpu_type());
        async_mobject eh;
        if (macho_image_map_section(image, "__TEXT", "__eh_frame", &eh) == ASYNC_ESUCCESS) {
            EXPECT_TRUE(macho_image_contains_address(image, mobject_task_address(&eh)));
            mobject_free(&eh);
        }
    }
}

// Libraries this test process has not loaded (some may not be installed).
std::vector<std::string> unloadedLibraries() {
    const char* all[] = {"libnotify.so.4",  "libexpat.so.1",  "libbz2.so.1.0",      "liblzma.so.5",   "libzstd.so.1",
                         "libuuid.so.1",    "libgumbo.so.2",  "libprotobuf-c.so.1", "libunwind.so.8", "libjpeg.so.8",
                         "libsqlite3.so.0", "libpng16.so.16", "libpopt.so.0",       "libyaml-0.so.2", "libgmp.so.10"};
    std::vector<std::string> out;
    for (const char* soname : all)
        if (!stillLoadedName(soname)) out.push_back(soname);
    return out;
}

link_map* linkMapOf(void* handle) {
    link_map* map = nullptr;
    return ::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 ? map : nullptr;
}

TEST(SharedImageList, FollowsLibrariesOpenedAndClosedLater) {
    listed();
    image_list* list = shared_image_list();
    auto imageOf = [&](void* handle) -> macho_image* {
        link_map* map = linkMapOf(handle);
        if (!map) return nullptr;
        image_list_set_reading(list, true);
        // Found by its load address (a library's first segment starts at 0),
        // as its dynamic section lies in the data, outside __TEXT.
        macho_image* image = image_list_image_for_address(list, static_cast<uint64_t>(map->l_addr));
        image_list_set_reading(list, false);
        EXPECT_TRUE(image && std::string(image->name) == map->l_name) << map->l_name;
        return image;
    };

    // One through the platform's opener, listed with no rescan of ours; one
    // opened behind its back (as a library opens its drivers), found once the
    // opener says such loads may have happened.
    std::unique_ptr<platform::foundation::SharedLibrary> viaPlatform;
    std::string platformName, directName;
    void* direct = nullptr;
    for (const std::string& soname : unloadedLibraries()) {
        if (!viaPlatform) {
            std::string error;
            viaPlatform = platform::foundation::SharedLibrary::open(soname, &error);
            if (viaPlatform) platformName = soname;
        } else if (!direct) {
            direct = ::dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (direct) directName = soname;
        }
    }
    if (!viaPlatform || !direct) GTEST_SKIP() << "needs two installed libraries that are not loaded yet";

    void* platformHandle = ::dlopen(platformName.c_str(), RTLD_NOW | RTLD_NOLOAD);
    macho_image* first = imageOf(platformHandle);
    ASSERT_NE(first, nullptr);
    ::dlclose(platformHandle);
    platform::foundation::SharedLibrary::noteIndirectLoads();
    macho_image* second = imageOf(direct);
    ASSERT_NE(second, nullptr);
    uint64_t firstBase = first->header_addr, secondBase = second->header_addr;

    viaPlatform.reset();
    ::dlclose(direct);
    ps::dyld_rescan();
    std::vector<macho_image*> after = listed();
    auto listedAt = [&](uint64_t base) {
        for (macho_image* i : after)
            if (i->header_addr == base) return true;
        return false;
    };
    if (!stillLoadedName(platformName.c_str())) {
        EXPECT_FALSE(listedAt(firstBase));
    }
    if (!stillLoadedName(directName.c_str())) {
        EXPECT_FALSE(listedAt(secondBase));
    }
}

// The first 16 bytes of a file's build-id as readelf reads it, in hex.
std::string buildIdOf(const std::string& path) {
    std::string notes = qmtest::run({"readelf", "-n", path}).out;
    size_t at = notes.find("Build ID: ");
    return at == std::string::npos ? std::string() : notes.substr(at + 10, 32);
}

struct ListedAt {
    uint64_t header = 0;
    std::string uuid, symbol;
    bool tablesAreTheImages = false;  // its __eh_frame holds the loaded bytes
};

void keepName(uint64_t, const char* name, void* ctx) { *static_cast<std::string*>(ctx) = name; }

ListedAt listedAt(const void* code) {
    ListedAt out;
    listed();
    image_list* list = shared_image_list();
    image_list_set_reading(list, true);
    if (macho_image* image = image_list_image_for_address(list, reinterpret_cast<uint64_t>(code))) {
        out.header = image->header_addr;
        uint8_t uuid[16];
        if (macho_image_uuid(image, uuid) == ASYNC_ESUCCESS) out.uuid = hex(uuid, 16);
        macho_find_symbol_by_pc(image, reinterpret_cast<uint64_t>(code), keepName, &out.symbol);
        async_mobject eh;
        if (macho_image_map_section(image, "__TEXT", "__eh_frame", &eh) == ASYNC_ESUCCESS) {
            out.tablesAreTheImages = std::memcmp(reinterpret_cast<const void*>(eh.address),
                                                 reinterpret_cast<const void*>(eh.task_address), eh.length) == 0;
            mobject_free(&eh);
        }
    }
    image_list_set_reading(list, false);
    return out;
}

// A library replaced on disk and loaded again where the old one was is
// another image: its build-id, its names, its unwind tables. Once with every
// open and close told to the loader, once behind its back (a plain dlopen and
// dlclose, found at the next look).
TEST(SharedImageList, ALibraryReplacedOnDiskAndLoadedAtTheSamePlaceIsANewImage) {
    namespace fs = std::filesystem;
    const std::string versions[] = {QM_REPLACEABLE_LIBRARY_1, QM_REPLACEABLE_LIBRARY_2};
    const std::string ids[] = {buildIdOf(versions[0]), buildIdOf(versions[1])};
    ASSERT_EQ(ids[0].size(), 32u);
    ASSERT_NE(ids[0], ids[1]);
    const fs::path dir = fs::temp_directory_path() / ("replaced-library-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path path = dir / "libreplaced.so";
    auto install = [&](int version) {
        fs::copy_file(versions[version], dir / "next.so", fs::copy_options::overwrite_existing);
        fs::rename(dir / "next.so", path);
    };

    for (bool told : {true, false}) {
        SCOPED_TRACE(told ? "told to the loader" : "behind the loader's back");
        uint64_t firstHeader = 0;
        for (int version : {0, 1}) {
            install(version);
            std::unique_ptr<platform::foundation::SharedLibrary> opened;
            void* handle = nullptr;
            std::string error;
            if (told) {
                opened = platform::foundation::SharedLibrary::open(path, &error);
                ASSERT_TRUE(opened) << error;
            } else {
                handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
                ASSERT_NE(handle, nullptr) << ::dlerror();
            }
            const std::string name = "library_version" + std::to_string(version + 1) + "_work";
            void* work = told ? opened->symbol(name.c_str()) : ::dlsym(handle, name.c_str());
            ASSERT_NE(work, nullptr);
            ListedAt image = listedAt(work);
            if (version == 0) firstHeader = image.header;
            ASSERT_EQ(image.header, firstHeader) << "the second build was loaded elsewhere";
            EXPECT_EQ(image.uuid, ids[version]);
            EXPECT_EQ(image.symbol, "_" + name);
            EXPECT_TRUE(image.tablesAreTheImages);
            if (handle) ::dlclose(handle);
        }
    }
    ps::dyld_rescan();
    fs::remove_all(dir);
}

// What the loader told its callbacks, by header.
std::vector<uint64_t> gAdded, gRemoved;
void noteAdded(const ps::mach_header* header, intptr_t) { gAdded.push_back(reinterpret_cast<uint64_t>(header)); }
void noteRemoved(const ps::mach_header* header, intptr_t) { gRemoved.push_back(reinterpret_cast<uint64_t>(header)); }

// A library whose build-id note lies past the first 512 bytes of its notes
// keeps its build-id, and stays one image while others open and close. In a
// child: the callbacks stay registered for good.
TEST(SharedImageList, ABuildIdAfterABigNoteIsKeptAndTheImageStaysAdded) {
    auto r = crashtest::runInChild([] {
        void* handle = ::dlopen(QM_BIG_NOTE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        void* work = handle ? ::dlsym(handle, "big_note_library_work") : nullptr;
        if (!work) _exit(10);
        ps::dyld_rescan();
        ListedAt image = listedAt(work);
        if (image.header == 0) _exit(11);
        if (image.uuid != "514e7a112233445566778899aabbccdd") _exit(12);
        ps::dyld_register_func_for_add_image(noteAdded);
        ps::dyld_register_func_for_remove_image(noteRemoved);
        // Others open and close, one at a time and a close with an open
        // between two looks (where the loader reads every image's identity).
        for (int i = 0; i < 5; ++i) {
            void* other = ::dlopen(QM_OPENED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
            if (!other) _exit(13);
            ps::dyld_rescan();
            ::dlclose(other);
            void* another = ::dlopen(QM_REPLACEABLE_LIBRARY_1, RTLD_NOW | RTLD_LOCAL);
            if (!another) _exit(13);
            ps::dyld_rescan();
            ::dlclose(another);
            ps::dyld_rescan();
        }
        if (std::count(gAdded.begin(), gAdded.end(), image.header) != 1) _exit(14);
        if (std::count(gRemoved.begin(), gRemoved.end(), image.header) != 0) _exit(15);
        if (listedAt(work).uuid != image.uuid) _exit(16);
        _exit(0);
    });
    EXPECT_TRUE(r.exited(0)) << "status " << r.status;
}

struct NmSymbol {
    uint64_t address, size;
    std::string name;
};

// Code symbols of a file as nm lists them (with -D: the dynamic ones).
std::vector<NmSymbol> nmCode(const std::string& path, bool dynamic) {
    std::vector<NmSymbol> out;
    std::vector<std::string> nm = {"nm", "-S", "--defined-only"};
    if (dynamic) nm.push_back("-D");
    nm.push_back(path);
    std::istringstream in(qmtest::run(nm).out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string addr, size, type, name;
        if (!(f >> addr >> size >> type >> name)) continue;
        if (type != "T" && type != "t" && type != "W" && type != "i") continue;
        out.push_back({std::stoull(addr, nullptr, 16), std::stoull(size, nullptr, 16), name.substr(0, name.find('@'))});
    }
    return out;
}

struct LookupResult {
    uint64_t address = 0;
    std::string name;
};

void keep(uint64_t address, const char* name, void* ctx) { *static_cast<LookupResult*>(ctx) = {address, name}; }

// Looks up a sample of pcs inside the functions nm lists for `path` loaded
// with `bias`: the answer is a symbol nm has at that address, and no sized
// function of nm's starts between it and the pc.
void checkAgainstNm(const std::string& path, uint64_t bias, bool dynamic, bool withDladdr) {
    std::vector<NmSymbol> nm = nmCode(path, dynamic);
    ASSERT_GT(nm.size(), 20u) << path;
    std::map<uint64_t, std::set<std::string>> namesAt;
    std::set<uint64_t> sizedStarts;
    for (const NmSymbol& s : nm) {
        namesAt[s.address].insert(s.name);
        if (s.size > 0) sizedStarts.insert(s.address);
    }
    size_t step = nm.size() / 150 + 1;
    int checked = 0;
    for (size_t i = 0; i < nm.size(); i += step) {
        const NmSymbol& s = nm[i];
        for (uint64_t offset : {uint64_t{0}, s.size / 2}) {
            uint64_t pc = bias + s.address + offset;
            macho_image* image = imageAt(pc);
            ASSERT_NE(image, nullptr) << s.name;
            LookupResult r;
            ASSERT_EQ(macho_find_symbol_by_pc(image, pc, keep, &r), ASYNC_ESUCCESS) << s.name;
            ASSERT_FALSE(r.name.empty());
            EXPECT_EQ(r.name[0], '_');
            uint64_t at = r.address - bias;
            EXPECT_TRUE(namesAt[at].count(r.name.substr(1))) << r.name << " for " << s.name << "+" << offset;
            auto sized = sizedStarts.upper_bound(pc - bias);
            ASSERT_NE(sized, sizedStarts.begin());
            EXPECT_GE(at, *std::prev(sized)) << r.name << " for " << s.name << "+" << offset;
            EXPECT_LE(at, pc - bias);
            Dl_info info;
            if (withDladdr && ::dladdr(reinterpret_cast<void*>(pc), &info) && info.dli_sname) {
                EXPECT_EQ(reinterpret_cast<uint64_t>(info.dli_saddr), r.address) << info.dli_sname;
                EXPECT_TRUE(namesAt[at].count(info.dli_sname)) << info.dli_sname;
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 40);
}

int firstImage(dl_phdr_info* info, size_t, void* data) {
    *static_cast<uint64_t*>(data) = info->dlpi_addr;
    return 1;
}

TEST(SymbolLookup, NamesWhatNmNamesInTheProgram) {
    uint64_t bias = 0;
    ::dl_iterate_phdr(firstImage, &bias);
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    ASSERT_GT(n, 0);
    path[n] = '\0';
    checkAgainstNm(path, bias, false, false);
}

TEST(SymbolLookup, NamesWhatNmAndDladdrNameInLibc) {
    // Through libc's own handle: a sanitizer may stand in front of its names.
    void* libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(libc, nullptr);
    void* inLibc = ::dlsym(libc, "gnu_get_libc_version");
    ::dlclose(libc);
    Dl_info info;
    link_map* map = nullptr;
    ASSERT_TRUE(::dladdr1(inLibc, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP));
    checkAgainstNm(info.dli_fname, map->l_addr, true, true);
}

TEST(ImageList, KeepsOnlyReadableImagesAndRemovesByHeader) {
    machotest::MachOBuilder b;
    std::vector<uint8_t> one = b.build();
    std::vector<uint8_t> two = b.build();
    image_list list;
    image_list_init(&list, ps::mach_task_self());
    image_list_append(&list, reinterpret_cast<uint64_t>(one.data()), "one");
    image_list_append(&list, 0x10, "unreadable");
    image_list_append(&list, reinterpret_cast<uint64_t>(two.data()), "two");
    image_list_remove(&list, 0x20);  // not listed: nothing changes

    image_list_set_reading(&list, true);
    macho_image* first = image_list_next(&list, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->name, "one");
    macho_image* second = image_list_next(&list, first);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second->name, "two");
    EXPECT_EQ(image_list_next(&list, second), nullptr);
    EXPECT_EQ(image_list_image_for_address(&list, reinterpret_cast<uint64_t>(two.data()) + 5), second);
    EXPECT_EQ(image_list_image_for_address(&list, 0x10), nullptr);
    image_list_set_reading(&list, false);

    // A reader inside keeps a removed image alive until it leaves.
    image_list_set_reading(&list, true);
    image_list_remove(&list, reinterpret_cast<uint64_t>(one.data()));
    EXPECT_STREQ(first->name, "one");
    EXPECT_EQ(image_list_next(&list, nullptr), second);
    image_list_set_reading(&list, false);
    image_list_remove(&list, reinterpret_cast<uint64_t>(two.data()));
    image_list_set_reading(&list, true);
    EXPECT_EQ(image_list_next(&list, nullptr), nullptr);
    image_list_set_reading(&list, false);
}

}  // namespace
