#pragma once

#include <gelf.h>
#include <libelf.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace loadgrid::binary {

// libelf's or libdw's reason for refusing bytes that passed this layer's
// own checks; the reader that meets it names what it was reading
// (damaged_as).
class Damaged : public Error {
      public:
	using Error::Error;
};

// Runs read(), saying a Damaged reason as "a damaged WHAT (reason)".
template <typename Read> auto damaged_as(const std::string &what, Read read)
{
	try {
		return read();
	} catch (const Damaged &e) {
		throw Error("a damaged " + what + " (" + e.what() + ")");
	}
}

// An ELF file open for reading through libelf: refused unless it is a
// 64-bit little-endian ELF file whose section headers and sections lie
// inside it.
class ElfFile {
      public:
	explicit ElfFile(const std::string &path);

	Elf *elf() const { return elf_.get(); }
	// Every section's header, by index, as many as the ELF header counts.
	const std::vector<GElf_Shdr> &sections() const { return sections_; }
	// The index of the last section of that name that holds bytes in the
	// file; none if there is none.
	std::optional<std::size_t> named(std::string_view name) const;
	// A section's bytes as they lie in the file.
	std::string_view bytes(std::size_t index) const;

      private:
	struct Descriptor {
		int fd = -1;
		~Descriptor();
	};
	Descriptor file_;
	std::unique_ptr<Elf, int (*)(Elf *)> elf_{nullptr, elf_end};
	GElf_Ehdr header_{};
	std::vector<GElf_Shdr> sections_;
};

} // namespace loadgrid::binary
