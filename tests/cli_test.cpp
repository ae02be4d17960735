// The command line's own rules, linked from its library: what each command
// takes and refuses, the surface's caches against a plain enumeration, and
// the words it writes for a shell to read back.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "arguments.h"
#include "output.h"
#include "surface.h"

using namespace loadgrid::cli;

namespace {

Arguments parsed(std::vector<std::string> words)
{
	words.insert(words.begin(), "loadgrid-model");
	std::vector<char *> argv;
	for (std::string &w : words)
		argv.push_back(w.data());
	return parse(int(argv.size()), argv.data(), "1.0").args;
}

std::string refusal(const std::vector<std::string> &words)
{
	try {
		parsed(words);
	} catch (const Usage &e) {
		return e.what();
	}
	return "taken";
}

} // namespace

TEST(Arguments, TakesWhatEachCommandTakes)
{
	Arguments a = parsed({"misses", "k", "--cache", "32k,8,64", "8192,2,32", "--stack-shift", "-4096",
			      "--passes", "7", "--policy", "random:12", "--kinds"});
	EXPECT_EQ(a.command, "misses");
	EXPECT_EQ(a.kernel, "k");
	ASSERT_EQ(a.geometries.size(), 2u);
	EXPECT_EQ(a.geometries[0], (Geometry{32768, 8, 64}));
	EXPECT_EQ(a.geometries[1], (Geometry{8192, 2, 32}));
	EXPECT_EQ(parsed({"misses", "k", "--cache", "1g,16,64"}).geometries.at(0),
		  (Geometry{1073741824, 16, 64}));
	EXPECT_EQ(parsed({"misses", "k", "--cache", "1M,2K,64"}).geometries.at(0),
		  (Geometry{1048576, 2048, 64}));
	EXPECT_EQ(a.shift, -4096);
	EXPECT_EQ(a.passes, 7);
	EXPECT_TRUE(a.kinds);
	// A cache may come after the kernel or before it, and a tool after --
	// keeps options that look like the command's own.
	EXPECT_EQ(parsed({"misses", "--cache", "32k,8,64", "k"}).kernel, "k");
	Arguments r = parsed({"run", "k", "--", "valgrind", "--tool=cachegrind", "--here"});
	EXPECT_EQ(r.tool, (std::vector<std::string>{"valgrind", "--tool=cachegrind", "--here"}));
	EXPECT_FALSE(r.here);
	EXPECT_EQ(parsed({"surface", "k", "--lines", "128,32,32"}).by_line.size(), 2u);
	EXPECT_EQ(parsed({"lab", "k", "-s", "4", "-E", "2", "-b", "6"}).e, 2);
}

