// The loader stand-in: callbacks for images already loaded and loaded later,
// and the Mach-O view that the task-memory path shows at each load address
// while the image's own pages stay as they are.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/system/Host.h"
#include "platform/system/Loader.h"
#include "platform/system/Mach.h"
#include "platform/system/MachO.h"

namespace ps = platform::system;

namespace {

std::mutex seenMutex;
std::set<const ps::mach_header*> seen;

void onAdd(const ps::mach_header* header, intptr_t slide) {
    EXPECT_EQ(slide, 0);
    std::lock_guard lock(seenMutex);
    seen.insert(header);
}

TEST(Loader, AddCallbackSeesEveryImageLoadedBeforeIt) {
    static std::once_flag once;
    std::call_once(once, [] { ps::dyld_register_func_for_add_image(onAdd); });
    uint32_t count = ps::dyld_image_count();
    ASSERT_GE(count, 3u);
    std::lock_guard lock(seenMutex);
    for (uint32_t i = 0; i < count; ++i)
        EXPECT_TRUE(seen.count(ps::dyld_get_image_header(i))) << ps::dyld_get_image_name(i);
}

TEST(Loader, ShowsAMachOViewAtTheLoadAddressThroughTaskReads) {
    ps::dl_info info;
    ASSERT_TRUE(ps::dladdr(reinterpret_cast<const void*>(&dlopen), &info));
    Dl_info real;
    ASSERT_TRUE(::dladdr(reinterpret_cast<const void*>(&dlopen), &real));
    EXPECT_EQ(info.dli_fbase, real.dli_fbase);
    EXPECT_EQ(std::string(info.dli_fname).find('/'), 0u);

    auto base = reinterpret_cast<uint64_t>(info.dli_fbase);
    EXPECT_EQ(std::memcmp(info.dli_fbase,
                          "\x7f"
                          "ELF",
                          4),
              0);  // the image's own bytes are untouched
    ps::mach_header_64 header;
    ps::vm_size_t got = 0;
    ASSERT_EQ(
        ps::vm_read_overwrite(ps::mach_task_self(), base, sizeof header, reinterpret_cast<uint64_t>(&header), &got),
        ps::KERN_SUCCESS);
    EXPECT_EQ(header.magic, ps::MH_MAGIC_64);
    EXPECT_EQ(header.cputype, ps::host_cpu_type());
    EXPECT_EQ(header.cpusubtype, ps::host_cpu_subtype());
    EXPECT_GE(header.ncmds, 3u);

    // A read that starts before the view and runs into it sees both.
    uint8_t around[8];
    ASSERT_EQ(ps::vm_read_overwrite(ps::mach_task_self(), base + 2, 8, reinterpret_cast<uint64_t>(around), &got),
              ps::KERN_SUCCESS);
    EXPECT_EQ(std::memcmp(around, reinterpret_cast<const uint8_t*>(&header) + 2, 8), 0);
    EXPECT_NE(ps::loader_view_bytes(base, sizeof header), nullptr);
    EXPECT_EQ(ps::loader_view_bytes(base, 1 << 30), nullptr);
    EXPECT_EQ(ps::loader_view_bytes(reinterpret_cast<uint64_t>(&header), 4), nullptr);

    uint64_t spanBase = 0, span = 0;
    ASSERT_TRUE(ps::dyld_image_span(reinterpret_cast<const ps::mach_header*>(base), &spanBase, &span));
    EXPECT_EQ(spanBase, base);
    EXPECT_GT(reinterpret_cast<uint64_t>(&dlopen), base);
    EXPECT_LT(reinterpret_cast<uint64_t>(&dlopen), base + span);
    EXPECT_EQ(ps::dladdr(reinterpret_cast<const void*>(8), &info), 0);
}

}  // namespace
