// The executable readers on fixtures built beside them, and on files
// damaged on purpose; tests/binary_test.py holds every answer to readelf's
// and cachegrind's over many builds.
#include <elf.h>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "lines.h"
#include "symbols.h"

namespace {

using namespace loadgrid::binary;
namespace fs = std::filesystem;

std::string read_bytes(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(in), {}};
}

// A folder of the test's own, removed with everything in it.
class Scratch {
      public:
	Scratch()
	{
		std::string pattern = (fs::temp_directory_path() / "binary-test.XXXXXX");
		root_ = mkdtemp(pattern.data());
	}
	~Scratch() { fs::remove_all(root_); }
	std::string file(const std::string &name, const std::string &bytes) const
	{
		std::string path = root_ + "/" + name;
		std::ofstream(path, std::ios::binary) << bytes;
		return path;
	}
	const std::string &root() const { return root_; }

      private:
	std::string root_;
};

std::string refusal(const std::function<void()> &read)
{
	try {
		read();
	} catch (const Error &e) {
		return e.what();
	}
	return "(read)";
}

// What each reader says of path: its refusal, or "(read)".
struct Refusals {
	std::string functions, lines, build;
};

Refusals refusals(const std::string &path)
{
	return {refusal([&] { functions(path); }), refusal([&] { source_lines(path); }),
		refusal([&] { build(path); })};
}

void expect_refused_by_all(const std::string &path, const std::string &why)
{
	Refusals said = refusals(path);
	EXPECT_EQ(said.functions, why);
	EXPECT_EQ(said.lines, why);
	EXPECT_EQ(said.build, why);
}

const Function *named(const std::vector<Function> &table, const std::string &name)
{
	auto at = std::find_if(table.begin(), table.end(), [&](const Function &f) { return f.name == name; });
	return at == table.end() ? nullptr : &*at;
}

// The ELF header of an executable's bytes, to damage them.
Elf64_Ehdr header_of(const std::string &bytes)
{
	Elf64_Ehdr header;
	std::memcpy(&header, bytes.data(), sizeof header);
	return header;
}

TEST(Symbols, ShortestNameWinsTiesToTheLowestBytes)
{
	std::vector<Function> table = functions(FIXTURE);
	ASSERT_NE(named(table, "aa"), nullptr);
	EXPECT_EQ(named(table, "ab"), nullptr);
	EXPECT_EQ(named(table, "a_function_of_three_names"), nullptr);
}

TEST(Symbols, InAddressOrderNoStartShared)
{
	// Linked dynamically (the UBSan build), a kernel has only a few.
	std::vector<Function> table = functions(KERNEL);
	ASSERT_GE(table.size(), 3u);
	for (std::size_t k = 0; k < table.size(); ++k) {
		EXPECT_LT(table[k].start, table[k].end) << table[k].name;
		if (k) {
			EXPECT_LT(table[k - 1].start, table[k].start) << table[k].name;
		}
	}
}

TEST(Symbols, StartUpIsBelowMain)
{
	for (const char *path : {KERNEL, FIXTURE}) {
		std::vector<Function> table = functions(path);
		EXPECT_NE(named(table, "main"), nullptr) << path;
		EXPECT_NE(named(table, "(below main)"), nullptr) << path;
		for (const char *name : {"_start", "__libc_start_main", "__libc_start_call_main"})
			EXPECT_EQ(named(table, name), nullptr) << path << " " << name;
	}
}

TEST(Symbols, OnlySizedCodeCounts)
{
	std::vector<Function> table = functions(KERNEL);
	EXPECT_EQ(named(table, "__abi_tag"), nullptr);		// an object in a note
	EXPECT_EQ(named(table, "register_tm_clones"), nullptr); // of no size
}

TEST(Symbols, StrippedHasNoTable)
{
	EXPECT_EQ(refusals(STRIPPED).functions, "no symbol table");
	EXPECT_EQ(refusals(STRIPPED).build, "(read)");
}

// The line of the fixture's source that holds text.
int fixture_line(const std::string &text)
{
	std::istringstream source(read_bytes(FIXTURE_SOURCE));
	std::string line;
	for (int number = 1; std::getline(source, line); ++number)
		if (line.find(text) != std::string::npos)
			return number;
	return 0;
}

