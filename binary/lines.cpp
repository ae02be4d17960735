#include "lines.h"

#include <dwarf.h>
#include <elfutils/libdw.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <tuple>

#include "elf_file.h"

namespace loadgrid::binary {
namespace {

const char *const kUnknownFile = "???";

Damaged libdw_refusal() { return Damaged(dwarf_errmsg(-1)); }

std::string hex(unsigned value)
{
	char text[16];
	std::snprintf(text, sizeof text, "0x%x", value);
	return text;
}

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

// Little-endian fields of one line table's header, read in turn.
class HeaderReader {
      public:
	HeaderReader(std::string_view bytes, std::size_t at, std::size_t end)
	    : bytes_(bytes), at_(at), end_(end)
	{
	}
	std::size_t at() const { return at_; }
	std::uint64_t fixed(int width)
	{
		need(width);
		std::uint64_t value = little_endian(bytes_, at_, width);
		at_ += width;
		return value;
	}
	std::uint64_t leb()
	{
		std::uint64_t value = 0;
		for (int shift = 0;; shift += 7) {
			need(1);
			unsigned char byte = bytes_[at_++];
			if (shift < 64)
				value |= std::uint64_t(byte & 0x7f) << shift;
			if (!(byte & 0x80))
				return value;
		}
	}
	void skip(std::uint64_t count)
	{
		need(count);
		at_ += count;
	}
	std::string cstring()
	{
		std::size_t stop = bytes_.find('\0', at_);
		if (stop == std::string_view::npos || stop >= end_)
			throw Error("a line table runs past its end");
		std::string text(bytes_.substr(at_, stop - at_));
		at_ = stop + 1;
		return text;
	}

