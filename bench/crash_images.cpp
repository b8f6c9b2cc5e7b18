// Crash capture's image costs: building the image list of the running
// application (a Mach-O view and an image record per loaded image, with the
// libraries it opens at run time), and looking up 10,000 return addresses
// (goal: under 1 us per lookup; "per_lookup" is seconds per lookup).
#include <benchmark/benchmark.h>
#include <link.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crash/capture/image/ImageList.h"
#include "crash/capture/image/MachOImage.h"
#include "crash/capture/image/SymbolLookup.h"
#include "platform/foundation/SharedLibrary.h"
#include "platform/system/Loader.h"
#include "platform/system/MachOView.h"

namespace {

namespace ps = platform::system;
using namespace ovcrash;

// What the application opens at run time: windows and the network.
void openApplicationLibraries() {
    static std::vector<std::unique_ptr<platform::foundation::SharedLibrary>> libraries;
    if (!libraries.empty()) return;
    for (const char* name : {"libSDL2-2.0.so.0", "libcurl.so.4", "libcurl-gnutls.so.4"}) {
        std::string error;
        if (auto lib = platform::foundation::SharedLibrary::open(name, &error)) libraries.push_back(std::move(lib));
    }
}

int collect(dl_phdr_info* info, size_t, void* data) {
    static_cast<std::vector<dl_phdr_info>*>(data)->push_back(*info);
    return 0;
}

void BM_BuildImageList(benchmark::State& state) {
    openApplicationLibraries();
    std::vector<dl_phdr_info> loaded;
    dl_iterate_phdr(collect, &loaded);
    std::vector<std::string> names;
    for (size_t i = 0; i < loaded.size(); ++i)
        names.push_back(i == 0 || !loaded[i].dlpi_name ? "" : loaded[i].dlpi_name);
    for (auto _ : state) {
        // The loader's part: a view per image.
        std::vector<ps::MachOView> views(loaded.size());
        for (size_t i = 0; i < loaded.size(); ++i) ps::buildMachOView(loaded[i], names[i], &views[i], nullptr);
        // The reporter's part: an image record per image, read through the views.
        image_list list;
        image_list_init(&list, ps::mach_task_self());
        for (uint32_t i = 0; i < ps::dyld_image_count(); ++i)
            image_list_append(&list, reinterpret_cast<uint64_t>(ps::dyld_get_image_header(i)),
                              ps::dyld_get_image_name(i));
        state.PauseTiming();
        image_list_set_reading(&list, true);
        std::vector<macho_image*> images;
        for (macho_image* m = image_list_next(&list, nullptr); m; m = image_list_next(&list, m)) images.push_back(m);
        image_list_set_reading(&list, false);
        for (macho_image* m : images) image_list_remove(&list, m->header_addr);
        state.counters["images"] = static_cast<double>(images.size());
        state.ResumeTiming();
    }
}
BENCHMARK(BM_BuildImageList)->Unit(benchmark::kMillisecond);

void keep(uint64_t, const char*, void* ctx) { ++*static_cast<int*>(ctx); }

void BM_LookupReturnAddresses(benchmark::State& state) {
    openApplicationLibraries();
    shared_image_list_start();
    ps::dyld_rescan();
    image_list* list = shared_image_list();
    // Addresses spread over the code of every image, as return addresses are.
    std::vector<std::pair<uint64_t, uint64_t>> code;
    image_list_set_reading(list, true);
    for (macho_image* m = image_list_next(list, nullptr); m; m = image_list_next(list, m)) {
        async_mobject text;
        if (macho_image_map_section(m, "__TEXT", "__text", &text) != ASYNC_ESUCCESS) continue;
        code.emplace_back(mobject_task_address(&text), mobject_length(&text));
        mobject_free(&text);
    }
    image_list_set_reading(list, false);
    std::mt19937_64 rng(42);
    std::vector<uint64_t> pcs(10000);
    for (uint64_t& pc : pcs) {
        auto [start, length] = code[rng() % code.size()];
        pc = start + rng() % length;
    }
    int named = 0;
    for (auto _ : state) {
        image_list_set_reading(list, true);
        for (uint64_t pc : pcs) {
            macho_image* image = image_list_image_for_address(list, pc);
            if (image) async_symbol_lookup(image, SYMBOL_STRATEGY_SYMBOL_TABLE, nullptr, pc, keep, &named);
        }
        image_list_set_reading(list, false);
    }
    benchmark::DoNotOptimize(named);
    state.counters["per_lookup"] = benchmark::Counter(
        static_cast<double>(pcs.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["images"] = static_cast<double>(code.size());
}
BENCHMARK(BM_LookupReturnAddresses)->Unit(benchmark::kMillisecond);

}  // namespace
