// Async-signal-safe: raw system calls into the caller's buffers and a small
// stack, no allocation, no lock, bounded loops.
#include "platform/system/LoadedElfFile.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>

namespace platform::system {

namespace {

constexpr uint32_t kMaxSections = 4096;
constexpr uint32_t kChunk = 32;

bool readAt(int fd, uint64_t offset, void* out, uint64_t size) {
    auto* p = static_cast<uint8_t*>(out);
    while (size > 0) {
        const long got = ::syscall(SYS_pread64, fd, p, size, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        offset += uint64_t(got);
        size -= uint64_t(got);
    }
    return true;
}

bool readFileNotes(const void* context, uint64_t offset, void* out, uint64_t size) {
    const auto* at = static_cast<const uint64_t*>(context);  // the descriptor, then the notes' offset
    return readAt(int(at[0]), at[1] + offset, out, size);
}

// Whether the opened file is the one loaded.
bool isLoadedFile(int fd, const loaded_elf& elf, const Elf64_Ehdr& eh) {
    if (elf.has_uuid) {
        if (eh.e_phentsize != sizeof(Elf64_Phdr) || eh.e_phnum > kLoadedElfMaxHeaders) return false;
        for (uint32_t i = 0; i < eh.e_phnum; ++i) {
            Elf64_Phdr ph;
            if (!readAt(fd, eh.e_phoff + uint64_t{i} * sizeof ph, &ph, sizeof ph)) return false;
            if (ph.p_type != PT_NOTE) continue;
            const uint64_t context[2] = {uint64_t(fd), ph.p_offset};
            uint8_t uuid[16];
            if (elf_build_id_note(readFileNotes, context, ph.p_filesz, uuid, nullptr, nullptr))
                return __builtin_memcmp(uuid, elf.uuid, 16) == 0;
        }
        return false;
    }
    struct stat st;
    if (!elf.has_file || ::syscall(SYS_fstat, fd, &st) != 0) return false;
    return uint64_t(st.st_dev) == elf.file_device && uint64_t(st.st_ino) == elf.file_inode &&
           uint64_t(st.st_size) == elf.file_size &&
           int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec == elf.file_mtime_ns;
}

bool named(int fd, const Elf64_Shdr& names, uint32_t name, const char* wanted, uint32_t length) {
    char got[16];
    return length + 1 <= sizeof got && name < names.sh_size && length + 1 <= names.sh_size - name &&
           readAt(fd, names.sh_offset + name, got, length + 1) && __builtin_memcmp(got, wanted, length + 1) == 0;
}

}  // namespace

bool loaded_elf_file_open(const loaded_elf& elf, const char* path, loaded_elf_file* out) {
    *out = loaded_elf_file{};
    if (!path || path[0] != '/') return false;
    const int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd < 0) return false;
    out->fd = fd;
    Elf64_Ehdr eh;
    struct stat st;
    if (::syscall(SYS_fstat, fd, &st) != 0 || !S_ISREG(st.st_mode) || !readAt(fd, 0, &eh, sizeof eh) ||
        __builtin_memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        !isLoadedFile(fd, elf, eh) || eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum == 0 ||
        eh.e_shnum > kMaxSections || eh.e_shstrndx >= eh.e_shnum) {
        loaded_elf_file_close(out);
        return false;
    }
    Elf64_Shdr names;
    if (!readAt(fd, eh.e_shoff + uint64_t{eh.e_shstrndx} * sizeof names, &names, sizeof names)) {
        loaded_elf_file_close(out);
        return false;
    }
    uint32_t strtabIndex = 0;
    Elf64_Shdr sh[kChunk];
    for (uint32_t at = 0; at < eh.e_shnum; at += kChunk) {
        const uint32_t n = eh.e_shnum - at < kChunk ? eh.e_shnum - at : kChunk;
        if (!readAt(fd, eh.e_shoff + uint64_t{at} * sizeof(Elf64_Shdr), sh, n * sizeof(Elf64_Shdr))) break;
        for (uint32_t i = 0; i < n; ++i) {
            if (sh[i].sh_type == SHT_PROGBITS && out->eh_frame == 0 &&
                named(fd, names, sh[i].sh_name, ".eh_frame", 9)) {
                out->eh_frame = sh[i].sh_addr;
                out->eh_frame_size = sh[i].sh_size;
            }
            if (sh[i].sh_type == SHT_SYMTAB && sh[i].sh_entsize == sizeof(Elf64_Sym) && out->symtab_count == 0 &&
                sh[i].sh_link < eh.e_shnum) {
                out->symtab_offset = sh[i].sh_offset;
                out->symtab_count = sh[i].sh_size / sizeof(Elf64_Sym);
                strtabIndex = sh[i].sh_link;
            }
        }
    }
    Elf64_Shdr strings;
    if (out->symtab_count > 0 &&
        (!readAt(fd, eh.e_shoff + uint64_t{strtabIndex} * sizeof strings, &strings, sizeof strings) ||
         strings.sh_type != SHT_STRTAB)) {
        out->symtab_count = 0;
    } else if (out->symtab_count > 0) {
        out->strtab_offset = strings.sh_offset;
        out->strtab_size = strings.sh_size;
    }
    // Sizes the file cannot hold are not its own.
    const uint64_t fileSize = uint64_t(st.st_size);
    if (out->symtab_offset > fileSize || out->symtab_count > (fileSize - out->symtab_offset) / sizeof(Elf64_Sym) ||
        out->strtab_offset > fileSize || out->strtab_size > fileSize - out->strtab_offset)
        out->symtab_count = 0;
    return true;
}

void loaded_elf_file_close(loaded_elf_file* file) {
    if (file->fd >= 0) ::syscall(SYS_close, file->fd);
    file->fd = -1;
}

bool loaded_elf_file_read(const loaded_elf_file& file, uint64_t offset, void* out, uint64_t size) {
    return file.fd >= 0 && readAt(file.fd, offset, out, size);
}

}  // namespace platform::system
