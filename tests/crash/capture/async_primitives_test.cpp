// The crash-time primitives: task reads that report instead of faulting,
// address arithmetic at the ends of the address space, the limited report
// file and write retries, the reader-safe list.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/capture/async/AsyncError.h"
#include "crash/capture/async/AsyncFile.h"
#include "crash/capture/async/AsyncList.h"
#include "crash/capture/async/AsyncMemory.h"
#include "tests/crash/capture/ReportBuilder.h"

using namespace ovcrash;
namespace ps = platform::system;

namespace {

TEST(AsyncMemory, ApplyOffsetRefusesToWrapEitherWay) {
    uint64_t out = 1;
    EXPECT_FALSE(async_address_apply_offset(0xFFFFFFFFFFFFFFF0ull, 0x10, &out));
    EXPECT_TRUE(async_address_apply_offset(0xFFFFFFFFFFFFFFF0ull, 0xF, &out));
    EXPECT_EQ(out, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_FALSE(async_address_apply_offset(8, -9, &out));
    EXPECT_TRUE(async_address_apply_offset(8, -8, &out));
    EXPECT_EQ(out, 0u);
    EXPECT_FALSE(async_address_apply_offset(UINT64_MAX, INT64_MIN, nullptr) &&
                 async_address_apply_offset(0, INT64_MIN, nullptr));
    EXPECT_TRUE(async_address_apply_offset(UINT64_MAX, INT64_MIN, &out));
    EXPECT_EQ(out, 0x7FFFFFFFFFFFFFFFull);
}

TEST(AsyncMemory, RangeTestHoldsForRangesEndingAtTheTop) {
    uint64_t base = UINT64_MAX - 0xFFF;
    EXPECT_TRUE(async_address_in_range(base, 0x1000, UINT64_MAX));
    EXPECT_TRUE(async_address_in_range(base, 0x1000, base));
    EXPECT_FALSE(async_address_in_range(base, 0x1000, 0x10));
    EXPECT_FALSE(async_address_in_range(base, 0x1000, base - 1));
    EXPECT_FALSE(async_address_in_range(0x1000, 0x10, 0x1010));
    EXPECT_FALSE(async_address_in_range(0x1000, 0, 0x1000));
}

// Two pages: the first readable, the second unmapped.
struct PageEdge {
    size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    char* base =
        static_cast<char*>(::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    PageEdge() {
        std::memset(base, 'x', page);
        ::munmap(base + page, page);
    }
    ~PageEdge() { ::munmap(base, page); }
    uint64_t address(size_t offset) const { return reinterpret_cast<uint64_t>(base + offset); }
};

TEST(AsyncMemory, TaskReadsReportUnreadableMemoryInsteadOfFaulting) {
    PageEdge edge;
    task_t self = ps::mach_task_self();
    char buf[16] = {};
    EXPECT_EQ(async_task_read(self, edge.address(0), 8, buf, 8), ASYNC_ESUCCESS);
    EXPECT_EQ(std::string(buf, 8), "xxxxxxxx");
    EXPECT_EQ(async_task_read(self, edge.address(edge.page), 0, buf, 8), ASYNC_ENOTFOUND);
    // A read that starts readable and runs into the hole fails whole.
    EXPECT_EQ(async_task_read(self, edge.address(edge.page - 4), 0, buf, 8), ASYNC_ENOTFOUND);
    EXPECT_EQ(async_task_read(self, 0, 0, buf, 8), ASYNC_ENOTFOUND);
    EXPECT_EQ(async_task_read(self, UINT64_MAX - 2, 4, buf, 1), ASYNC_ENOMEM);

    uint32_t v32 = 0;
    uint64_t v64 = 0;
    uint32_t word = 0x11223344;
    uint64_t base = reinterpret_cast<uint64_t>(&word);
    EXPECT_EQ(async_task_read_uint32(self, &async_byteorder_swapped, base, 0, &v32), ASYNC_ESUCCESS);
    EXPECT_EQ(v32, 0x44332211u);
    EXPECT_EQ(async_task_read_uint32(self, async_byteorder_native(), base, 0, &v32), ASYNC_ESUCCESS);
    EXPECT_EQ(v32, 0x11223344u);
    EXPECT_EQ(async_task_read_uint64(self, async_byteorder_native(), edge.address(edge.page - 4), 0, &v64),
              ASYNC_ENOTFOUND);
}

TEST(AsyncMemory, PipeFallbackCopiesAndReportsLikeTheKernelCopy) {
    PageEdge edge;
    task_t self = ps::mach_task_self();
    std::vector<char> big(3 * 4096 + 17);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    std::vector<char> out(big.size());
    ps::vm_size_t got = 0;
    EXPECT_EQ(ps::vm_read_overwrite_through_pipe(self, reinterpret_cast<uint64_t>(big.data()), big.size(),
                                                 reinterpret_cast<uint64_t>(out.data()), &got),
              ps::KERN_SUCCESS);
    EXPECT_EQ(got, big.size());
    EXPECT_EQ(out, big);
    char buf[8];
    EXPECT_EQ(
        ps::vm_read_overwrite_through_pipe(self, edge.address(edge.page - 4), 8, reinterpret_cast<uint64_t>(buf), &got),
        ps::KERN_INVALID_ADDRESS);
    EXPECT_EQ(ps::vm_read_overwrite_through_pipe(self, 0, 8, reinterpret_cast<uint64_t>(buf), &got),
              ps::KERN_INVALID_ADDRESS);
}

TEST(AsyncMemory, ByteHelpers) {
    EXPECT_EQ(async_memcmp("ab\0x", "ab\0y", 4), 0);  // stops after the shared NUL
    EXPECT_GT(async_memcmp("abc", "ab\x01", 3), 0);
    EXPECT_GT(async_memcmp("\xff", "\x01", 1), 0);  // unsigned difference
    EXPECT_EQ(async_memcmp("a", "b", 0), 0);
    char buf[6] = "hello";
    async_memset(buf, 'z', 2);
    async_memcpy(buf + 3, "XY", 2);
    EXPECT_STREQ(buf, "zzlXY");
    EXPECT_EQ(async_thread_self(), static_cast<thread_t>(::syscall(SYS_gettid)));
    EXPECT_STREQ(async_error_string(ASYNC_EINVALID_DATA), "The input data is in an unknown or invalid format.");
    EXPECT_STREQ(async_error_string(static_cast<async_error>(10)), "Unhandled error code");
}

TEST(AsyncFile, SmallWritesAreBufferedLargeOnesGoStraightOut) {
    int fd = ::memfd_create("file", 0);
    async_file file;
    async_file_init(&file, ::dup(fd), 0);
    std::vector<char> block(257, 'a');
    EXPECT_TRUE(async_file_write(&file, block.data(), 256));
    EXPECT_EQ(reporttest::contents(fd).size(), 0u);
    EXPECT_TRUE(async_file_write(&file, block.data(), 257));  // flushes the 256, then writes directly
    EXPECT_EQ(reporttest::contents(fd).size(), 513u);
    EXPECT_TRUE(async_file_write(&file, "b", 1));
    EXPECT_TRUE(async_file_close(&file));
    EXPECT_EQ(reporttest::contents(fd).size(), 514u);
    ::close(fd);
}

TEST(AsyncFile, RefusalPastTheLimitIsStickyAndReported) {
    int fd = ::memfd_create("file", 0);
    async_file file;
    async_file_init(&file, ::dup(fd), 10);
    EXPECT_TRUE(async_file_write(&file, "123456", 6));
    EXPECT_EQ(async_file_remaining(&file), 4u);
    EXPECT_FALSE(async_file_write(&file, "abcde", 5));
    // The 4 bytes would fit, but after a refused write they would follow a hole.
    EXPECT_FALSE(async_file_write(&file, "wxyz", 4));
    EXPECT_TRUE(async_file_failed(&file));
    EXPECT_EQ(async_file_remaining(&file), 0u);
    EXPECT_FALSE(async_file_close(&file));
    EXPECT_EQ(reporttest::contents(fd), (std::vector<uint8_t>{'1', '2', '3', '4', '5', '6'}));
    ::close(fd);
}

TEST(AsyncFile, ReservedRoomKeepsTheLastSectionsWritable) {
    int fd = ::memfd_create("file", 0);
    async_file file;
    async_file_init(&file, ::dup(fd), 100);
    EXPECT_FALSE(async_file_reserve(&file, 101));
    EXPECT_TRUE(async_file_reserve(&file, 30));
    EXPECT_EQ(async_file_remaining(&file), 70u);
    std::vector<char> section(40, 's');
    EXPECT_TRUE(async_file_write(&file, section.data(), 40));
    // The writer asks before each section and leaves out what does not fit.
    EXPECT_LT(async_file_remaining(&file), section.size());
    EXPECT_TRUE(async_file_reserve(&file, 0));
    EXPECT_TRUE(async_file_write(&file, section.data(), 30));
    EXPECT_TRUE(async_file_close(&file));
    EXPECT_EQ(reporttest::contents(fd).size(), 70u);
    ::close(fd);
}

TEST(AsyncFile, FailedDescriptorWriteIsReported) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    ::signal(SIGPIPE, SIG_IGN);
    async_file file;
    async_file_init(&file, fds[1], 0);
    std::vector<char> block(300, 'q');
    EXPECT_FALSE(async_file_write(&file, block.data(), block.size()));
    EXPECT_FALSE(async_file_write(&file, "x", 1));
    EXPECT_FALSE(async_file_close(&file));
}

std::atomic<int> interruptions{0};
void countInterruption(int) { interruptions.fetch_add(1); }

char threadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

TEST(AsyncFile, WriteRetryCarriesOnAfterInterruption) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // Fill the pipe so the next write blocks before writing anything.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    std::vector<char> fill(4096, 'f');
    size_t filled = 0;
    ssize_t n;
    while ((n = ::write(fds[1], fill.data(), fill.size())) > 0) filled += static_cast<size_t>(n);
    ::fcntl(fds[1], F_SETFL, 0);

    struct sigaction sa {
    }, old{};
    sa.sa_handler = countInterruption;  // no SA_RESTART: the blocked write fails with EINTR
    ::sigaction(SIGUSR1, &sa, &old);
    interruptions = 0;

    std::vector<char> data(10000, 'd');
    std::atomic<pid_t> writerTid{0};
    std::atomic<ssize_t> result{0};
    std::thread writer([&] {
        writerTid = static_cast<pid_t>(::syscall(SYS_gettid));
        result = async_write_retry(fds[1], data.data(), data.size());
    });
    while (writerTid == 0) std::this_thread::yield();
    // Interrupt the writer while it sleeps in write, a few times.
    for (int i = 0; i < 3; ++i) {
        for (int spin = 0; spin < 200000 && threadState(writerTid) != 'S'; ++spin) std::this_thread::yield();
        int before = interruptions;
        ::pthread_kill(writer.native_handle(), SIGUSR1);
        while (interruptions == before) std::this_thread::yield();
    }
    size_t drained = 0;
    std::vector<char> buf(65536);
    while (drained < filled + data.size()) {
        ssize_t r = ::read(fds[0], buf.data(), buf.size());
        ASSERT_GT(r, 0);
        drained += static_cast<size_t>(r);
    }
    writer.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(result, static_cast<ssize_t>(data.size()));
    EXPECT_EQ(drained, filled + data.size());
    EXPECT_EQ(interruptions, 3);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(AsyncList, KeepsOrderAndLetsReadersWalkOffRemovedEntries) {
    async_list<int> list;
    list.append(2);
    list.append(3);
    list.prepend(1);
    auto values = [&] {
        std::vector<int> out;
        list.set_reading(true);
        for (auto* e = list.next(nullptr); e; e = list.next(e)) out.push_back(e->value);
        list.set_reading(false);
        return out;
    };
    EXPECT_EQ(values(), (std::vector<int>{1, 2, 3}));

    // A reader standing on an entry while it is removed walks on from it.
    list.set_reading(true);
    auto* first = list.next(nullptr);
    auto* second = list.next(first);
    list.remove(second);
    EXPECT_EQ(second->value, 2);
    ASSERT_TRUE(list.next(second));
    EXPECT_EQ(list.next(second)->value, 3);
    list.set_reading(false);
    EXPECT_EQ(values(), (std::vector<int>{1, 3}));

    list.remove(list.next(nullptr));
    list.append(4);  // reuses the kept entry now that nobody reads
    EXPECT_EQ(values(), (std::vector<int>{3, 4}));
    list.remove(list.next(list.next(nullptr)));
    list.remove(list.next(nullptr));
    EXPECT_EQ(values(), std::vector<int>{});
    list.append(5);
    EXPECT_EQ(values(), std::vector<int>{5});
}

TEST(AsyncList, ReadersOnAnotherThreadSeeWholeEntriesWhileItChanges) {
    struct Pair {
        uint64_t a, b;
    };
    async_list<Pair> list;
    std::atomic<bool> stop{false};
    std::atomic<long> seen{0};
    std::atomic<bool> torn{false};
    std::thread reader([&] {
        while (!stop) {
            list.set_reading(true);
            for (auto* e = list.next(nullptr); e; e = list.next(e)) {
                if (e->value.a * 3 != e->value.b) torn = true;
                ++seen;
            }
            list.set_reading(false);
        }
    });
    for (uint64_t i = 0; i < 20000; ++i) {
        if (i % 2)
            list.append({i, i * 3});
        else
            list.prepend({i, i * 3});
        if (i % 3 == 0) list.remove(list.next(nullptr));
    }
    while (seen == 0) std::this_thread::yield();
    stop = true;
    reader.join();
    EXPECT_FALSE(torn);
}

}  // namespace
