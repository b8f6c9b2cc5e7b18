// The crash-time readers of the dynamic linker's list and of loaded ELF
// headers, held against what glibc's dl_iterate_phdr tells of the same
// process, and against memory that ends in an unreadable page.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/system/LinkMap.h"
#include "platform/system/LoadedElf.h"
#include "platform/system/LoadedElfSymbols.h"
#include "platform/system/MachO.h"
#include "platform/system/ProcessMaps.h"

namespace ps = platform::system;

namespace {

struct Object {
    dl_phdr_info info;
    std::string name;
};

std::vector<Object> iterated() {
    std::vector<Object> out;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            static_cast<std::vector<Object>*>(data)->push_back({*info, info->dlpi_name ? info->dlpi_name : ""});
            return 0;
        },
        &out);
    return out;
}

// The C library as the linker iterates it, found from its getpid, which
// *getpidAddress is set to.
std::optional<Object> libcObject(void** getpidAddress) {
    *getpidAddress = dlsym(RTLD_DEFAULT, "getpid");
    Dl_info where{};
    if (dladdr(*getpidAddress, &where) == 0) return std::nullopt;
    for (const Object& o : iterated())
        if (o.name == where.dli_fname) return o;
    return std::nullopt;
}

TEST(LinkMap, ListsWhatTheDynamicLinkerIteratesWithTheSameHeaders) {
    std::vector<ps::link_map_object> objects(512);
    uint32_t count = 0;
    ASSERT_EQ(ps::link_map_read(objects.data(), uint32_t(objects.size()), &count), ps::LINK_MAP_READ);
    const std::vector<Object> expected = iterated();
    ASSERT_EQ(count, expected.size());
    EXPECT_TRUE(objects[0].first);
    for (uint32_t i = 0; i < count; ++i) {
        const Object& e = expected[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(objects[i].bias, e.info.dlpi_addr);
        EXPECT_EQ(objects[i].first, i == 0);
        char name[4096];
        ps::link_map_read_name(objects[i].name, name, sizeof name);
        EXPECT_EQ(std::string(name), e.name);

        ps::loaded_elf fromHeaders;
        ASSERT_TRUE(ps::loaded_elf_read(e.info.dlpi_addr, reinterpret_cast<uint64_t>(e.info.dlpi_phdr),
                                        e.info.dlpi_phnum, &fromHeaders));
        EXPECT_EQ(fromHeaders.dynamic, objects[i].dynamic);
        EXPECT_TRUE(ps::loaded_elf_still_there(fromHeaders));
        // Found from the linker's entry alone: the same object.
        ps::loaded_elf found;
        if (ps::loaded_elf_find(objects[i].bias, objects[i].dynamic, &found)) {
            EXPECT_EQ(found.base, fromHeaders.base);
            EXPECT_EQ(found.span, fromHeaders.span);
            EXPECT_EQ(found.eh_frame, fromHeaders.eh_frame);
            EXPECT_EQ(found.has_uuid, fromHeaders.has_uuid);
            EXPECT_EQ(std::memcmp(found.uuid, fromHeaders.uuid, 16), 0);
        } else {
            // Only the program may lie elsewhere than at its bias.
            EXPECT_EQ(i, 0u);
        }
    }
    // Room for fewer objects than are loaded: the first ones, and an answer
    // that says there are more.
    EXPECT_EQ(ps::link_map_read(objects.data(), 1, &count), ps::LINK_MAP_PARTIAL);
    EXPECT_EQ(count, 1u);
    EXPECT_TRUE(objects[0].first);
}

TEST(LinkMap, ANameBeforeAnUnreadablePageIsReadWithoutFaulting) {
    const long page = sysconf(_SC_PAGESIZE);
    auto* pages = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    char* tail = pages + page - 4;
    std::memcpy(tail, "abc", 4);
    char name[64];
    EXPECT_TRUE(ps::link_map_read_name(reinterpret_cast<uint64_t>(tail), name, sizeof name));
    EXPECT_STREQ(name, "abc");
    // No NUL before the unreadable page: what could be read, terminated.
    std::memcpy(tail, "abcd", 4);
    EXPECT_TRUE(ps::link_map_read_name(reinterpret_cast<uint64_t>(tail), name, sizeof name));
    EXPECT_STREQ(name, "abcd");
    EXPECT_FALSE(ps::link_map_read_name(reinterpret_cast<uint64_t>(pages + page), name, sizeof name));
    EXPECT_STREQ(name, "");
    // An object whose header lies in no readable page is not found.
    ps::loaded_elf elf;
    EXPECT_FALSE(ps::loaded_elf_find(reinterpret_cast<uint64_t>(pages + page), 0, &elf));
    munmap(pages, 2 * page);
}

// Whether this process may follow the links in /proc/self/map_files to the
// files mapped (their size and modification time): only one with
// CAP_SYS_ADMIN or CAP_CHECKPOINT_RESTORE in the initial user namespace.
bool mayFollowMapFiles() {
    uint64_t effective = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("CapEff:", 0) == 0) effective = std::stoull(line.substr(7), nullptr, 16);
    constexpr int kSysAdmin = 21, kCheckpointRestore = 40;
    const bool capable = ((effective >> kSysAdmin) | (effective >> kCheckpointRestore)) & 1;
    // The initial namespace maps every user to itself.
    std::ifstream uidMap("/proc/self/uid_map");
    uint64_t inside = 1, outside = 1, count = 0;
    uidMap >> inside >> outside >> count;
    return capable && inside == 0 && outside == 0 && count == 4294967295u;
}

