// Takes the section headers out of an ELF file in place (their offset,
// count and names' index in its header set to zero), as some packers and
// strippers leave a library: what loads it needs only its program headers.
//
// drop_section_headers <file>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <elf-file>\n", argv[0]);
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
    Elf64_Ehdr eh;
    if (fd < 0 || pread(fd, &eh, sizeof eh, 0) != ssize_t(sizeof eh) || memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS64) {
        fprintf(stderr, "%s: not a 64-bit ELF file\n", argv[1]);
        return 1;
    }
    eh.e_shoff = 0;
    eh.e_shnum = 0;
    eh.e_shstrndx = SHN_UNDEF;
    if (pwrite(fd, &eh, sizeof eh, 0) != ssize_t(sizeof eh) || close(fd) != 0) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
