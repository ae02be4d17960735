#include "lines.h"

#include <dwarf.h>
#include <elfutils/libdw.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <tuple>

#include "elf_file.h"

namespace loadgrid::binary {
namespace {

const char *const kUnknownFile = "???";

Damaged libdw_refusal() { return Damaged(dwarf_errmsg(-1)); }

// A unit's compilation folder where cachegrind reads it: written as a
// string in place or at an offset into a string section, not named by an
// index into the string offsets (DW_FORM_strx*, as clang writes it).
std::string written_folder(Dwarf_Die *unit)
{
	Dwarf_Attribute folder;
	if (!dwarf_attr(unit, DW_AT_comp_dir, &folder))
		return "";
	unsigned form = dwarf_whatform(&folder);
	if (form != DW_FORM_string && form != DW_FORM_strp && form != DW_FORM_line_strp)
		return "";
	const char *text = dwarf_formstring(&folder);
	if (!text)
		throw libdw_refusal();
	return text;
}

// The known compilation folders, by the offset of their unit's line table.
std::map<Dwarf_Off, std::string> compilation_folders(Dwarf *dwarf)
{
	std::map<Dwarf_Off, std::string> out;
	Dwarf_CU *unit = nullptr;
	Dwarf_Die die;
	int status;
	while ((status = dwarf_get_units(dwarf, unit, &unit, nullptr, nullptr, &die, nullptr)) == 0) {
		Dwarf_Attribute list;
		Dwarf_Word table;
		if (!dwarf_attr(&die, DW_AT_stmt_list, &list) || dwarf_formudata(&list, &table) != 0)
			continue;
		std::string folder = written_folder(&die);
		if (!folder.empty())
			out[table] = folder;
	}
	if (status < 0)
		throw libdw_refusal();
	return out;
}

std::uint64_t little_endian(std::string_view bytes, std::size_t at, int width)
{
	std::uint64_t value = 0;
	for (int k = width - 1; k >= 0; --k)
		value = value << 8 | static_cast<unsigned char>(bytes[at + k]);
	return value;
}

// Only tables of the shape whose names were measured against cachegrind's
// are read: 32-bit DWARF 5 with 8-byte addresses.
void check_table(std::string_view section, Dwarf_Off at)
{
	const std::size_t kFirstFields = 7; // length, version, address size
	if (section.size() - at < kFirstFields)
		throw Error("a line table runs past its end");
	if (little_endian(section, at, 4) >= 0xfffffff0)
		throw Error("a 64-bit DWARF line table is not read here");
	std::uint64_t version = little_endian(section, at + 4, 2);
	if (version != 5)
		throw Error("a line table of DWARF version " + std::to_string(version) +
			    "; only 5 is read here (build with -gdwarf-5)");
	if (section[at + 6] != 8)
		throw Error("a line table of addresses not 8 bytes wide");
}

// A row's file as cachegrind names it: "DIR/NAME" by its directory's
// entry and its name, as libdw joins them, a relative directory standing
// under the unit's compilation folder where that is known.
std::string file_name(Dwarf_Line *row, const std::string &folder)
{
	const char *name = dwarf_linesrc(row, nullptr, nullptr);
	if (!name)
		return kUnknownFile; // a file the table does not hold
	if (folder.empty() || name[0] == '/')
		return name;
	return folder + "/" + name;
}

// One table's ranges.  Every row counts, statement or not, line 0
// included: a row ends the range of the one before, and a range of no
// bytes names nothing.  libdw hands the rows in address order, an end of
// sequence before a row at the same address, which is each sequence in
// turn wherever the table's sequences do not overlap.
void add_ranges(Dwarf_Lines *rows, std::size_t count, const std::string &folder, std::vector<SourceLine> &out)
{
	std::optional<SourceLine> open;
	for (std::size_t k = 0; k < count; ++k) {
		Dwarf_Line *row = dwarf_onesrcline(rows, k);
		Dwarf_Addr address;
		bool ends;
		int line;
		if (!row || dwarf_lineaddr(row, &address) != 0 || dwarf_lineendsequence(row, &ends) != 0 ||
		    dwarf_lineno(row, &line) != 0)
			throw libdw_refusal();
		if (open && address > open->start) {
			open->end = address;
			out.push_back(*open);
		}
		open.reset();
		if (!ends)
			open = SourceLine{address, 0, file_name(row, folder), line};
	}
}

std::vector<SourceLine> all_ranges(const ElfFile &file, std::string_view tables)
{
	std::unique_ptr<Dwarf, int (*)(Dwarf *)> dwarf(dwarf_begin_elf(file.elf(), DWARF_C_READ, nullptr),
						       dwarf_end);
	if (!dwarf)
		throw libdw_refusal();
	std::map<Dwarf_Off, std::string> folders = compilation_folders(dwarf.get());
	std::vector<SourceLine> out;
	Dwarf_CU *unit = nullptr;
	Dwarf_Off next;
	for (Dwarf_Off at = 0; at < tables.size(); at = next) {
		check_table(tables, at);
		Dwarf_Lines *rows;
		std::size_t count;
		if (dwarf_next_lines(dwarf.get(), at, &next, &unit, nullptr, nullptr, &rows, &count) != 0)
			throw libdw_refusal();
		auto folder = folders.find(at);
		add_ranges(rows, count, folder == folders.end() ? "" : folder->second, out);
	}
	return out;
}

// Where two ranges overlap, the later start cuts the earlier.
std::vector<SourceLine> without_overlaps(std::vector<SourceLine> ranges)
{
	auto key = [](const SourceLine &r) { return std::tie(r.start, r.end, r.file, r.line); };
	std::sort(ranges.begin(), ranges.end(),
		  [&](const SourceLine &a, const SourceLine &b) { return key(a) < key(b); });
	std::vector<SourceLine> out;
	for (SourceLine &range : ranges) {
		if (!out.empty() && out.back().end > range.start) {
			SourceLine cut = std::move(out.back());
			out.pop_back();
			if (range.start > cut.start) {
				cut.end = range.start;
				out.push_back(std::move(cut));
			}
		}
		out.push_back(std::move(range));
	}
	return out;
}

} // namespace

std::vector<SourceLine> source_lines(const std::string &path)
{
	return damaged_as("line table", [&] {
		ElfFile file(path);
		std::optional<std::size_t> tables = file.named(".debug_line");
		if (!tables)
			return std::vector<SourceLine>{};
		return without_overlaps(all_ranges(file, file.bytes(*tables)));
	});
}

} // namespace loadgrid::binary