TEST(Arguments, RefusesWithTheReason)
{
	struct Case {
		std::vector<std::string> words;
		std::string said;
	} cases[] = {
	    {{"misses", "k"}, "misses: --cache is wanted"},
	    {{"misses", "", "--cache", "32k,8,64"}, "KERNEL: an empty name"},
	    {{"shift", ""}, "KERNEL: an empty name"},
	    {{"misses", "k", "--cache", "48k,8,64"}, "--cache 48k,8,64: the set count is not a power of two"},
	    {{"trace", "k", "--stack-shift", "8"}, "--stack-shift 8: not a multiple of 16"},
	    {{"trace", "k", "--stack-shift", "1073741824"},
	     "--stack-shift 1073741824: want -1073741824 to 1073741808"},
	    {{"trace", "k", "--stack-shift", "99999999999999999999"},
	     "--stack-shift 99999999999999999999: want -1073741824 to 1073741808"},
	    {{"trace", "k", "--passes", "1001"}, "--passes 1001: want 1 to 1000"},
	    {{"trace", "k", "--passes", "0"}, "--passes 0: want 1 to 1000"},
	    {{"misses", "k", "--cache", "2g,8,64"}, "--cache 2g,8,64: a number of 2 GiB or more"},
	    {{"misses", "k", "--cache", "32t,8,64"},
	     "--cache 32t,8,64: '32t' is not a number of bytes (digits, then k, m or g if any)"},
	    {{"misses", "k", "--cache", "32k,8,64", "24k,6,64", "--policy", "plru"},
	     "--policy plru: --cache 24k,6,64: the ways must be a power of two up to 64"},
	    {{"misses", "k", "--cache", "32k,8,64", "--policy", "random:1234567890123456789"},
	     "--policy random:1234567890123456789: want lru, fifo, plru or random:SEED"},
	    {{"lab", "k", "-s", "20", "-E", "512", "-b", "6"},
	     "lab: want -s 0 to 30, -E 1 to 65536, -b 0 to 30, and at most 2^28 lines in all"},
	    {{"check", "k", "--cache", "32k,8,64", "--D1", "32k,8,64"},
	     "check: --cache, or --I1, --D1 and --LL, not both"},
	    {{"check", "k", "--here", "--stack-shift", "16"},
	     "check --stack-shift: a run is moved by padding the canonical run's environment: not with "
	     "--here, and not upward"},
	    {{"run", "k", "--stack-shift", "-16", "--", "true"},
	     "run --stack-shift: a run is moved by padding the canonical run's environment: not with --here, "
	     "and not upward"},
	    {{"run", "k", "--"}, "run: no COMMAND after --"},
	    {{"surface", "k", "--sets", "64-8"}, "--sets 64-8: want LO-HI, from 1 up, LO not above HI"},
	    {{"surface", "k", "--sets", "1-2147483648"}, "--sets 1-2147483648: want HI below 2147483648"},
	    {{"surface", "k", "--ways", "1-2147483647"},
	     "surface: more than 65536 caches: narrow the ranges"},
	    {{"surface", "k", "--sets", "1", "--ways", "1", "--lines", "32"},
	     "surface: no cache that cachegrind takes in these ranges"},
	};
	for (const Case &c : cases)
		EXPECT_EQ(refusal(c.words), c.said) << c.words[0] << " " << c.words.back();
	// What the library finds wrong is said too, never taken.
	for (std::vector<std::string> words :
	     std::vector<std::vector<std::string>>{{},
						   {"frob"},
						   {"trace"},
						   {"lab", "k", "-s", "x", "-E", "1", "-b", "1"},
						   {"misses", "k", "extra"}})
		EXPECT_NE(refusal(words), "taken");
}

// Each cache of a power-of-two set count and a number of ways in range that
// cachegrind takes: under 2 GiB, more than one line.
std::vector<Geometry> enumerated(std::uint64_t line, surface::Span sets, surface::Span ways)
{
	std::vector<Geometry> out;
	for (std::uint64_t s = 1; s <= sets.second; s *= 2)
		for (std::uint64_t w = ways.first; s >= sets.first && w <= ways.second; w++) {
			long double size = (long double)s * w * line;
			if (size < 2147483648.0L && size > line)
				out.push_back({s * w * line, w, line});
		}
	return out;
}

TEST(Surface, CachesAsAPlainEnumerationFindsThem)
{
	std::mt19937_64 rng(std::random_device{}());
	unsigned seed = unsigned(rng());
	rng.seed(seed);
	for (int k = 0; k < 300; k++) {
		std::uint64_t line = 32u << rng() % 8;
		std::uint64_t lo = 1 + rng() % 5000, hi = lo + rng() % 70000;
		std::uint64_t wlo = 1 + rng() % 40, whi = wlo + rng() % 40;
		std::vector<Geometry> want = enumerated(line, {lo, hi}, {wlo, whi});
		if (want.size() > surface::MOST)
			continue;
		surface::ByLine got = surface::geometries({line}, {lo, hi}, {wlo, whi});
		ASSERT_EQ(got.at(line), want) << "seed " << seed << " line " << line;
	}
}

TEST(Output, WordsAShellReadsBack)
{
	std::mt19937 rng(std::random_device{}());
	const std::string chars = "a-Z_0./:=,@%+ '\"$`\\!*?;&|()<>{}[]#~\t\n";
	for (int k = 0; k < 60; k++) {
		std::string word;
		for (int n = rng() % 12; n > 0; n--)
			word += chars[rng() % chars.size()];
		std::string command = "printf %s " + loadgrid::cli::quoted(word);
		FILE *sh = popen(command.c_str(), "r");
		ASSERT_NE(sh, nullptr);
		std::string back;
		for (int c; (c = std::fgetc(sh)) != EOF;)
			back += char(c);
		EXPECT_EQ(pclose(sh), 0);
		EXPECT_EQ(back, word) << command;
	}
	EXPECT_EQ(loadgrid::cli::quoted("--D1=32768,8,64"), "--D1=32768,8,64");
	EXPECT_EQ(loadgrid::cli::quoted(""), "''");
}
