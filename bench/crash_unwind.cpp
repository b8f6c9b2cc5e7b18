// Stack walking at crash time, per frame, on one stack of 50 frames: our
// DWARF reader (with its FDE lookup) against libunwind's unw_step and its
// unw_backtrace (the fast peer, which keeps what it learnt of each pc), and
// the frame-pointer reader on a chain of frame records beside a plain walk
// of that chain bounded by the stack's range (the floor for any walker).
// Every walker keeps the rules found for a pc: the recursive stack shows
// that, the stack of distinct functions the cost of telling 50 pcs apart.
#define UNW_LOCAL_ONLY
#include <benchmark/benchmark.h>
#include <libunwind.h>

#include "crash/capture/image/ImageList.h"
#include "crash/capture/unwind/FrameCursor.h"
#include "platform/foundation/ThreadStacks.h"

namespace {

using namespace ovcrash;

constexpr int kDepth = 50;

using Leaf = void (*)(benchmark::State &);

// 50 frames of code built without frame pointers, the leaf running the loop.
__attribute__((noinline, optimize("omit-frame-pointer"))) int deep(int depth, Leaf leaf, benchmark::State &state) {
    if (depth == 0) {
        leaf(state);
        return 0;
    }
    const int below = deep(depth - 1, leaf, state);
    benchmark::DoNotOptimize(below);
    return below + 1;
}

// 50 frames of 50 different functions: no frame can reuse the rules the walk
// found for the frame before, so every step looks its FDE up.
template <int N>
__attribute__((noinline, optimize("omit-frame-pointer"))) int distinct(Leaf leaf, benchmark::State &state) {
    if constexpr (N == 0) {
        leaf(state);
        return 0;
    } else {
        const int below = distinct<N - 1>(leaf, state);
        benchmark::DoNotOptimize(below);
        return below + 1;
    }
}

// The same with a frame record in every frame.
__attribute__((noinline, optimize("no-omit-frame-pointer"))) int chained(int depth, Leaf leaf,
                                                                         benchmark::State &state) {
    if (depth == 0) {
        leaf(state);
        return 0;
    }
    const int below = chained(depth - 1, leaf, state);
    benchmark::DoNotOptimize(below);
    return below + 1;
}

void reportPerFrame(benchmark::State &state, int64_t frames) {
    state.counters["per_frame"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

struct Walk {
    benchmark::State *state;
    const frame_reader *readers;
    size_t count;
};

async_error walkFrames(thread_state *start, void *context) {
    auto *walk = static_cast<Walk *>(context);
    image_list *images = shared_image_list();
    int64_t frames = 0;
    for (auto _ : *walk->state) {
        frame_cursor cursor;
        frame_cursor_init(&cursor, platform::system::mach_task_self(), start, images);
        frame_cursor_next(&cursor, walk->readers, walk->count);
        for (int i = 0; i < kDepth; i++) {
            if (frame_cursor_next(&cursor, walk->readers, walk->count) != FRAME_ESUCCESS) {
                walk->state->SkipWithError("the walk ended early");
                return ASYNC_EUNKNOWN;
            }
        }
        frames += kDepth;
        frame_cursor_free(&cursor);
    }
    reportPerFrame(*walk->state, frames);
    return ASYNC_ESUCCESS;
}

const frame_reader kStandard[] = {compact_unwind_read_frame, dwarf_unwind_read_frame, frame_pointer_read_frame};
const frame_reader kDwarf[] = {dwarf_unwind_read_frame};
const frame_reader kFramePointer[] = {frame_pointer_read_frame};

void dwarfLeaf(benchmark::State &state) {
    Walk walk{&state, kDwarf, 1};
    thread_state_current_capture(walkFrames, &walk);
}

void standardLeaf(benchmark::State &state) {
    Walk walk{&state, kStandard, 3};
    thread_state_current_capture(walkFrames, &walk);
}

void framePointerLeaf(benchmark::State &state) {
    Walk walk{&state, kFramePointer, 1};
    thread_state_current_capture(walkFrames, &walk);
}

void libunwindLeaf(benchmark::State &state) {
    unw_context_t context;
    unw_getcontext(&context);
    int64_t frames = 0;
    for (auto _ : state) {
        unw_cursor_t cursor;
        unw_init_local(&cursor, &context);
        for (int i = 0; i < kDepth; i++) {
            if (unw_step(&cursor) <= 0) {
                state.SkipWithError("the walk ended early");
                return;
            }
        }
        frames += kDepth;
    }
    reportPerFrame(state, frames);
}

void libunwindBacktraceLeaf(benchmark::State &state) {
    void *pcs[kDepth + 8];
    int64_t frames = 0;
    for (auto _ : state) {
        if (unw_backtrace(pcs, kDepth + 1) != kDepth + 1) {
            state.SkipWithError("the walk ended early");
            return;
        }
        benchmark::DoNotOptimize(pcs);
        frames += kDepth;
    }
    reportPerFrame(state, frames);
}

// The chain of frame records followed with nothing but a check that each
// record lies above the last, inside the stack's range.
__attribute__((noinline)) void plainLeaf(benchmark::State &state) {
    const auto top = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) + (1u << 20);
    int64_t frames = 0;
    for (auto _ : state) {
        auto fp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        uintptr_t pcs[kDepth];
        for (int i = 0; i < kDepth; i++) {
            const auto *record = reinterpret_cast<const uintptr_t *>(fp);
            const uintptr_t caller = record[0];
            if (caller <= fp || caller >= top || caller % sizeof(uintptr_t) != 0) {
                state.SkipWithError("the walk ended early");
                return;
            }
            pcs[i] = record[1];
            fp = caller;
        }
        benchmark::DoNotOptimize(pcs);
        frames += kDepth;
    }
    reportPerFrame(state, frames);
}

// As enabling the reporter does: the stack's bounds are known before the walk.
void noteStack() {
    shared_image_list_start();
    platform::foundation::thread_stack_note_current();
}

void BM_DwarfWalk(benchmark::State &state) {
    noteStack();
    deep(kDepth, dwarfLeaf, state);
}
BENCHMARK(BM_DwarfWalk);

// The cursor's own list: compact unwind is tried first and finds no table.
void BM_StandardWalk(benchmark::State &state) {
    noteStack();
    deep(kDepth, standardLeaf, state);
}
BENCHMARK(BM_StandardWalk);

void BM_LibunwindStep(benchmark::State &state) { deep(kDepth, libunwindLeaf, state); }
BENCHMARK(BM_LibunwindStep);

void BM_LibunwindBacktrace(benchmark::State &state) { deep(kDepth, libunwindBacktraceLeaf, state); }
BENCHMARK(BM_LibunwindBacktrace);

void BM_DwarfWalkDistinct(benchmark::State &state) {
    noteStack();
    distinct<kDepth>(dwarfLeaf, state);
}
BENCHMARK(BM_DwarfWalkDistinct);

void BM_LibunwindStepDistinct(benchmark::State &state) { distinct<kDepth>(libunwindLeaf, state); }
BENCHMARK(BM_LibunwindStepDistinct);

void BM_LibunwindBacktraceDistinct(benchmark::State &state) { distinct<kDepth>(libunwindBacktraceLeaf, state); }
BENCHMARK(BM_LibunwindBacktraceDistinct);

void BM_FramePointerWalk(benchmark::State &state) {
    noteStack();
    chained(kDepth, framePointerLeaf, state);
}
BENCHMARK(BM_FramePointerWalk);

void BM_LibunwindBacktraceChained(benchmark::State &state) { chained(kDepth, libunwindBacktraceLeaf, state); }
BENCHMARK(BM_LibunwindBacktraceChained);

void BM_PlainFramePointerWalk(benchmark::State &state) { chained(kDepth, plainLeaf, state); }
BENCHMARK(BM_PlainFramePointerWalk);

}  // namespace