// The device and inode /proc/self/maps gives the mapping that starts at `start`.
std::pair<uint64_t, uint64_t> listedFile(uint64_t start) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        unsigned long long from = 0, to = 0, offset = 0, inode = 0;
        unsigned major = 0, minor = 0;
        char perms[8];
        if (std::sscanf(line.c_str(), "%llx-%llx %7s %llx %x:%x %llu", &from, &to, perms, &offset, &major, &minor,
                        &inode) == 7 &&
            from == start)
            return {uint64_t(makedev(major, minor)), uint64_t(inode)};
    }
    return {0, 0};
}

// The mapping where an address lies leads to its file and to the object's
// own headers: the C library, found from one of its functions, is the file
// the map lists and the object the linker loaded; memory that maps no file
// leads to none, and a name of any length is read whole or cut to its room.
// A process that may follow /proc/self/map_files (root) gets the file as a
// descriptor of it tells, its size and modification time too, and finds it
// by its mapping's range alone; any other (a user's) gets the device and
// inode the map lists, size and time 0, and nothing by the range alone.
TEST(ProcessMaps, LeadFromAnAddressToItsFileAndTheObjectMappedThere) {
    void* getpidAddress;
    const std::optional<Object> libc = libcObject(&getpidAddress);
    ASSERT_TRUE(libc);

    char path[4096];
    ps::process_mapping mapping;
    const auto address = reinterpret_cast<uint64_t>(getpidAddress);
    ASSERT_TRUE(ps::process_mapping_find(address, &mapping, path, sizeof path));
    EXPECT_LE(mapping.start, address);
    EXPECT_GT(mapping.end, address);
    Dl_info where{};
    ASSERT_NE(dladdr(getpidAddress, &where), 0);
    EXPECT_EQ(mapping.file_start, reinterpret_cast<uint64_t>(where.dli_fbase));
    char real[4096];
    ASSERT_TRUE(realpath(libc->name.c_str(), real));
    EXPECT_STREQ(path, real);
    ps::process_mapping exact;
    if (mayFollowMapFiles()) {
        struct stat st;
        ASSERT_EQ(stat(real, &st), 0);
        EXPECT_EQ(mapping.device, uint64_t(st.st_dev));
        EXPECT_EQ(mapping.inode, uint64_t(st.st_ino));
        EXPECT_EQ(mapping.size, uint64_t(st.st_size));
        EXPECT_EQ(mapping.mtime_ns, int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec);
        // The same file by its mapping's range alone; a range no mapping has is none.
        ASSERT_TRUE(ps::process_mapping_at(mapping.start, mapping.end, &exact));
        EXPECT_EQ(exact.device, mapping.device);
        EXPECT_EQ(exact.inode, mapping.inode);
        EXPECT_EQ(exact.size, mapping.size);
        EXPECT_EQ(exact.mtime_ns, mapping.mtime_ns);
    } else {
        const auto [device, inode] = listedFile(mapping.start);
        ASSERT_NE(inode, 0u);
        EXPECT_EQ(mapping.device, device);
        EXPECT_EQ(mapping.inode, inode);
        EXPECT_EQ(mapping.size, 0u);
        EXPECT_EQ(mapping.mtime_ns, 0);
        EXPECT_FALSE(ps::process_mapping_at(mapping.start, mapping.end, &exact));
    }
    EXPECT_FALSE(ps::process_mapping_at(mapping.start, mapping.end - 1, &exact));
    ps::loaded_elf fromFile, fromHeaders;
    ASSERT_TRUE(ps::loaded_elf_from_file(mapping.file_start, &fromFile));
    ASSERT_TRUE(ps::loaded_elf_read(libc->info.dlpi_addr, reinterpret_cast<uint64_t>(libc->info.dlpi_phdr),
                                    libc->info.dlpi_phnum, &fromHeaders));
    EXPECT_EQ(fromFile.bias, fromHeaders.bias);
    EXPECT_EQ(fromFile.base, fromHeaders.base);
    EXPECT_EQ(fromFile.span, fromHeaders.span);
    EXPECT_EQ(fromFile.dynamic, fromHeaders.dynamic);
    EXPECT_EQ(std::memcmp(fromFile.uuid, fromHeaders.uuid, 16), 0);

    // A name cut to its room, and terminated.
    char shortPath[8];
    ASSERT_TRUE(ps::process_mapping_find(address, &mapping, shortPath, sizeof shortPath));
    EXPECT_EQ(std::string(shortPath), std::string(real).substr(0, 7));

    const long page = sysconf(_SC_PAGESIZE);
    void* anonymous = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(anonymous, MAP_FAILED);
    ASSERT_TRUE(ps::process_mapping_find(reinterpret_cast<uint64_t>(anonymous), &mapping, path, sizeof path));
    EXPECT_EQ(mapping.inode, 0u);
    EXPECT_EQ(mapping.file_start, 0u);
    EXPECT_STREQ(path, "");
    munmap(anonymous, page);

    // A file whose name is longer than any buffer the reader keeps, mapped
    // in two parts: the second leads to the first, where the file starts.
    std::string longPath = testing::TempDir() + "process-maps-" + std::to_string(getpid());
    const std::string top = longPath;
    ASSERT_EQ(mkdir(top.c_str(), 0700), 0);
    while (longPath.size() < 3000) {
        longPath += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(longPath.c_str(), 0700), 0);
    }
    longPath += "/file";
    const int fd = open(longPath.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 2 * page), 0);
    auto* mapped = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ, MAP_PRIVATE, fd, 0));
    ASSERT_NE(mapped, MAP_FAILED);
    ASSERT_EQ(mprotect(mapped + page, page, PROT_NONE), 0);  // two mappings now
    ASSERT_TRUE(ps::process_mapping_find(reinterpret_cast<uint64_t>(mapped + page), &mapping, path, sizeof path));
    EXPECT_EQ(mapping.start, reinterpret_cast<uint64_t>(mapped + page));
    EXPECT_EQ(mapping.offset, uint64_t(page));
    EXPECT_EQ(mapping.file_start, reinterpret_cast<uint64_t>(mapped));
    char realLong[4096];
    ASSERT_TRUE(realpath(longPath.c_str(), realLong));
    EXPECT_EQ(std::string(path), realLong);
    munmap(mapped, 2 * page);
    close(fd);
    std::filesystem::remove_all(top);
}

