// A library that only the crash driver's "opened-library" children open, with
// a plain dlopen after the reporter started: the loader never heard of it.
namespace {
int* volatile nowhere = nullptr;
}

// Faults inside a frame of its own without a frame pointer: only its unwind
// tables lead back to its caller.
// The fault is the point: the sanitizers must not stop it first.
extern "C" [[gnu::noinline, gnu::optimize("omit-frame-pointer"), gnu::no_sanitize("undefined", "address")]]
int opened_library_crash(int x) {
    volatile int pad[24];
    pad[x % 24] = x;
    *nowhere = pad[0];
    return pad[1];
}
