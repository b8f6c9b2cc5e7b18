#pragma once
// Crash-time code: no allocation, no lock, only async-signal-safe calls.
//
// A snapshot of one thread's general registers in the platform's thread-state
// layout, each register with its own availability bit. The frame cursor and
// its readers pass frames around as thread states; the crash log writer reads
// the registers of the crashed thread's first frame from one.
//
// Register numbers are the system's own: 0, 1 and 2 are always the
// instruction pointer, the frame pointer and the stack pointer.
//   64-bit ARM (flavour 6): 0 pc, 1 fp, 2 sp, 3-31 x0-x28, 32 lr, 33 cpsr
//   32-bit ARM (flavour 9): 0 pc, 1 r7, 2 sp, 3-9 r0-r6, 10-14 r8-r12, 15 lr, 16 cpsr
//   x86-64     (flavour 4): 0 rip, 1 rbp, 2 rsp, 3 rax, 4 rbx, 5 rcx, 6 rdx,
//                           7 rdi, 8 rsi, 9-16 r8-r15, 17 rflags
#include <signal.h>
#include <ucontext.h>
#include <cstddef>
#include <cstdint>

#include "crash/capture/async/AsyncError.h"
#include "platform/system/MachThread.h"

namespace ovcrash {

// Platform thread-state flavours and their counts in 32-bit words.
constexpr uint32_t ARM_THREAD_STATE = 1;  // unified: flavour, count, then one of the two below
constexpr uint32_t ARM_THREAD_STATE64 = 6;
constexpr uint32_t ARM_THREAD_STATE64_COUNT = 68;
constexpr uint32_t ARM_THREAD_STATE32 = 9;
constexpr uint32_t ARM_THREAD_STATE32_COUNT = 17;
constexpr uint32_t X86_THREAD_STATE64 = 4;
constexpr uint32_t X86_THREAD_STATE64_COUNT = 42;

constexpr uint32_t STACK_DIRECTION_UP = 1;
constexpr uint32_t STACK_DIRECTION_DOWN = 2;

// Register counts of the flavours.
constexpr uint32_t ARM64_REGISTER_COUNT = 34;
constexpr uint32_t ARM32_REGISTER_COUNT = 17;
constexpr uint32_t X86_64_REGISTER_COUNT = 18;

// Register numbers that every flavour shares.
constexpr uint32_t REG_IP = 0;
constexpr uint32_t REG_FP = 1;
constexpr uint32_t REG_SP = 2;

// Numbers of the registers named by unwind data.
constexpr uint32_t ARM64_REG_X0 = 3;  // x0-x28 are 3-31
constexpr uint32_t ARM64_REG_LR = 32;
constexpr uint32_t ARM64_REG_CPSR = 33;
constexpr uint32_t ARM32_REG_R0 = 3;  // r0-r6 are 3-9, r8-r12 are 10-14
constexpr uint32_t ARM32_REG_LR = 15;
constexpr uint32_t X86_64_REG_RAX = 3;
constexpr uint32_t X86_64_REG_RBX = 4;
constexpr uint32_t X86_64_REG_RCX = 5;
constexpr uint32_t X86_64_REG_RDX = 6;
constexpr uint32_t X86_64_REG_RDI = 7;
constexpr uint32_t X86_64_REG_RSI = 8;
constexpr uint32_t X86_64_REG_R8 = 9;  // r8-r15 are 9-16
constexpr uint32_t X86_64_REG_RFLAGS = 17;

// 32-bit x86 numbering, used only by the compact unwind decoder: the
// platform has no 32-bit x86 thread state here.
constexpr uint32_t X86_REG_EAX = 3;
constexpr uint32_t X86_REG_EDX = 4;
constexpr uint32_t X86_REG_ECX = 5;
constexpr uint32_t X86_REG_EBX = 6;
constexpr uint32_t X86_REG_ESI = 7;
constexpr uint32_t X86_REG_EDI = 8;

struct arm_thread_state64 {
    uint64_t x[29];
    uint64_t fp, lr, sp, pc;
    uint32_t cpsr;
    uint32_t pad;
};
static_assert(sizeof(arm_thread_state64) == 272);

struct arm_thread_state32 {
    uint32_t r[13];
    uint32_t sp, lr, pc, cpsr;
};
static_assert(sizeof(arm_thread_state32) == 68);

struct x86_thread_state64 {
    uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp;
    uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    uint64_t rip, rflags, cs, fs, gs;
};
static_assert(sizeof(x86_thread_state64) == 168);

struct thread_state {
    uint32_t stack_direction;
    size_t register_size;  // 8 or 4 bytes
    uint64_t valid_regs;   // bit n: register n holds a value
    // Set when the pc is the interrupted instruction itself (the thread's own
    // state, or a frame interrupted by a signal); clear when it is a return
    // address, whose call may be the last instruction of its function, so the
    // readers look up pc - 1 instead.
    bool pc_exact;
    struct {
        uint32_t flavor;
        uint32_t count;
        union {
            arm_thread_state64 arm64;
            arm_thread_state32 arm32;
            x86_thread_state64 x86_64;
        };
    } ts;
};

// A signal's register block (`uc_mcontext`), or the saved context of a
// thread stopped by the thread stand-ins, becomes a full thread state of the
// machine's own flavour with every register valid.
void thread_state_init_from_mcontext(thread_state *state, const mcontext_t *mcontext);

// The registers of a thread stopped with the thread stand-in's
// thread_suspend; ASYNC_EINTERNAL when they cannot be had.
async_error thread_state_init_from_thread(thread_state *state, platform::system::thread_t thread);

// Saves the caller's registers as they are at the call (pc = the return
// address into the caller) and hands them to `callback`; returns its result.
using thread_state_capture_callback = async_error (*)(thread_state *state, void *context);
async_error thread_state_current_capture(thread_state_capture_callback callback,
                                         void *context) asm("ovcrash_thread_state_current_capture");

// Inline: every step of a stack walk makes these.
inline void thread_state_copy(thread_state *dest, const thread_state *source) { *dest = *source; }
inline void thread_state_clear_all_registers(thread_state *state) { state->valid_regs = 0; }
inline bool thread_state_has_register(const thread_state *state, uint32_t regnum) {
    return regnum < 64 && (state->valid_regs & (1ull << regnum)) != 0;
}
inline void thread_state_clear_register(thread_state *state, uint32_t regnum) {
    if (regnum < 64) state->valid_regs &= ~(1ull << regnum);
}
inline uint32_t thread_state_stack_direction(const thread_state *state) { return state->stack_direction; }
inline size_t thread_state_register_size(const thread_state *state) { return state->register_size; }

// A number outside the flavour's range is a programming error and traps;
// readers of unwind data check it with thread_state_register_count first.
// The 64-bit registers of the 64-bit flavours are reached inline (every step
// of a stack walk reads and sets a few); the rest through the slot tables.
uint64_t thread_state_get_register_slot(const thread_state *state, uint32_t regnum);
void thread_state_set_register_slot(thread_state *state, uint32_t regnum, uint64_t value);

namespace thread_state_tables {
// Index of each register number's word in the 64-bit flavours' blocks.
inline constexpr uint8_t kX86_64[X86_64_REGISTER_COUNT] = {16, 6, 7,  0,  1,  2,  3,  4,  5,
                                                           8,  9, 10, 11, 12, 13, 14, 15, 17};
inline constexpr uint8_t kArm64[ARM64_REG_CPSR] = {32, 29, 31, 0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,
                                                   14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 30};

inline uint64_t *word(thread_state *state, uint32_t regnum) {
    if (state->ts.flavor == X86_THREAD_STATE64 && regnum < X86_64_REGISTER_COUNT)
        return &reinterpret_cast<uint64_t *>(&state->ts.x86_64)[kX86_64[regnum]];
    if (state->ts.flavor == ARM_THREAD_STATE64 && regnum < ARM64_REG_CPSR)
        return &reinterpret_cast<uint64_t *>(&state->ts.arm64)[kArm64[regnum]];
    return nullptr;
}
}  // namespace thread_state_tables

inline uint64_t thread_state_get_register(const thread_state *state, uint32_t regnum) {
    if (const uint64_t *w = thread_state_tables::word(const_cast<thread_state *>(state), regnum)) return *w;
    return thread_state_get_register_slot(state, regnum);
}

inline void thread_state_set_register(thread_state *state, uint32_t regnum, uint64_t value) {
    if (uint64_t *w = thread_state_tables::word(state, regnum)) {
        *w = value;
        state->valid_regs |= 1ull << regnum;
        return;
    }
    thread_state_set_register_slot(state, regnum, value);
}
uint32_t thread_state_register_count(const thread_state *state);
const char *thread_state_register_name(const thread_state *state, uint32_t regnum);

namespace thread_state_tables {
// Registers a callee keeps for its caller.
inline constexpr uint64_t kArm64Preserved = (0x3ffull << 22) | (1ull << REG_FP);                   // x19-x28, fp
inline constexpr uint64_t kArm32Preserved = (1ull << 7) | (1ull << 8) | (1ull << 9) | (1ull << 1)  // r4-r7
                                            | (1ull << 10) | (1ull << 12) | (1ull << 13);          // r8, r10, r11
inline constexpr uint64_t kX86_64Preserved = (1ull << REG_FP) | (1ull << X86_64_REG_RBX)           // rbp, rbx
                                             | (0xfull << (X86_64_REG_R8 + 4));                    // r12-r15

// DWARF register number -> system register number, per flavour.
inline constexpr uint8_t kNone = 0xff;
inline constexpr uint8_t kArm64Dwarf[] = {3,  4,  5,  6,  7,  8,  9,  10,     11,           12,    13,
                                          14, 15, 16, 17, 18, 19, 20, 21,     22,           23,    24,
                                          25, 26, 27, 28, 29, 30, 31, REG_FP, ARM64_REG_LR, REG_SP};
inline constexpr uint8_t kArm32Dwarf[] = {3,     4, 5, 6, 7, 8, 9, REG_FP, 10, 11, 12, 13, 14, REG_SP, ARM32_REG_LR,
                                          REG_IP};
inline constexpr uint8_t kX86_64Dwarf[] = {X86_64_REG_RAX,
                                           X86_64_REG_RDX,
                                           X86_64_REG_RCX,
                                           X86_64_REG_RBX,
                                           X86_64_REG_RSI,
                                           X86_64_REG_RDI,
                                           REG_FP,
                                           REG_SP,
                                           9,
                                           10,
                                           11,
                                           12,
                                           13,
                                           14,
                                           15,
                                           16};
}  // namespace thread_state_tables

// Keeps only the registers a callee preserves for its caller.
inline void thread_state_clear_volatile_registers(thread_state *state) {
    using namespace thread_state_tables;
    switch (state->ts.flavor) {
    case ARM_THREAD_STATE64: state->valid_regs &= kArm64Preserved; break;
    case X86_THREAD_STATE64: state->valid_regs &= kX86_64Preserved; break;
    default: state->valid_regs &= kArm32Preserved; break;
    }
}

// The flavour's register for a DWARF register number; false when it has none.
inline bool thread_state_map_dwarf_register(const thread_state *state, uint64_t dwarf_reg, uint32_t *regnum) {
    using namespace thread_state_tables;
    const uint8_t *table;
    size_t count;
    switch (state->ts.flavor) {
    case ARM_THREAD_STATE64:
        table = kArm64Dwarf;
        count = sizeof(kArm64Dwarf);
        break;
    case X86_THREAD_STATE64:
        table = kX86_64Dwarf;
        count = sizeof(kX86_64Dwarf);
        break;
    default:
        table = kArm32Dwarf;
        count = sizeof(kArm32Dwarf);
        break;
    }
    if (dwarf_reg >= count || table[dwarf_reg] == kNone) return false;
    *regnum = table[dwarf_reg];
    return true;
}

}  // namespace ovcrash
