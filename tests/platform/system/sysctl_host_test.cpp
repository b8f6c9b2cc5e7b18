// The sysctl and host stand-ins: the platform's calling conventions, the
// played platform's answers and Linux's where Linux has the fact (process
// records are checked through the reporter's process information).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/system/Host.h"
#include "platform/system/Sysctl.h"

namespace ps = platform::system;

namespace {

TEST(Sysctl, FollowsThePlatformsBufferRules) {
    size_t size = 0;
    ASSERT_EQ(ps::sysctlbyname("kern.osrelease", nullptr, &size, nullptr, 0), 0);
    EXPECT_EQ(size, sizeof "15.4.0");
    char small[3];
    size = sizeof small;
    EXPECT_EQ(ps::sysctlbyname("kern.osrelease", small, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    char value[32];
    size = sizeof value;
    ASSERT_EQ(ps::sysctlbyname("kern.osrelease", value, &size, nullptr, 0), 0);
    EXPECT_STREQ(value, "15.4.0");
    int32_t one = 1;
    EXPECT_EQ(ps::sysctlbyname("hw.ncpu", nullptr, &size, &one, sizeof one), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(ps::sysctlbyname("hw.nothing", value, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Sysctl, AnswersThePlayedDeviceAndLinuxsFacts) {
    ps::sysctl_set_played_device("iPad4,2", "iPad");
    char value[32];
    size_t size = sizeof value;
    ASSERT_EQ(ps::sysctlbyname("hw.machine", value, &size, nullptr, 0), 0);
    EXPECT_STREQ(value, "iPad4,2");
    size = sizeof value;
    const int model[] = {ps::CTL_HW, ps::HW_MODEL};
    ASSERT_EQ(ps::sysctl(model, 2, value, &size, nullptr, 0), 0);
    EXPECT_STREQ(value, "iPad");

    int32_t cpus = 0;
    size = sizeof cpus;
    ASSERT_EQ(ps::sysctlbyname("hw.logicalcpu_max", &cpus, &size, nullptr, 0), 0);
    EXPECT_EQ(cpus, sysconf(_SC_NPROCESSORS_ONLN));
    uint64_t memory = 0;
    size = sizeof memory;
    ASSERT_EQ(ps::sysctlbyname("hw.memsize", &memory, &size, nullptr, 0), 0);
    EXPECT_EQ(memory, uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE)));

    ps::host_basic_info info;
    ASSERT_EQ(ps::host_basic_info_read(ps::mach_host_self(), &info), ps::KERN_SUCCESS);
    EXPECT_EQ(info.cpu_type, ps::host_cpu_type());
    EXPECT_EQ(info.max_mem, memory);
    ps::vm_size_t page = 0;
    ASSERT_EQ(ps::host_page_size(ps::mach_host_self(), &page), ps::KERN_SUCCESS);
    EXPECT_EQ(page, ps::vm_size_t(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(ps::vm_page_mask(), page - 1);
}

}  // namespace
