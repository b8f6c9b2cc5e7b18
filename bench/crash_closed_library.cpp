// A live report (the crash's own session of the dynamic linker's list) once a
// library the loader listed, with 16 GiB of zero-filled data, was closed
// behind its back: whether anything lies in its range now is one look, so
// the report costs what one without it does (goal: under 1 s, far under the
// 5 s after which stopped threads run on). Skipped where the library's
// data cannot be reserved.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "crash/capture/handler/CrashTimeContext.h"
#include "crash/capture/image/ImageList.h"
#include "platform/system/Loader.h"
#include "platform/system/Mach.h"

namespace {

void BM_WriteReportAfterAVastLibraryClosed(benchmark::State& state) {
    ovcrash::shared_image_list_start();
    // As enabling the reporter does.
    ovcrash::image_list_prepare_crash_time(ovcrash::shared_image_list(), ovcrash::kImageListCrashTimeImages);
    void* library = dlopen(QM_VAST_BSS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        state.SkipWithError(dlerror());
        return;
    }
    platform::system::dyld_rescan();  // listed
    dlclose(library);                 // behind the loader's back
    const std::string path = "/tmp/bench_crash_closed_library_" + std::to_string(getpid()) + ".ovcrash";
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        auto result =
            ovcrash::crash_reporter_write_live_report(fd, platform::system::mach_thread_self(), 0, "com.example.bench",
                                                      "1", "1.0", 0, ovcrash::shared_image_list());
        if (result != ovcrash::ASYNC_ESUCCESS) state.SkipWithError(ovcrash::async_error_string(result));
    }
    unlink(path.c_str());
}
BENCHMARK(BM_WriteReportAfterAVastLibraryClosed)->Unit(benchmark::kMillisecond);

}  // namespace
