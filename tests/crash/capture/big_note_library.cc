// A library whose build-id note comes after a note of 1 KiB in the same note
// segment, as a product's own notes (a version stamp, a package note) may
// come first. Linked without the linker's build-id; this one is its own.
asm(R"(
    .pushsection .note.big,"a",@note
    .balign 4
    .long 4, 1024, 0x51
    .asciz "Pad"
    .fill 1024, 1, 0x5a
    .long 4, 20, 3
    .asciz "GNU"
    .byte 0x51, 0x4e, 0x7a, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77
    .byte 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01, 0x02
    .popsection
)");

extern "C" [[gnu::noinline]] int big_note_library_work(int x) { return x * 3 + 1; }
