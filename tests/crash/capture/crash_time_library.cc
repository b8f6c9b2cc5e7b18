// A library the crash driver opens either before the crash reporter hears of
// it or behind its back, built three ways: plain, without .eh_frame_hdr, and
// with its first segment linked away from its load address. The crash lies
// in a function of its own (not exported) that keeps no frame pointer, right
// after an exported one: only the file's own symbols name it, and only its
// unwind tables lead back to its caller.
namespace {
int* volatile nowhere = nullptr;
int crashHere(int x);
}  // namespace

extern "C" [[gnu::noinline, gnu::optimize("omit-frame-pointer")]] int crash_time_library_enter(int x) {
    volatile int pad[12];
    pad[x % 12] = crashHere(x);
    return pad[3] + 1;
}

namespace {
// The fault is the point: the sanitizers must not stop it first.
[[gnu::noinline, gnu::optimize("omit-frame-pointer"), gnu::no_sanitize("undefined", "address")]] int crashHere(int x) {
    volatile int pad[24];
    pad[x % 24] = x;
    *nowhere = pad[0];
    return pad[1];
}
}  // namespace
