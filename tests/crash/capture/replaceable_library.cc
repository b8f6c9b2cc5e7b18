// A small library the crash and image-list tests open, close behind the
// loader's back and replace on disk. Built twice: the second build
// (QM_LIBRARY_VERSION 2) has the same layout, other names and so another
// build-id, and lands where the first one was when loaded after it.
#ifndef QM_LIBRARY_VERSION
#define QM_LIBRARY_VERSION 1
#endif
#define QM_LIBRARY_JOIN2(a, b, c) a##b##c
#define QM_LIBRARY_JOIN(a, b, c) QM_LIBRARY_JOIN2(a, b, c)
#define QM_LIBRARY_WORK QM_LIBRARY_JOIN(library_version, QM_LIBRARY_VERSION, _work)
#define QM_LIBRARY_CRASH QM_LIBRARY_JOIN(library_version, QM_LIBRARY_VERSION, _crash)

namespace {
volatile int sink;
int* volatile nowhere = nullptr;
}

// A frame of its own, with work after its call, so that unwinding from it
// needs its unwind tables.
extern "C" [[gnu::noinline]] int QM_LIBRARY_WORK(int x) {
    volatile int pad[8];
    pad[x & 7] = x;
    sink = pad[0] + QM_LIBRARY_VERSION;
    return sink + pad[1];
}

// Faults inside a frame of its own without a frame pointer: only its unwind
// tables lead back to its caller.
// The fault is the point: the sanitizers must not stop it first.
extern "C" [[gnu::noinline, gnu::optimize("omit-frame-pointer"), gnu::no_sanitize("undefined", "address")]]
int QM_LIBRARY_CRASH(int x) {
    volatile int pad[8];
    pad[x & 7] = x;
    *nowhere = pad[0] + QM_LIBRARY_VERSION;
    return pad[1];
}