TEST(Lines, FunctionStartsOnItsLine)
{
	std::vector<Function> table = functions(FIXTURE);
	const Function *located = named(table, "located");
	ASSERT_NE(located, nullptr);
	std::vector<SourceLine> rows = source_lines(FIXTURE);
	auto row = std::find_if(rows.begin(), rows.end(), [&](const SourceLine &r) {
		return r.start <= located->start && located->start < r.end;
	});
	ASSERT_NE(row, rows.end());
	EXPECT_EQ(row->file, FIXTURE_SOURCE);
	EXPECT_EQ(row->line, fixture_line("located(int x) {"));
}

TEST(Lines, InAddressOrderNoneOverlapping)
{
	std::vector<SourceLine> rows = source_lines(FIXTURE);
	ASSERT_GT(rows.size(), 5u);
	for (std::size_t k = 0; k < rows.size(); ++k) {
		EXPECT_LT(rows[k].start, rows[k].end);
		if (k) {
			EXPECT_LE(rows[k - 1].end, rows[k].start);
		}
	}
}

TEST(Lines, NoneWithoutDebugInformation)
{
	EXPECT_TRUE(source_lines(KERNEL).empty());
	EXPECT_TRUE(source_lines(STRIPPED).empty());
}

TEST(Lines, OnlyDwarf5IsRead)
{
	EXPECT_EQ(refusals(FIXTURE_DWARF4).lines, "a line table of DWARF version 4; only 5 is read here "
						  "(build with -gdwarf-5)");
}

TEST(Build, CompilerAndCLibrary)
{
	std::string said = build(FIXTURE);
	EXPECT_NE(said.find(COMPILER_VERSION), std::string::npos) << said;
	std::string libc = std::string("; glibc ") + gnu_get_libc_version();
	ASSERT_GE(said.size(), libc.size());
	EXPECT_EQ(said.substr(said.size() - libc.size()), libc);
}

TEST(Build, NoCommentNoBuild)
{
	EXPECT_EQ(refusals(UNCOMMENTED).build, "no .comment section: not a compiler's executable");
	EXPECT_EQ(refusals(UNCOMMENTED).functions, "(read)");
}

TEST(Refusals, NotElf)
{
	Scratch scratch;
	std::string bytes = read_bytes(KERNEL);
	std::string thirty_two = bytes;
	thirty_two[EI_CLASS] = ELFCLASS32;
	for (const std::string &path : {scratch.file("text", "#!/bin/sh\n"), scratch.file("empty", ""),
					scratch.file("32-bit", thirty_two), std::string(FIXTURE_SOURCE)})
		expect_refused_by_all(path, "not a 64-bit little-endian ELF file");
}

TEST(Refusals, NoFile)
{
	Scratch scratch;
	expect_refused_by_all(scratch.root() + "/missing", std::strerror(ENOENT));
	expect_refused_by_all(scratch.root(), std::strerror(EISDIR));
}

TEST(Refusals, Truncated)
{
	Scratch scratch;
	std::string bytes = read_bytes(KERNEL);
	expect_refused_by_all(scratch.file("half", bytes.substr(0, bytes.size() / 2)),
			      "its section headers lie outside it");
	Refusals said = refusals(scratch.file("head", bytes.substr(0, 40)));
	EXPECT_EQ(said.functions.rfind("a damaged symbol table (", 0), 0u) << said.functions;
	EXPECT_EQ(said.lines.rfind("a damaged line table (", 0), 0u) << said.lines;
	EXPECT_EQ(said.build.rfind("a damaged file (", 0), 0u) << said.build;
}

TEST(Refusals, SectionOutside)
{
	Scratch scratch;
	std::string bytes = read_bytes(KERNEL);
	Elf64_Ehdr header = header_of(bytes);
	Elf64_Shdr section;
	std::size_t at = header.e_shoff + header.e_shentsize; // section 1
	std::memcpy(&section, &bytes[at], sizeof section);
	section.sh_offset = bytes.size() - section.sh_size + 1;
	std::memcpy(&bytes[at], &section, sizeof section);
	expect_refused_by_all(scratch.file("outside", bytes), "section 1 lies outside it");
}

TEST(Refusals, NoSectionNames)
{
	Scratch scratch;
	std::string bytes = read_bytes(FIXTURE);
	Elf64_Ehdr header = header_of(bytes);
	header.e_shstrndx = header.e_shnum;
	std::memcpy(&bytes[0], &header, sizeof header);
	Refusals said = refusals(scratch.file("unnamed", bytes));
	EXPECT_EQ(said.functions, "(read)"); // symbols need no section names
	EXPECT_EQ(said.lines, "no section names");
	EXPECT_EQ(said.build, "no section names");
}

} // namespace
