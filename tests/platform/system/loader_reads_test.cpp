// What the loader stand-in hands crash-time readers of a library whose file
// is cut short in place after it was loaded: a copy of the unwind tables
// made before keeps its bytes, and tables not copied yet are refused (null)
// rather than handed out over a mapping that faults past the file's end.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/system/Loader.h"

namespace fs = std::filesystem;
namespace ps = platform::system;

namespace {

struct Found {
    std::string path;
    uint64_t hdr = 0, hdrSize = 0;
};

int findLibrary(dl_phdr_info* info, size_t, void* data) {
    auto* found = static_cast<Found*>(data);
    if (!info->dlpi_name || found->path != info->dlpi_name) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i)
        if (info->dlpi_phdr[i].p_type == PT_GNU_EH_FRAME) {
            found->hdr = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
            found->hdrSize = info->dlpi_phdr[i].p_memsz;
        }
    return 1;
}

// In a child of its own: the cut library stays loaded there until it ends.
// The exit code names the first step that went wrong.
[[noreturn]] void cutLoadedLibrary(const std::string& copy) {
    void* handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) _exit(10);
    ps::dyld_rescan();
    Found found{copy};
    dl_iterate_phdr(findLibrary, &found);
    if (found.hdrSize < 8) _exit(11);
    const auto* table = static_cast<const uint8_t*>(ps::loader_view_bytes(found.hdr, found.hdrSize));
    if (!table) _exit(12);
    const std::vector<uint8_t> before(table, table + found.hdrSize);
    if (std::memcmp(before.data(), reinterpret_cast<const void*>(found.hdr), found.hdrSize) != 0) _exit(13);
    // .eh_frame, where .eh_frame_hdr says it begins (pc-relative, 4 bytes).
    int32_t rel;
    std::memcpy(&rel, before.data() + 4, 4);
    const uint64_t frames = found.hdr + 4 + static_cast<int64_t>(rel);

    char head[64];
    int fd = open(copy.c_str(), O_RDONLY);
    if (fd < 0 || read(fd, head, sizeof head) != ssize_t(sizeof head)) _exit(14);
    close(fd);
    fd = open(copy.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, head, sizeof head) != ssize_t(sizeof head)) _exit(15);
    close(fd);

    const auto* again = static_cast<const uint8_t*>(ps::loader_view_bytes(found.hdr, found.hdrSize));
    if (again != table || std::memcmp(again, before.data(), before.size()) != 0) _exit(16);
    if (ps::loader_view_bytes(frames, 4) != nullptr) _exit(17);
    _exit(0);
}

TEST(LoaderReads, UnwindTablesOfALibraryCutShortAreCopiesOrNothing) {
    void* z = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(z) << dlerror();
    Dl_info where;
    ASSERT_TRUE(dladdr(dlsym(z, "zlibVersion"), &where));
    const fs::path dir = fs::temp_directory_path() / ("loader-reads-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string copy = (dir / "cut_library.so").string();
    fs::copy_file(where.dli_fname, copy, fs::copy_options::overwrite_existing);
    dlclose(z);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) cutLoadedLibrary(copy);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    fs::remove_all(dir);
    EXPECT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
