// A library with 16 GiB of zero-filled data, which no page of is ever
// touched: closed, it leaves that range empty.
extern "C" {
[[gnu::used]] char vast_bss_library_zeros[16ull << 30];

[[gnu::noinline]] int vast_bss_library_work(int x) { return x + vast_bss_library_zeros[x]; }
}
