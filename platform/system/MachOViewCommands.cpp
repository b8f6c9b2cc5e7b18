// Async-signal-safe: plain stores into the caller's buffer.
#include "platform/system/MachOViewCommands.h"

#include "platform/system/Host.h"
#include "platform/system/MachO.h"

namespace platform::system {

namespace {

void setName(char (&field)[16], const char* name) {
    size_t i = 0;
    for (; i < sizeof field && name[i]; ++i) field[i] = name[i];
    for (; i < sizeof field; ++i) field[i] = '\0';
}

template <typename T>
void put(uint8_t*& out, const T& value) {
    __builtin_memcpy(out, &value, sizeof value);
    out += sizeof value;
}

size_t commandsSize(const macho_view_layout& layout) {
    size_t size = sizeof(segment_command_64) + layout.nsects * sizeof(section_64);
    if (layout.has_symtab) size += sizeof(segment_command_64) + sizeof(symtab_command);
    if (layout.has_uuid) size += sizeof(uuid_command);
    return size;
}

}  // namespace

size_t macho_view_commands_size(const macho_view_layout& layout) {
    return sizeof(mach_header_64) + commandsSize(layout);
}

bool macho_view_write_commands(const macho_view_layout& layout, uint8_t* out, size_t capacity) {
    if (capacity < macho_view_commands_size(layout)) return false;

    mach_header_64 header{};
    header.magic = MH_MAGIC_64;
    header.cputype = host_cpu_type();
    header.cpusubtype = host_cpu_subtype();
    header.filetype = layout.filetype;
    header.ncmds = 1 + (layout.has_symtab ? 2 : 0) + (layout.has_uuid ? 1 : 0);
    header.sizeofcmds = static_cast<uint32_t>(commandsSize(layout));
    put(out, header);

    segment_command_64 text{};
    text.cmd = LC_SEGMENT_64;
    text.cmdsize = static_cast<uint32_t>(sizeof text + layout.nsects * sizeof(section_64));
    setName(text.segname, "__TEXT");
    text.vmaddr = layout.base;
    text.vmsize = layout.text_size;
    text.filesize = layout.text_size;
    text.maxprot = text.initprot = VM_PROT_READ | VM_PROT_EXECUTE;
    text.nsects = layout.nsects;
    put(out, text);
    for (uint32_t i = 0; i < layout.nsects; ++i) {
        section_64 s{};
        setName(s.sectname, layout.sections[i].name);
        setName(s.segname, "__TEXT");
        s.addr = layout.sections[i].addr;
        s.size = layout.sections[i].size;
        s.offset = static_cast<uint32_t>(layout.sections[i].addr - layout.base);
        put(out, s);
    }

    if (layout.has_symtab) {
        segment_command_64 linkedit{};
        linkedit.cmd = LC_SEGMENT_64;
        linkedit.cmdsize = sizeof linkedit;
        setName(linkedit.segname, "__LINKEDIT");
        linkedit.vmaddr = layout.linkedit_vmaddr;
        linkedit.vmsize = layout.linkedit_size;
        linkedit.fileoff = layout.linkedit_fileoff;
        linkedit.filesize = layout.linkedit_size;
        linkedit.maxprot = linkedit.initprot = VM_PROT_READ;
        put(out, linkedit);
    }
    if (layout.has_uuid) {
        uuid_command uuid{};
        uuid.cmd = LC_UUID;
        uuid.cmdsize = sizeof uuid;
        __builtin_memcpy(uuid.uuid, layout.uuid, 16);
        put(out, uuid);
    }
    if (layout.has_symtab) {
        symtab_command symtab{};
        symtab.cmd = LC_SYMTAB;
        symtab.cmdsize = sizeof symtab;
        symtab.symoff = static_cast<uint32_t>(layout.linkedit_fileoff);
        symtab.nsyms = layout.nsyms;
        symtab.stroff = static_cast<uint32_t>(layout.linkedit_fileoff + uint64_t{layout.nsyms} * sizeof(nlist_64));
        symtab.strsize = layout.strsize;
        put(out, symtab);
    }
    return true;
}

}  // namespace platform::system