// The C library's dynamic symbols as read at crash time hold its functions
// where the dynamic linker finds them; a buffer too small takes nothing past
// its end, and tells the room it lacked.
TEST(LoadedElfSymbols, HoldTheFunctionsTheLinkerFindsAndKeepToTheirBuffer) {
    void* getpidAddress;
    const std::optional<Object> libc = libcObject(&getpidAddress);
    ASSERT_TRUE(libc);
    ps::loaded_elf elf;
    ASSERT_TRUE(ps::loaded_elf_read(libc->info.dlpi_addr, reinterpret_cast<uint64_t>(libc->info.dlpi_phdr),
                                    libc->info.dlpi_phnum, &elf));

    std::vector<uint8_t> buffer(16 << 20);
    ps::loaded_elf_symbol_table table;
    ASSERT_TRUE(ps::loaded_elf_symbols(elf, nullptr, buffer.data(), buffer.size(), &table));
    ASSERT_GT(table.nsyms, 100u);
    const char* names = reinterpret_cast<const char*>(buffer.data()) + uint64_t{table.nsyms} * sizeof(ps::nlist_64);
    bool found = false;
    for (uint32_t i = 0; i < table.nsyms; ++i) {
        ps::nlist_64 entry;
        std::memcpy(&entry, buffer.data() + i * sizeof entry, sizeof entry);
        ASSERT_LT(entry.n_strx, table.strsize);
        if (std::string(names + entry.n_strx) == "_getpid") found = entry.n_value == uint64_t(uintptr_t(getpidAddress));
    }
    EXPECT_TRUE(found);

    const ps::loaded_elf_symbol_table whole = table;
    std::vector<uint8_t> small(table.size + 4096, 0xa5);
    EXPECT_FALSE(ps::loaded_elf_symbols(elf, nullptr, small.data(), table.size - 1, &table));
    for (size_t i = small.size() - 4096; i < small.size(); ++i) ASSERT_EQ(small[i], 0xa5);
    EXPECT_GT(table.needed, whole.size - 1);
    std::vector<uint8_t> enough(table.needed);
    ASSERT_TRUE(ps::loaded_elf_symbols(elf, nullptr, enough.data(), enough.size(), &table));
    EXPECT_EQ(table.nsyms, whole.nsyms);
}

// Reads of the map stop once the report's budget for them is spent; without
// a budget they go on.
TEST(ProcessMaps, ReadsStopOnceTheirBudgetIsSpent) {
    ps::process_mapping mapping;
    const auto address = reinterpret_cast<uint64_t>(&mapping);
    ps::process_maps_budget budget{2};
    EXPECT_TRUE(ps::process_mapping_find(address, &mapping, nullptr, 0, &budget));
    EXPECT_TRUE(ps::process_mapping_find(address, &mapping, nullptr, 0, &budget));
    const uint32_t opened = ps::process_maps_opened();
    EXPECT_FALSE(ps::process_mapping_find(address, &mapping, nullptr, 0, &budget));
    EXPECT_EQ(ps::process_maps_opened(), opened);
    EXPECT_TRUE(ps::process_mapping_find(address, &mapping));
}

}  // namespace
