#include "platform/system/elf_image.h"

#include "platform/system/file_range.h"

#include <algorithm>
#include <cstring>
#include <elf.h>
#include <sys/stat.h>
#include <vector>

namespace qz::platform {
namespace {

// The entries of a header table, each `entrySize` bytes, read whole.
template <class Entry>
Result<std::vector<Entry>> readTable(int fd, std::uint64_t offset, std::uint16_t count,
                                     std::uint16_t entrySize) {
    std::vector<Entry> entries(count);
    if (count == 0) {
        return entries;
    }
    if (entrySize != sizeof(Entry)) {
        return Failure{"an ELF header table of unexpected entries"};
    }
    if (auto read = readAt(fd, offset, entries.data(), count * sizeof(Entry)); !read) {
        return read.failure();
    }
    return entries;
}

} // namespace

Result<std::uint64_t> elfImageLength(int fd) {
    Elf64_Ehdr header{};
    if (auto read = readAt(fd, 0, &header, sizeof header); !read) {
        return read.failure();
    }
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64) {
        return Failure{"not a 64-bit ELF program"};
    }
    std::uint64_t end = std::max<std::uint64_t>(
        {sizeof header, header.e_phoff + header.e_phnum * sizeof(Elf64_Phdr),
         header.e_shoff + header.e_shnum * sizeof(Elf64_Shdr)});
    struct stat st {};
    if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) < end) {
        return end; // cut short before its own tables end
    }
    const auto segments =
        readTable<Elf64_Phdr>(fd, header.e_phoff, header.e_phnum, header.e_phentsize);
    const auto sections =
        readTable<Elf64_Shdr>(fd, header.e_shoff, header.e_shnum, header.e_shentsize);
    if (!segments) {
        return segments.failure();
    }
    if (!sections) {
        return sections.failure();
    }
    for (const auto& segment : *segments) {
        end = std::max(end, segment.p_offset + segment.p_filesz);
    }
    for (const auto& section : *sections) {
        if (section.sh_type != SHT_NOBITS) {
            end = std::max(end, section.sh_offset + section.sh_size);
        }
    }
    return end;
}

} // namespace qz::platform
