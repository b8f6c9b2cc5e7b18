// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/unwind/ThreadState.h"

#include <cstddef>

namespace ovcrash {
namespace {

// Where each register of a flavour lives in the register block.
struct register_slot {
    uint16_t offset;
    uint8_t width;
    const char *name;
};

#define ARM64_SLOT(field, name) \
    { offsetof(arm_thread_state64, field), sizeof(arm_thread_state64::field), name }
constexpr register_slot kArm64Slots[ARM64_REGISTER_COUNT] = {
    ARM64_SLOT(pc, "pc"),     ARM64_SLOT(fp, "fp"),     ARM64_SLOT(sp, "sp"),     ARM64_SLOT(x[0], "x0"),
    ARM64_SLOT(x[1], "x1"),   ARM64_SLOT(x[2], "x2"),   ARM64_SLOT(x[3], "x3"),   ARM64_SLOT(x[4], "x4"),
    ARM64_SLOT(x[5], "x5"),   ARM64_SLOT(x[6], "x6"),   ARM64_SLOT(x[7], "x7"),   ARM64_SLOT(x[8], "x8"),
    ARM64_SLOT(x[9], "x9"),   ARM64_SLOT(x[10], "x10"), ARM64_SLOT(x[11], "x11"), ARM64_SLOT(x[12], "x12"),
    ARM64_SLOT(x[13], "x13"), ARM64_SLOT(x[14], "x14"), ARM64_SLOT(x[15], "x15"), ARM64_SLOT(x[16], "x16"),
    ARM64_SLOT(x[17], "x17"), ARM64_SLOT(x[18], "x18"), ARM64_SLOT(x[19], "x19"), ARM64_SLOT(x[20], "x20"),
    ARM64_SLOT(x[21], "x21"), ARM64_SLOT(x[22], "x22"), ARM64_SLOT(x[23], "x23"), ARM64_SLOT(x[24], "x24"),
    ARM64_SLOT(x[25], "x25"), ARM64_SLOT(x[26], "x26"), ARM64_SLOT(x[27], "x27"), ARM64_SLOT(x[28], "x28"),
    ARM64_SLOT(lr, "lr"),     ARM64_SLOT(cpsr, "cpsr"),
};
#undef ARM64_SLOT

#define ARM32_SLOT(field, name) \
    { offsetof(arm_thread_state32, field), 4, name }
constexpr register_slot kArm32Slots[ARM32_REGISTER_COUNT] = {
    ARM32_SLOT(pc, "pc"),     ARM32_SLOT(r[7], "r7"),   ARM32_SLOT(sp, "sp"),     ARM32_SLOT(r[0], "r0"),
    ARM32_SLOT(r[1], "r1"),   ARM32_SLOT(r[2], "r2"),   ARM32_SLOT(r[3], "r3"),   ARM32_SLOT(r[4], "r4"),
    ARM32_SLOT(r[5], "r5"),   ARM32_SLOT(r[6], "r6"),   ARM32_SLOT(r[8], "r8"),   ARM32_SLOT(r[9], "r9"),
    ARM32_SLOT(r[10], "r10"), ARM32_SLOT(r[11], "r11"), ARM32_SLOT(r[12], "r12"), ARM32_SLOT(lr, "lr"),
    ARM32_SLOT(cpsr, "cpsr"),
};
#undef ARM32_SLOT

#define X86_SLOT(field) \
    { offsetof(x86_thread_state64, field), 8, #field }
constexpr register_slot kX86_64Slots[X86_64_REGISTER_COUNT] = {
    X86_SLOT(rip), X86_SLOT(rbp), X86_SLOT(rsp), X86_SLOT(rax), X86_SLOT(rbx), X86_SLOT(rcx),
    X86_SLOT(rdx), X86_SLOT(rdi), X86_SLOT(rsi), X86_SLOT(r8),  X86_SLOT(r9),  X86_SLOT(r10),
    X86_SLOT(r11), X86_SLOT(r12), X86_SLOT(r13), X86_SLOT(r14), X86_SLOT(r15), X86_SLOT(rflags),
};
#undef X86_SLOT

// The header's inline word tables must agree with the slots.
constexpr bool words_match() {
    for (uint32_t i = 0; i < X86_64_REGISTER_COUNT; i++)
        if (kX86_64Slots[i].offset != thread_state_tables::kX86_64[i] * 8u || kX86_64Slots[i].width != 8) return false;
    for (uint32_t i = 0; i < ARM64_REG_CPSR; i++)
        if (kArm64Slots[i].offset != thread_state_tables::kArm64[i] * 8u || kArm64Slots[i].width != 8) return false;
    return true;
}
static_assert(words_match());

const register_slot *slots_of(const thread_state *state, uint32_t *count) {
    switch (state->ts.flavor) {
    case ARM_THREAD_STATE64: *count = ARM64_REGISTER_COUNT; return kArm64Slots;
    case X86_THREAD_STATE64: *count = X86_64_REGISTER_COUNT; return kX86_64Slots;
    default: *count = ARM32_REGISTER_COUNT; return kArm32Slots;
    }
}

const register_slot &slot_of(const thread_state *state, uint32_t regnum) {
    uint32_t count;
    const register_slot *slots = slots_of(state, &count);
    if (regnum >= count) __builtin_trap();
    return slots[regnum];
}

void zero(void *p, size_t n) {
    auto *b = static_cast<volatile uint8_t *>(p);
    for (size_t i = 0; i < n; i++) b[i] = 0;
}

}  // namespace

void thread_state_init_from_mcontext(thread_state *state, const mcontext_t *mc) {
    zero(state, sizeof(*state));
    state->stack_direction = STACK_DIRECTION_DOWN;
    state->valid_regs = ~0ull;
    state->pc_exact = true;
#if defined(__x86_64__)
    state->ts.flavor = X86_THREAD_STATE64;
    state->ts.count = X86_THREAD_STATE64_COUNT;
    state->register_size = 8;
    x86_thread_state64 &r = state->ts.x86_64;
    const greg_t *g = mc->gregs;
    r.rax = g[REG_RAX];
    r.rbx = g[REG_RBX];
    r.rcx = g[REG_RCX];
    r.rdx = g[REG_RDX];
    r.rdi = g[REG_RDI];
    r.rsi = g[REG_RSI];
    r.rbp = g[REG_RBP];
    r.rsp = g[REG_RSP];
    r.r8 = g[REG_R8];
    r.r9 = g[REG_R9];
    r.r10 = g[REG_R10];
    r.r11 = g[REG_R11];
    r.r12 = g[REG_R12];
    r.r13 = g[REG_R13];
    r.r14 = g[REG_R14];
    r.r15 = g[REG_R15];
    r.rip = g[REG_RIP];
    r.rflags = g[REG_EFL];
    // cs, gs and fs share one word, 16 bits each from the bottom.
    uint64_t segments = static_cast<uint64_t>(g[REG_CSGSFS]);
    r.cs = segments & 0xffff;
    r.gs = (segments >> 16) & 0xffff;
    r.fs = (segments >> 32) & 0xffff;
#elif defined(__aarch64__)
    state->ts.flavor = ARM_THREAD_STATE64;
    state->ts.count = ARM_THREAD_STATE64_COUNT;
    state->register_size = 8;
    arm_thread_state64 &r = state->ts.arm64;
    for (int i = 0; i < 29; i++) r.x[i] = mc->regs[i];
    r.fp = mc->regs[29];
    r.lr = mc->regs[30];
    r.sp = mc->sp;
    r.pc = mc->pc;
    r.cpsr = static_cast<uint32_t>(mc->pstate);
#elif defined(__arm__)
    state->ts.flavor = ARM_THREAD_STATE32;
    state->ts.count = ARM_THREAD_STATE32_COUNT;
    state->register_size = 4;
    arm_thread_state32 &r = state->ts.arm32;
    const unsigned long *g = &mc->arm_r0;  // r0-r10, fp, ip, sp, lr, pc, cpsr in order
    for (int i = 0; i < 13; i++) r.r[i] = g[i];
    r.sp = mc->arm_sp;
    r.lr = mc->arm_lr;
    r.pc = mc->arm_pc;
    r.cpsr = mc->arm_cpsr;
#else
#error "no thread state for this architecture"
#endif
}

async_error thread_state_init_from_thread(thread_state *state, platform::system::thread_t thread) {
    mcontext_t mc;
    if (platform::system::thread_get_state(thread, &mc) != platform::system::KERN_SUCCESS) return ASYNC_EINTERNAL;
    thread_state_init_from_mcontext(state, &mc);
    return ASYNC_ESUCCESS;
}

uint64_t thread_state_get_register_slot(const thread_state *state, uint32_t regnum) {
    const register_slot &slot = slot_of(state, regnum);
    const auto *block = reinterpret_cast<const uint8_t *>(&state->ts.arm64);
    if (slot.width == 8) return *reinterpret_cast<const uint64_t *>(block + slot.offset);
    return *reinterpret_cast<const uint32_t *>(block + slot.offset);
}

void thread_state_set_register_slot(thread_state *state, uint32_t regnum, uint64_t value) {
    const register_slot &slot = slot_of(state, regnum);
    auto *block = reinterpret_cast<uint8_t *>(&state->ts.arm64);
    if (slot.width == 8)
        *reinterpret_cast<uint64_t *>(block + slot.offset) = value;
    else
        *reinterpret_cast<uint32_t *>(block + slot.offset) = static_cast<uint32_t>(value);
    state->valid_regs |= 1ull << regnum;
}

uint32_t thread_state_register_count(const thread_state *state) {
    uint32_t count;
    slots_of(state, &count);
    return count;
}

const char *thread_state_register_name(const thread_state *state, uint32_t regnum) {
    return slot_of(state, regnum).name;
}

}  // namespace ovcrash

// thread_state_current_capture: the entry stub saves every general register
// as it is at the call, in the order of the machine context's register
// block, then hands the block to the function below, which builds the
// thread state and runs the callback.
extern "C" __attribute__((visibility("hidden"), used)) ovcrash::async_error ovcrash_thread_state_capture_finish(
    ovcrash::thread_state_capture_callback callback, void *context, const uint64_t *registers) {
    mcontext_t mc;
    ovcrash::zero(&mc, sizeof(mc));
#if defined(__x86_64__)
    for (int i = 0; i < NGREG; i++) mc.gregs[i] = static_cast<greg_t>(registers[i]);
#elif defined(__aarch64__)
    for (int i = 0; i < 31; i++) mc.regs[i] = registers[i];
    mc.sp = registers[31];
    mc.pc = registers[32];
    mc.pstate = registers[33];
#endif
    ovcrash::thread_state state;
    ovcrash::thread_state_init_from_mcontext(&state, &mc);
    // The pc is the return address of this call, not an interrupted instruction.
    state.pc_exact = false;
    return callback(&state, context);
}

#if defined(__x86_64__)
static_assert(NGREG == 23 && REG_RSP == 15 && REG_RIP == 16 && REG_EFL == 17);
asm(R"(
    .text
    .globl ovcrash_thread_state_current_capture
    .type ovcrash_thread_state_current_capture, @function
    .p2align 4
ovcrash_thread_state_current_capture:
    .cfi_startproc
    subq $200, %rsp
    .cfi_adjust_cfa_offset 200
    movq %r8, 0(%rsp)
    movq %r9, 8(%rsp)
    movq %r10, 16(%rsp)
    movq %r11, 24(%rsp)
    movq %r12, 32(%rsp)
    movq %r13, 40(%rsp)
    movq %r14, 48(%rsp)
    movq %r15, 56(%rsp)
    movq %rdi, 64(%rsp)
    movq %rsi, 72(%rsp)
    movq %rbp, 80(%rsp)
    movq %rbx, 88(%rsp)
    movq %rdx, 96(%rsp)
    movq %rax, 104(%rsp)
    movq %rcx, 112(%rsp)
    leaq 208(%rsp), %rax
    movq %rax, 120(%rsp)
    movq 200(%rsp), %rax
    movq %rax, 128(%rsp)
    movq $0, 136(%rsp)
    movq $0, 144(%rsp)
    movq $0, 152(%rsp)
    movq $0, 160(%rsp)
    movq $0, 168(%rsp)
    movq $0, 176(%rsp)
    movq %rsp, %rdx
    call ovcrash_thread_state_capture_finish
    addq $200, %rsp
    .cfi_adjust_cfa_offset -200
    ret
    .cfi_endproc
    .size ovcrash_thread_state_current_capture, .-ovcrash_thread_state_current_capture
)");
#elif defined(__aarch64__)
asm(R"(
    .text
    .globl ovcrash_thread_state_current_capture
    .type ovcrash_thread_state_current_capture, %function
    .p2align 2
ovcrash_thread_state_current_capture:
    .cfi_startproc
    sub sp, sp, #288
    .cfi_def_cfa_offset 288
    stp x0, x1, [sp, #0]
    stp x2, x3, [sp, #16]
    stp x4, x5, [sp, #32]
    stp x6, x7, [sp, #48]
    stp x8, x9, [sp, #64]
    stp x10, x11, [sp, #80]
    stp x12, x13, [sp, #96]
    stp x14, x15, [sp, #112]
    stp x16, x17, [sp, #128]
    stp x18, x19, [sp, #144]
    stp x20, x21, [sp, #160]
    stp x22, x23, [sp, #176]
    stp x24, x25, [sp, #192]
    stp x26, x27, [sp, #208]
    stp x28, x29, [sp, #224]
    str x30, [sp, #240]
    add x9, sp, #288
    str x9, [sp, #248]
    str x30, [sp, #256]
    str xzr, [sp, #264]
    stp x29, x30, [sp, #272]
    .cfi_offset x29, -16
    .cfi_offset x30, -8
    add x29, sp, #272
    mov x2, sp
    bl ovcrash_thread_state_capture_finish
    ldp x29, x30, [sp, #272]
    add sp, sp, #288
    .cfi_def_cfa_offset 0
    .cfi_restore x29
    .cfi_restore x30
    ret
    .cfi_endproc
    .size ovcrash_thread_state_current_capture, .-ovcrash_thread_state_current_capture
)");
#else
extern "C" ovcrash::async_error ovcrash_thread_state_current_capture(ovcrash::thread_state_capture_callback, void *) {
    return ovcrash::ASYNC_ENOTSUP;
}
#endif
