#pragma once
// Crash-time code: no allocation, no lock, only async-signal-safe calls.
//
// The DWARF expression machine of the call-frame reader: evaluates the
// blocks of DW_CFA_def_cfa_expression, DW_CFA_expression and
// DW_CFA_val_expression on a fixed stack of 100 machine words.
#include <cstddef>
#include <cstdint>

#include "crash/capture/unwind/DwarfFrameInfo.h"
#include "crash/capture/unwind/ThreadState.h"

namespace ovcrash::PKR::async {

constexpr size_t kDwarfExpressionStackSize = 100;
// The most operations one evaluation runs: jumps backwards cannot loop for ever.
constexpr size_t kDwarfExpressionMaxSteps = 10000;

// Evaluates the `length` bytes at section offset `offset`, with `initial`
// pushed first; registers come from `state`, memory from `task`. Words are
// 8 bytes wide, or 4 when `is64` is false.
async_error async_dwarf_expression_eval(const dwarf_section *section, task_t task, const thread_state *state, bool is64,
                                        uint64_t offset, uint64_t length, const uint64_t *initial, size_t initial_count,
                                        uint64_t *result);

}  // namespace ovcrash::PKR::async
