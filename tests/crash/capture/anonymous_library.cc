// A library without a build-id, built twice with the same layout: the same
// headers, the same places for its functions, but other names and another
// frame for the crashing one (so other unwind rules). Only the file loaded
// tells the two builds apart.
#ifndef QM_LIBRARY_VARIANT
#define QM_LIBRARY_VARIANT 1
#endif
#if QM_LIBRARY_VARIANT == 1
#define QM_VARIANT_CRASH variant1_crash
#define QM_VARIANT_FRAME 4
#else
#define QM_VARIANT_CRASH variant2_crash
#define QM_VARIANT_FRAME 20
#endif

namespace {
int* volatile nowhere = nullptr;
}

// Faults inside a frame of its own without a frame pointer: only its unwind
// tables lead back to its caller.
// The fault is the point: the sanitizers must not stop it first.
extern "C" [[gnu::noinline, gnu::optimize("omit-frame-pointer"), gnu::no_sanitize("undefined", "address")]]
int QM_VARIANT_CRASH(int x) {
    volatile int pad[QM_VARIANT_FRAME];
    pad[x & 3] = x;
    *nowhere = pad[0];
    return pad[1];
}