      private:
	void need(std::uint64_t count) const
	{
		if (count > end_ - at_)
			throw Error("a line table runs past its end");
	}
	std::string_view bytes_;
	std::size_t at_, end_;
};

// The string sections that DW_FORM_strp and DW_FORM_line_strp point into.
struct StringSections {
	std::optional<std::string_view> str, line_str;
};

std::string string_at(std::optional<std::string_view> section, std::uint64_t offset)
{
	if (!section || offset >= section->size())
		throw Error("a line table names a string outside its section");
	std::string_view rest = section->substr(offset);
	return std::string(rest.substr(0, rest.find('\0')));
}

// The bytes a value of each fixed-size form takes; a LEB128 or a block.
int fixed_size(unsigned form)
{
	switch (form) {
	case 0x19:
	case 0x21: return 0;
	case 0x0b:
	case 0x0c:
	case 0x11:
	case 0x25:
	case 0x29: return 1;
	case 0x05:
	case 0x12:
	case 0x26:
	case 0x2a: return 2;
	case 0x27:
	case 0x2b: return 3;
	case 0x06:
	case 0x0e:
	case 0x10:
	case 0x13:
	case 0x17:
	case 0x1c:
	case 0x1d:
	case 0x1f:
	case 0x28:
	case 0x2c: return 4;
	case 0x01:
	case 0x07:
	case 0x14:
	case 0x20:
	case 0x24: return 8;
	case 0x1e: return 16;
	default: return -1;
	}
}

bool is_leb(unsigned form)
{
	return form == 0x0d || form == 0x0f || form == 0x15 || form == 0x1a || form == 0x1b || form == 0x22 ||
	       form == 0x23;
}

// A directory or file entry's field: its text for the string forms, a
// number for the numbers (as text), nothing for the rest.
std::optional<std::string> field(HeaderReader &r, unsigned form, const StringSections &strings,
				 std::uint64_t &number)
{
	if (form == DW_FORM_string)
		return r.cstring();
	if (form == DW_FORM_strp || form == DW_FORM_line_strp)
		return string_at(form == DW_FORM_strp ? strings.str : strings.line_str, r.fixed(4));
	int size = fixed_size(form);
	if (size == 1 || size == 2 || size == 4 || size == 8 || is_leb(form)) {
		number = size > 0 ? r.fixed(size) : r.leb();
		return std::to_string(number);
	}
	if (size >= 0)
		r.skip(size);
	else if (form == DW_FORM_block || form == DW_FORM_exprloc)
		r.skip(r.leb());
	else if (form == DW_FORM_block1 || form == DW_FORM_block2 || form == DW_FORM_block4)
		r.skip(r.fixed(form == DW_FORM_block1 ? 1 : form == DW_FORM_block2 ? 2 : 4));
	else
		throw Error("form " + hex(form) + " is not read here");
	return std::nullopt;
}

struct Entry {
	std::optional<std::string> path;
	std::uint64_t folder = 0;
};

// A DWARF 5 directory or file table.
std::vector<Entry> entries(HeaderReader &r, const StringSections &strings)
{
	std::vector<std::pair<std::uint64_t, unsigned>> formats(r.fixed(1));
	for (auto &[content, form] : formats) {
		content = r.leb();
		form = r.leb();
	}
	std::vector<Entry> out(r.leb());
	for (Entry &entry : out)
		for (auto [content, form] : formats) {
			std::uint64_t number = 0;
			std::optional<std::string> value = field(r, form, strings, number);
			if (content == DW_LNCT_path)
				entry.path = value;
			else if (content == DW_LNCT_directory_index)
				entry.folder = number;
		}
	return out;
}

// The names of a table's files, by their index, as cachegrind names them:
// "DIR/NAME" even where NAME is absolute, a relative DIR standing under the
// unit's compilation folder where that is known.
std::vector<std::string> file_names(std::string_view tables, Dwarf_Off at, const StringSections &strings,
				    const std::string &folder)
{
	HeaderReader r(tables, at, tables.size());
	std::size_t end = r.fixed(4) + r.at();
	r = HeaderReader(tables, r.at(), std::min<std::size_t>(end, tables.size()));
	r.skip(2 + 1 + 1);	       // version, address and segment selector sizes
	r.skip(4 + 1 + 1 + 1 + 1 + 1); // header length, up to the line range
	r.skip(r.fixed(1) - 1);	       // the standard opcodes' argument counts
	std::vector<Entry> dirs = entries(r, strings);
	std::vector<std::string> out;
	for (const Entry &file : entries(r, strings)) {
		std::string path = file.path.value_or("None");
		std::string dir = file.folder < dirs.size() ? dirs[file.folder].path.value_or("") : "";
		if (!dir.empty() && !folder.empty() && dir[0] != '/')
			dir = folder + "/" + dir;
		out.push_back(dir.empty() ? path : dir + "/" + path);
	}
	return out;
}

std::string file_name(Dwarf_Line *row, const std::vector<std::string> &names)
{
	Dwarf_Files *files;
	std::size_t index;
	if (dwarf_line_file(row, &files, &index) != 0 || index >= names.size())
		return kUnknownFile; // a file the table does not hold
	return names[index];
}

// One table's ranges.  Every row counts, statement or not, line 0
// included: a row ends the range of the one before, and a range of no
// bytes names nothing.  libdw hands the rows in address order, an end of
// sequence before a row at the same address, which is each sequence in
// turn wherever the table's sequences do not overlap.
void add_ranges(Dwarf_Lines *rows, std::size_t count, const std::vector<std::string> &names,
		std::vector<SourceLine> &out)
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
			open = SourceLine{address, 0, file_name(row, names), line};
	}
}

std::optional<std::string_view> section_bytes(const ElfFile &file, std::string_view name)
{
	std::optional<std::size_t> index = file.named(name);
	if (!index)
		return std::nullopt;
	return file.bytes(*index);
}

std::vector<SourceLine> all_ranges(const ElfFile &file, std::string_view tables)
{
	StringSections strings{section_bytes(file, ".debug_str"), section_bytes(file, ".debug_line_str")};
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
		add_ranges(rows, count,
			   file_names(tables, at, strings, folder == folders.end() ? "" : folder->second),
			   out);
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
