// Opening and closing a library through SharedLibrary while the loader
// stand-in keeps its image list (each open and close is a rescan): at the
// same place each time, where the loader finds the record it made before,
// and at a new place each time, where it builds a new view. The moving run
// counts what each cycle leaves behind: mappings of the library's file
// ("file_mappings", in all) and heap ("heap_per_cycle", bytes).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/SharedLibrary.h"
#include "platform/system/Loader.h"

namespace {

// Not linked into the benchmark, small, with symbols and unwind tables.
constexpr const char* kLibrary = "libz.so.1";

namespace pf = platform::foundation;
namespace ps = platform::system;

void BM_SharedLibraryOpenClose(benchmark::State& state) {
    ps::dyld_image_count();  // the loader now hears of every open and close
    std::string error;
    for (auto _ : state) {
        auto library = pf::SharedLibrary::open(kLibrary, &error);
        if (!library) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
}
BENCHMARK(BM_SharedLibraryOpenClose)->Unit(benchmark::kMicrosecond);

int mappingsNaming(const std::string& name) {
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);)
        if (line.find(name) != std::string::npos) ++n;
    return n;
}

// A page kept where the library lay sends its next load elsewhere.
void BM_SharedLibraryOpenCloseMoving(benchmark::State& state) {
    ps::dyld_image_count();
    const size_t heapBefore = mallinfo2().uordblks;
    const long page = sysconf(_SC_PAGESIZE);
    std::vector<void*> held;
    std::string error;
    for (auto _ : state) {
        auto library = pf::SharedLibrary::open(kLibrary, &error);
        if (!library) {
            state.SkipWithError(error.c_str());
            break;
        }
        ps::dl_info info;
        void* base = ps::dladdr(library->symbol("zlibVersion"), &info) ? info.dli_fbase : nullptr;
        library.reset();
        state.PauseTiming();
        if (base) {
            void* p = mmap(base, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
            if (p != MAP_FAILED) held.push_back(p);
        }
        state.ResumeTiming();
    }
    state.counters["heap_per_cycle"] =
        (static_cast<double>(mallinfo2().uordblks) - static_cast<double>(heapBefore)) / state.iterations();
    state.counters["file_mappings"] = mappingsNaming("libz.so");
    for (void* p : held) munmap(p, page);
}
BENCHMARK(BM_SharedLibraryOpenCloseMoving)->Unit(benchmark::kMicrosecond)->Iterations(3000);

}  // namespace
