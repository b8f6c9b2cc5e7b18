// A library the crash driver opens either before the crash reporter hears of
// it or behind its back, built four ways: plain, without .eh_frame_hdr, with
// its first segment linked away from its load address, and without section
// headers. The crash lies in a function of its own (not exported) that keeps
// no frame pointer, right after an exported one: only the file's own symbols
// name it, and only its unwind tables lead back to its caller. Without
// section headers the file's own symbols cannot be found: the function is
// exported then, named by the dynamic symbol table alone.
namespace {
int* volatile nowhere = nullptr;
}  // namespace
#if QM_EXPORT_CRASH_HERE
#define QM_CRASH_HERE_BEGIN extern "C" {
#define QM_CRASH_HERE_END }
#else
#define QM_CRASH_HERE_BEGIN namespace {
#define QM_CRASH_HERE_END }
#endif
QM_CRASH_HERE_BEGIN
int crashHere(int x);
QM_CRASH_HERE_END

extern "C" [[gnu::noinline, gnu::optimize("omit-frame-pointer")]] int crash_time_library_enter(int x) {
    volatile int pad[12];
    pad[x % 12] = crashHere(x);
    return pad[3] + 1;
}

QM_CRASH_HERE_BEGIN
// The fault is the point: the sanitizers must not stop it first.
[[gnu::noinline, gnu::optimize("omit-frame-pointer"), gnu::no_sanitize("undefined", "address")]] int crashHere(int x) {
    volatile int pad[24];
    pad[x % 24] = x;
    *nowhere = pad[0];
    return pad[1];
}
QM_CRASH_HERE_END
