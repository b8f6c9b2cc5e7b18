// A library whose last segment is linked 4 TiB past its first: the linker
// reserves the range between (no memory is committed for it), and once the
// library is closed that vast range is empty.
extern "C" {
[[gnu::section(".vast_far"), gnu::used]] char vast_library_far[4096] = {1};

[[gnu::noinline]] int vast_library_work(int x) { return x + vast_library_far[0]; }
}
