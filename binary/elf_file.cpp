#include "elf_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace loadgrid::binary {
namespace {

Error system_error() { return Error(std::strerror(errno)); }

Damaged libelf_refusal() { return Damaged(elf_errmsg(-1)); }

const char *const kNotElf = "not a 64-bit little-endian ELF file";

// The ELF header, checked as far as the file must be a 64-bit
// little-endian ELF file, and decoded by libelf.
GElf_Ehdr read_header(int fd)
{
	unsigned char raw[sizeof(Elf64_Ehdr)];
	ssize_t got = pread(fd, raw, sizeof raw, 0);
	if (got < 0)
		throw system_error();
	std::size_t size = static_cast<std::size_t>(got);
	if (size < SELFMAG || std::memcmp(raw, ELFMAG, SELFMAG) != 0)
		throw Error(kNotElf);
	if (size > EI_DATA && (raw[EI_CLASS] != ELFCLASS64 || raw[EI_DATA] != ELFDATA2LSB))
		throw Error(kNotElf);
	if (size < sizeof raw)
		throw Damaged("its ELF header is cut short");
	GElf_Ehdr header;
	Elf_Data from{};
	from.d_buf = raw;
	from.d_type = ELF_T_EHDR;
	from.d_size = sizeof raw;
	from.d_version = EV_CURRENT;
	Elf_Data to = from;
	to.d_buf = &header;
	to.d_size = sizeof header;
	if (elf64_xlatetom(&to, &from, ELFDATA2LSB) == nullptr)
		throw libelf_refusal();
	return header;
}

void check_section_headers(const GElf_Ehdr &header, std::uint64_t size)
{
	std::uint64_t table = std::uint64_t{header.e_shnum} * sizeof(Elf64_Shdr);
	if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shoff > size ||
	    table > size - header.e_shoff)
		throw Error("its section headers lie outside it");
}

} // namespace

ElfFile::Descriptor::~Descriptor()
{
	if (fd >= 0)
		close(fd);
}

ElfFile::ElfFile(const std::string &path)
{
	file_.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	struct stat status;
	if (file_.fd < 0 || fstat(file_.fd, &status) != 0)
		throw system_error();
	if (S_ISDIR(status.st_mode))
		throw Error(std::strerror(EISDIR));
	header_ = read_header(file_.fd);
	std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
	check_section_headers(header_, size);
	elf_version(EV_CURRENT);
	elf_.reset(elf_begin(file_.fd, ELF_C_READ_MMAP, nullptr));
	if (!elf_ || elf_kind(elf_.get()) != ELF_K_ELF)
		throw libelf_refusal();
	for (std::size_t k = 0; k < header_.e_shnum; ++k) {
		GElf_Shdr section;
		if (!gelf_getshdr(elf_getscn(elf_.get(), k), &section))
			throw libelf_refusal();
		if (section.sh_type != SHT_NOBITS &&
		    (section.sh_offset > size || section.sh_size > size - section.sh_offset))
			throw Error("section " + std::to_string(k) + " lies outside it");
		sections_.push_back(section);
	}
}

std::optional<std::size_t> ElfFile::named(std::string_view name) const
{
	if (header_.e_shstrndx >= sections_.size())
		throw Error("no section names");
	std::optional<std::size_t> found;
	for (std::size_t k = 0; k < sections_.size(); ++k) {
		if (sections_[k].sh_type == SHT_NOBITS)
			continue;
		const char *text = elf_strptr(elf_.get(), header_.e_shstrndx, sections_[k].sh_name);
		if (!text)
			throw libelf_refusal();
		if (name == text)
			found = k;
	}
	return found;
}

std::string_view ElfFile::bytes(std::size_t index) const
{
	Elf_Data *data = elf_rawdata(elf_getscn(elf_.get(), index), nullptr);
	if (!data)
		throw libelf_refusal();
	return {static_cast<const char *>(data->d_buf), data->d_size};
}

} // namespace loadgrid::binary
