#include "symbols.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "elf_file.h"

namespace loadgrid::binary {
namespace {

const std::set<std::string> kBelowMain = {"_start", "__libc_start_main", "__libc_start_call_main",
					  "generic_start_main"};
const char *const kBelowMainName = "(below main)";

bool counts(const GElf_Sym &symbol, const std::vector<GElf_Shdr> &sections)
{
	int kind = GELF_ST_TYPE(symbol.st_info);
	bool named_code = kind == STT_OBJECT || kind == STT_FUNC || kind == STT_GNU_IFUNC;
	return named_code && symbol.st_size > 0 && symbol.st_shndx > 0 && symbol.st_shndx < sections.size() &&
	       (sections[symbol.st_shndx].sh_flags & SHF_EXECINSTR);
}

// A name's length in characters, as UTF-8 counts them.
std::size_t characters(const std::string &name)
{
	return std::count_if(name.begin(), name.end(), [](char c) { return (c & 0xc0) != 0x80; });
}

bool preferred(const std::string &name, const std::string &over)
{
	std::size_t length = characters(name), other = characters(over);
	return length != other ? length < other : name < over;
}

std::size_t symbol_table(const ElfFile &file)
{
	const auto &sections = file.sections();
	std::size_t found = sections.size();
	for (std::size_t k = 0; k < sections.size(); ++k) {
		if (sections[k].sh_type != SHT_SYMTAB)
			continue;
		if (found != sections.size())
			throw Error("no symbol table");
		found = k;
	}
	if (found == sections.size())
		throw Error("no symbol table");
	return found;
}

// The best-named function at each address, from the symbol table.
std::map<std::uint64_t, Function> best_names(const ElfFile &file)
{
	std::size_t table = symbol_table(file);
	const GElf_Shdr &header = file.sections()[table];
	Elf_Data *data = elf_getdata(elf_getscn(file.elf(), table), nullptr);
	if (!data)
		throw Damaged(elf_errmsg(-1));
	std::size_t count = data->d_size / gelf_fsize(file.elf(), ELF_T_SYM, 1, EV_CURRENT);
	std::map<std::uint64_t, Function> best;
	for (std::size_t k = 0; k < count; ++k) {
		GElf_Sym symbol;
		if (!gelf_getsym(data, k, &symbol))
			throw Damaged(elf_errmsg(-1));
		if (!counts(symbol, file.sections()))
			continue;
		const char *name = elf_strptr(file.elf(), header.sh_link, symbol.st_name);
		if (!name)
			throw Damaged(elf_errmsg(-1));
		auto [at, fresh] = best.try_emplace(symbol.st_value);
		if (fresh || preferred(name, at->second.name))
			at->second = {symbol.st_value, symbol.st_value + symbol.st_size, name};
	}
	return best;
}

std::string libc_version()
{
	std::size_t size = confstr(_CS_GNU_LIBC_VERSION, nullptr, 0);
	if (size == 0)
		return "";
	std::string text(size, '\0');
	confstr(_CS_GNU_LIBC_VERSION, text.data(), size);
	text.pop_back(); // the terminating NUL
	return text;
}

} // namespace

std::vector<Function> functions(const std::string &path)
{
	return damaged_as("symbol table", [&] {
		std::vector<Function> out;
		for (auto &[start, function] : best_names(ElfFile(path))) {
			if (kBelowMain.count(function.name))
				function.name = kBelowMainName;
			out.push_back(std::move(function));
		}
		return out;
	});
}

std::string build(const std::string &path)
{
	return damaged_as("file", [&] {
		ElfFile file(path);
		std::optional<std::size_t> comment = file.named(".comment");
		if (!comment)
			throw Error("no .comment section: not a compiler's executable");
		std::set<std::string> names;
		std::string_view bytes = file.bytes(*comment);
		for (std::size_t at = 0; at < bytes.size();) {
			std::size_t end = std::min(bytes.find('\0', at), bytes.size());
			if (end > at)
				names.emplace(bytes.substr(at, end - at));
			at = end + 1;
		}
		std::string out;
		for (const std::string &name : names)
			out += name + "; ";
		return out + libc_version();
	});
}

} // namespace loadgrid::binary
