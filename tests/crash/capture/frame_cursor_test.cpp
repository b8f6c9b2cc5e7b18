// Thread states, the frame cursor's stepping rules and the frame-pointer
// reader, on registers and frame records the tests lay out in memory.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>

#include "crash/capture/unwind/FrameCursor.h"
#include "crash/capture/unwind/FrameMemory.h"
#include "platform/foundation/ThreadStacks.h"
#include "platform/system/MachPort.h"

namespace {

using namespace ovcrash;
namespace ps = platform::system;

thread_state stateOf(uint32_t flavor) {
    thread_state s;
    std::memset(&s, 0, sizeof s);
    s.ts.flavor = flavor;
    s.register_size = flavor == ARM_THREAD_STATE32 ? 4 : 8;
    s.stack_direction = STACK_DIRECTION_DOWN;
    return s;
}

TEST(ThreadState, RegisterTablesOfEachFlavour) {
    thread_state arm64 = stateOf(ARM_THREAD_STATE64), arm32 = stateOf(ARM_THREAD_STATE32),
                 x86 = stateOf(X86_THREAD_STATE64);
    EXPECT_EQ(thread_state_register_count(&arm64), 34u);
    EXPECT_EQ(thread_state_register_count(&arm32), 17u);
    EXPECT_EQ(thread_state_register_count(&x86), 18u);
    EXPECT_STREQ(thread_state_register_name(&arm64, 0), "pc");
    EXPECT_STREQ(thread_state_register_name(&arm64, 31), "x28");
    EXPECT_STREQ(thread_state_register_name(&arm64, 33), "cpsr");
    EXPECT_STREQ(thread_state_register_name(&arm32, 1), "r7");
    EXPECT_STREQ(thread_state_register_name(&arm32, 10), "r8");
    EXPECT_STREQ(thread_state_register_name(&x86, 0), "rip");
    EXPECT_STREQ(thread_state_register_name(&x86, 13), "r12");
    EXPECT_STREQ(thread_state_register_name(&x86, 17), "rflags");

    // Registers land in the platform's block.
    thread_state_set_register(&arm64, ARM64_REG_LR, 0x1234);
    thread_state_set_register(&arm64, ARM64_REG_X0 + 19, 0x19);
    EXPECT_EQ(arm64.ts.arm64.lr, 0x1234u);
    EXPECT_EQ(arm64.ts.arm64.x[19], 0x19u);
    thread_state_set_register(&x86, X86_64_REG_R8 + 7, 15);
    EXPECT_EQ(x86.ts.x86_64.r15, 15u);
    thread_state_set_register(&arm32, REG_FP, 7);
    EXPECT_EQ(arm32.ts.arm32.r[7], 7u);

    // The 32-bit flavour keeps the low half.
    thread_state_set_register(&arm32, REG_SP, 0x1'2345'6789ull);
    EXPECT_EQ(thread_state_get_register(&arm32, REG_SP), 0x2345'6789u);
    EXPECT_TRUE(thread_state_has_register(&arm32, REG_SP));
    thread_state_clear_register(&arm32, REG_SP);
    EXPECT_FALSE(thread_state_has_register(&arm32, REG_SP));
}

TEST(ThreadState, OutOfRangeRegisterTraps) {
    thread_state s = stateOf(ARM_THREAD_STATE32);
    EXPECT_DEATH(thread_state_get_register(&s, 17), "");
}

TEST(ThreadState, ClearingVolatileRegistersKeepsTheCalleeSaved) {
    thread_state s = stateOf(ARM_THREAD_STATE64);
    s.valid_regs = ~0ull;
    thread_state_clear_volatile_registers(&s);
    EXPECT_EQ(s.valid_regs, (1ull << REG_FP) | (0x3ffull << 22));  // fp, x19-x28

    thread_state x86 = stateOf(X86_THREAD_STATE64);
    x86.valid_regs = ~0ull;
    thread_state_clear_volatile_registers(&x86);
    EXPECT_EQ(x86.valid_regs, (1ull << 1) | (1ull << 4) | (0xfull << 13));  // rbp, rbx, r12-r15

    thread_state arm32 = stateOf(ARM_THREAD_STATE32);
    arm32.valid_regs = ~0ull;
    thread_state_clear_volatile_registers(&arm32);
    EXPECT_EQ(arm32.valid_regs,
              (1ull << 1) | (1ull << 7) | (1ull << 8) | (1ull << 9) | (1ull << 10) | (1ull << 12) | (1ull << 13));
}

TEST(ThreadState, DwarfRegisterNumbers) {
    thread_state arm64 = stateOf(ARM_THREAD_STATE64), arm32 = stateOf(ARM_THREAD_STATE32),
                 x86 = stateOf(X86_THREAD_STATE64);
    uint32_t r;
    ASSERT_TRUE(thread_state_map_dwarf_register(&arm64, 29, &r));
    EXPECT_EQ(r, REG_FP);
    ASSERT_TRUE(thread_state_map_dwarf_register(&arm64, 30, &r));
    EXPECT_EQ(r, ARM64_REG_LR);
    ASSERT_TRUE(thread_state_map_dwarf_register(&arm64, 19, &r));
    EXPECT_EQ(r, 22u);
    EXPECT_FALSE(thread_state_map_dwarf_register(&arm64, 32, &r));
    ASSERT_TRUE(thread_state_map_dwarf_register(&arm32, 15, &r));
    EXPECT_EQ(r, REG_IP);
    ASSERT_TRUE(thread_state_map_dwarf_register(&x86, 6, &r));
    EXPECT_EQ(r, REG_FP);
    ASSERT_TRUE(thread_state_map_dwarf_register(&x86, 3, &r));
    EXPECT_EQ(r, X86_64_REG_RBX);
    // The return-address column is no register of the state.
    EXPECT_FALSE(thread_state_map_dwarf_register(&x86, 16, &r));
}

TEST(ThreadState, FromASignalContext) {
    mcontext_t mc;
    std::memset(&mc, 0, sizeof mc);
#if defined(__x86_64__)
    mc.gregs[REG_RIP] = 0x401000;
    mc.gregs[REG_RSP] = 0x7000;
    mc.gregs[REG_RBP] = 0x7100;
    mc.gregs[REG_R12] = 12;
    mc.gregs[REG_EFL] = 0x246;
#elif defined(__aarch64__)
    mc.pc = 0x401000;
    mc.sp = 0x7000;
    mc.regs[29] = 0x7100;
    mc.regs[12] = 12;
    mc.pstate = 0x246;
#endif
    thread_state s;
    thread_state_init_from_mcontext(&s, &mc);
    EXPECT_EQ(s.valid_regs, ~0ull);
    EXPECT_EQ(thread_state_stack_direction(&s), STACK_DIRECTION_DOWN);
    EXPECT_EQ(thread_state_register_size(&s), 8u);
    EXPECT_EQ(thread_state_get_register(&s, REG_IP), 0x401000u);
    EXPECT_EQ(thread_state_get_register(&s, REG_SP), 0x7000u);
    EXPECT_EQ(thread_state_get_register(&s, REG_FP), 0x7100u);
#if defined(__x86_64__)
    EXPECT_EQ(s.ts.flavor, X86_THREAD_STATE64);
    EXPECT_EQ(s.ts.count, 42u);
    EXPECT_EQ(thread_state_get_register(&s, X86_64_REG_R8 + 4), 12u);
    EXPECT_EQ(thread_state_get_register(&s, X86_64_REG_RFLAGS), 0x246u);
#elif defined(__aarch64__)
    EXPECT_EQ(s.ts.flavor, ARM_THREAD_STATE64);
    EXPECT_EQ(s.ts.count, 68u);
    EXPECT_EQ(thread_state_get_register(&s, ARM64_REG_X0 + 12), 12u);
    EXPECT_EQ(thread_state_get_register(&s, ARM64_REG_CPSR), 0x246u);
#endif
}

// The capture of the calling thread: pc is the return address into this
// function, and the cursor walks on from there.
struct Captured {
    thread_state state;
    uint64_t sp_inside;
};

async_error keep(thread_state *state, void *context) {
    auto *captured = static_cast<Captured *>(context);
    captured->state = *state;
    captured->sp_inside = reinterpret_cast<uint64_t>(__builtin_frame_address(0));
    return ASYNC_EINVALID_DATA;
}

__attribute__((noinline)) uint64_t captureHere(Captured *captured, async_error *result) {
    *result = thread_state_current_capture(keep, captured);
    asm volatile("" ::: "memory");
    return reinterpret_cast<uint64_t>(__builtin_return_address(0));
}

TEST(ThreadState, CurrentCaptureStopsAtTheCall) {
    Captured captured;
    async_error result;
    captureHere(&captured, &result);
    EXPECT_EQ(result, ASYNC_EINVALID_DATA);  // the callback's own result
    const uint64_t pc = thread_state_get_register(&captured.state, REG_IP);
    const auto entry = reinterpret_cast<uint64_t>(&captureHere);
    EXPECT_GT(pc, entry);
    EXPECT_LT(pc, entry + 256);
    EXPECT_GT(thread_state_get_register(&captured.state, REG_SP), captured.sp_inside);
    EXPECT_FALSE(captured.state.pc_exact);  // a return address: its call is looked up
}

// A reader that hands back a prepared frame and notes what it was given.
thread_state scripted;
frame_error scriptedResult;
int calls;
bool sawPrevious;

frame_error scriptedReader(task_t, image_list *, const thread_state *, const thread_state *previous,
                           thread_state *next) {
    calls++;
    sawPrevious = previous != nullptr;
    *next = scripted;
    return scriptedResult;
}

frame_error failingReader(task_t, image_list *, const thread_state *, const thread_state *, thread_state *) {
    return FRAME_EBADFRAME;
}

TEST(FrameCursor, StepsThroughItsReaders) {
    thread_state start = stateOf(X86_THREAD_STATE64);
    thread_state_set_register(&start, REG_IP, 0x500000);
    frame_cursor cursor;
    frame_cursor_init(&cursor, ps::mach_task_self(), &start, nullptr);

    // The first step is the thread itself, even with no reader at all.
    ASSERT_EQ(frame_cursor_next(&cursor, nullptr, 0), FRAME_ESUCCESS);
    uint64_t pc;
    ASSERT_EQ(frame_cursor_get_register(&cursor, REG_IP, &pc), FRAME_ESUCCESS);
    EXPECT_EQ(pc, 0x500000u);
    EXPECT_EQ(frame_cursor_next(&cursor, nullptr, 0), FRAME_EINVAL);

    // At depth 1 the readers get no previous frame; later they do.
    scripted = stateOf(X86_THREAD_STATE64);
    thread_state_set_register(&scripted, REG_IP, 0x600000);
    scriptedResult = FRAME_ESUCCESS;
    calls = 0;
    const frame_reader both[] = {failingReader, scriptedReader};
    ASSERT_EQ(frame_cursor_next(&cursor, both, 2), FRAME_ESUCCESS);
    EXPECT_FALSE(sawPrevious);
    ASSERT_EQ(frame_cursor_next(&cursor, both, 2), FRAME_ESUCCESS);
    EXPECT_TRUE(sawPrevious);
    EXPECT_EQ(calls, 2);

    // The new frame holds only what the reader restored.
    uint64_t value;
    EXPECT_EQ(frame_cursor_get_register(&cursor, REG_SP, &value), FRAME_ENOTSUP);
    EXPECT_EQ(frame_cursor_register_count(&cursor), 18u);
    EXPECT_STREQ(frame_cursor_register_name(&cursor, 2), "rsp");

    // All readers failing: the last one's error, and the cursor unchanged.
    const frame_reader failing[] = {scriptedReader, failingReader};
    scriptedResult = FRAME_ENOTSUP;
    EXPECT_EQ(frame_cursor_next(&cursor, failing, 2), FRAME_EBADFRAME);
    EXPECT_EQ(cursor.depth, 3u);
    frame_cursor_free(&cursor);
}

TEST(FrameCursor, EndsAtAPcInTheFirstPageOrNoPc) {
    thread_state start = stateOf(ARM_THREAD_STATE64);
    thread_state_set_register(&start, REG_IP, 0x500000);
    frame_cursor cursor;
    frame_cursor_init(&cursor, ps::mach_task_self(), &start, nullptr);
    ASSERT_EQ(frame_cursor_advance(&cursor), FRAME_ESUCCESS);
    const frame_reader one[] = {scriptedReader};
    scriptedResult = FRAME_ESUCCESS;
    for (uint64_t pc : {0ull, 1ull, 4096ull}) {
        scripted = stateOf(ARM_THREAD_STATE64);
        thread_state_set_register(&scripted, REG_IP, pc);
        EXPECT_EQ(frame_cursor_next(&cursor, one, 1), FRAME_ENOFRAME) << pc;
    }
    scripted = stateOf(ARM_THREAD_STATE64);  // the outermost frame: no pc at all
    EXPECT_EQ(frame_cursor_next(&cursor, one, 1), FRAME_ENOFRAME);
    EXPECT_EQ(cursor.depth, 1u);
}

// A state from a signal context marks all 64 bits: a number its flavour has
// no register for is still not there. The cursor holds the task while it
// lives and gives it back once.
TEST(FrameCursor, AnswersOnlyTheFlavoursRegistersAndBalancesItsTaskReference) {
    thread_state start = stateOf(X86_THREAD_STATE64);
    start.valid_regs = ~0ull;
    thread_state_set_register(&start, REG_IP, 0x500000);
    ps::mach_port_urefs_t before = 0, during = 0, after = 0;
    ps::mach_port_get_refs(ps::mach_task_self(), ps::mach_task_self(), ps::MACH_PORT_RIGHT_SEND, &before);
    frame_cursor cursor;
    frame_cursor_init(&cursor, ps::mach_task_self(), &start, nullptr);
    ps::mach_port_get_refs(ps::mach_task_self(), ps::mach_task_self(), ps::MACH_PORT_RIGHT_SEND, &during);
    ASSERT_EQ(frame_cursor_next(&cursor, nullptr, 0), FRAME_ESUCCESS);
    uint64_t value = 0;
    EXPECT_EQ(frame_cursor_get_register(&cursor, 17, &value), FRAME_ESUCCESS);
    for (uint32_t regnum : {18u, 33u, 63u, 64u})
        EXPECT_EQ(frame_cursor_get_register(&cursor, regnum, &value), FRAME_ENOTSUP) << regnum;
    frame_cursor_free(&cursor);
    ps::mach_port_get_refs(ps::mach_task_self(), ps::mach_task_self(), ps::MACH_PORT_RIGHT_SEND, &after);
    EXPECT_EQ(during, before + 1);
    EXPECT_EQ(after, before);
}

// Frame records laid out in a local array, as a stack growing down.
struct Stack {
    uint64_t words[64] = {};
    uint64_t at(int i) const { return reinterpret_cast<uint64_t>(&words[i]); }
};

thread_state fpFrame(uint64_t fp) {
    thread_state s = stateOf(X86_THREAD_STATE64);
    thread_state_set_register(&s, REG_FP, fp);
    return s;
}

TEST(FramePointerReader, FollowsTheChainOfRecords) {
    Stack stack;
    stack.words[10] = stack.at(20);  // record: caller's fp, return address
    stack.words[11] = 0x401234;
    thread_state current = fpFrame(stack.at(10)), next;
    thread_state_set_register(&current, REG_SP, stack.at(4));
    ASSERT_EQ(frame_pointer_read_frame(ps::mach_task_self(), nullptr, &current, nullptr, &next), FRAME_ESUCCESS);
    EXPECT_EQ(next.valid_regs, (1ull << REG_IP) | (1ull << REG_FP));
    EXPECT_EQ(thread_state_get_register(&next, REG_FP), stack.at(20));
    EXPECT_EQ(thread_state_get_register(&next, REG_IP), 0x401234u);

    // An equal frame pointer in the previous frame passes.
    thread_state previous = fpFrame(stack.at(10));
    EXPECT_EQ(frame_pointer_read_frame(ps::mach_task_self(), nullptr, &current, &previous, &next), FRAME_ESUCCESS);
    // One that moves against the stack's growth does not.
    previous = fpFrame(stack.at(12));
    EXPECT_EQ(frame_pointer_read_frame(ps::mach_task_self(), nullptr, &current, &previous, &next), FRAME_EBADFRAME);
}

TEST(FramePointerReader, StopsOnBadRecords) {
    Stack stack;
    thread_state next;
    thread_state noFp = stateOf(X86_THREAD_STATE64);
    EXPECT_EQ(frame_pointer_read_frame(ps::mach_task_self(), nullptr, &noFp, nullptr, &next), FRAME_EBADFRAME);
    thread_state zero = fpFrame(0);
    EXPECT_EQ(frame_pointer_read_frame(ps::mach_task_self(), nullptr, &zero, nullptr, &next), FRAME_ENOFRAME);
    thread_state unmapped = fpFrame(16);
    EXPECT_EQ(frame_pointer_read_frame(ps::mach_task_self(), nullptr, &unmapped, nullptr, &next), FRAME_EBADFRAME);

    // A record naming itself as its caller would repeat for ever.
    stack.words[10] = stack.at(10);
    stack.words[11] = 0x401234;
    thread_state self = fpFrame(stack.at(10));
    EXPECT_EQ(frame_pointer_read_frame(ps::mach_task_self(), nullptr, &self, nullptr, &next), FRAME_EBADFRAME);

    // A record below the stack pointer is not on the live stack.
    stack.words[10] = stack.at(20);
    thread_state below = fpFrame(stack.at(10));
    thread_state_set_register(&below, REG_SP, stack.at(12));
    EXPECT_EQ(frame_pointer_read_frame(ps::mach_task_self(), nullptr, &below, nullptr, &next), FRAME_EBADFRAME);
}

TEST(FramePointerReader, AWalkOverALoopingChainEnds) {
    Stack stack;
    // 10 -> 20 -> 20 -> ...: the second record points to itself.
    stack.words[10] = stack.at(20);
    stack.words[11] = 0x401000;
    stack.words[20] = stack.at(20);
    stack.words[21] = 0x402000;
    thread_state start = fpFrame(stack.at(10));
    thread_state_set_register(&start, REG_IP, 0x400000);
    frame_cursor cursor;
    frame_cursor_init(&cursor, ps::mach_task_self(), &start, nullptr);
    const frame_reader fp[] = {frame_pointer_read_frame};
    int frames = 0;
    while (frame_cursor_next(&cursor, fp, 1) == FRAME_ESUCCESS && frames < 100) frames++;
    EXPECT_EQ(frames, 2);
}

TEST(FramePointerReader, ThirtyTwoBitRecords) {
    // A page below 4 GiB, so that 32-bit frame pointers can reach it.
    void *page = ::mmap(reinterpret_cast<void *>(0x20000000), 4096, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    auto *words = static_cast<uint32_t *>(page);
    words[4] = 0x20000000 + 8 * 4;  // caller's fp, then the return address, low half first
    words[5] = 0x8000;
    thread_state current = stateOf(ARM_THREAD_STATE32), next;
    thread_state_set_register(&current, REG_FP, 0x20000000 + 4 * 4);
    EXPECT_EQ(frame_pointer_read_frame(ps::mach_task_self(), nullptr, &current, nullptr, &next), FRAME_ESUCCESS);
    EXPECT_EQ(thread_state_get_register(&next, REG_FP), 0x20000020u);
    EXPECT_EQ(thread_state_get_register(&next, REG_IP), 0x8000u);
    ::munmap(page, 4096);
}

// A walk of a stack never noted reads a copy made when it began, grown page
// by page as the walk climbs, and a read past the stack's last readable page
// fails instead of faulting. A noted stack is read in place.
TEST(FrameMemory, WalksACopyOfAStackNeverNotedAndANotedStackInPlace) {
    const uint64_t page = frame_memory_page_size();
    auto *area = static_cast<uint8_t *>(::mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE,
                                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(::mprotect(area + 2 * page, page, PROT_NONE), 0);
    const auto base = reinterpret_cast<uint64_t>(area);
    auto *words = reinterpret_cast<uint64_t *>(area);
    for (uint64_t i = 0; i < 2 * page / 8; i++) words[i] = i;

    const ps::task_t self = ps::mach_task_self();
    frame_memory_begin(self, base + 64);
    words[10] = 1000;  // after the copy was made
    uint64_t value = 0, pair[2] = {};
    EXPECT_EQ(frame_memory_read(self, base, 80, &value, 8), ASYNC_ESUCCESS);
    EXPECT_EQ(value, 10u);
    // Across into the next page, and in it.
    EXPECT_EQ(frame_memory_read(self, base + page - 8, 0, pair, 16), ASYNC_ESUCCESS);
    EXPECT_EQ(pair[0], page / 8 - 1);
    EXPECT_EQ(pair[1], page / 8);
    EXPECT_EQ(frame_memory_read(self, base + 2 * page - 8, 0, &value, 8), ASYNC_ESUCCESS);
    EXPECT_EQ(value, 2 * page / 8 - 1);
    EXPECT_NE(frame_memory_read(self, base + 2 * page, 0, &value, 8), ASYNC_ESUCCESS);
    EXPECT_NE(frame_memory_read(self, base + 2 * page - 8, 0, pair, 16), ASYNC_ESUCCESS);
    // Below the stack pointer, outside the copy: read as it is now.
    EXPECT_EQ(frame_memory_read(self, base, 0, &value, 8), ASYNC_ESUCCESS);
    EXPECT_EQ(value, 0u);
    frame_memory_end();
    ::munmap(area, 3 * page);

    // The main stack, once noted, is read as it is at each read.
    platform::foundation::thread_stack_note_main();
    volatile uint64_t local[2] = {1, 2};
    const auto at = reinterpret_cast<uint64_t>(&local[0]);
    frame_memory_begin(self, at);
    local[0] = 3;
    EXPECT_EQ(frame_memory_read(self, at, 0, &value, 8), ASYNC_ESUCCESS);
    EXPECT_EQ(value, 3u);
    frame_memory_end();
}

}  // namespace
