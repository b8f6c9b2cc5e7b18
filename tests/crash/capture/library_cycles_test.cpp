// A library opened and closed through SharedLibrary again and again, each
// time at a new place: once the loader learns that it is closed, nothing of
// the library's file stays mapped, however many times it came and went.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/SharedLibrary.h"
#include "platform/system/Loader.h"

namespace fs = std::filesystem;
namespace ps = platform::system;

namespace {

int mappingsOf(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);)
        if (line.size() >= path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0) ++n;
    return n;
}

TEST(LibraryCycles, ClosedLibraryLeavesNoMappingOfItsFile) {
    // A copy of its own, so that every line naming it is this test's.
    const fs::path dir = fs::temp_directory_path() / ("library-cycles-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "cycled_library.so").string();
    fs::copy_file(QM_REPLACEABLE_LIBRARY_1, path, fs::copy_options::overwrite_existing);
    ps::dyld_image_count();  // the loader now hears of every open and close

    const long page = sysconf(_SC_PAGESIZE);
    std::vector<void*> held;  // a page where the library lay sends its next load elsewhere
    std::set<uintptr_t> places;
    for (int cycle = 0; cycle < 3000; ++cycle) {
        std::string error;
        auto library = platform::foundation::SharedLibrary::open(path, &error);
        ASSERT_TRUE(library) << error;
        ps::dl_info info;
        ASSERT_TRUE(ps::dladdr(library->symbol("library_version1_work"), &info));
        places.insert(reinterpret_cast<uintptr_t>(info.dli_fbase));
        library.reset();
        void* p = mmap(info.dli_fbase, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (p != MAP_FAILED) held.push_back(p);
    }
    const int left = mappingsOf(path);
    for (void* p : held) munmap(p, page);
    fs::remove_all(dir);
    EXPECT_GT(places.size(), 2900u);
    EXPECT_EQ(left, 0);
}

}  // namespace
