// The learn layer's own rules on small cases: the period of the calls made
// from the loop, and the table entries that hold the learned instructions.
#include <gtest/gtest.h>

#include "learn.h"
#include "lines.h"
#include "symbols.h"

namespace {

using loadgrid::Record;
using loadgrid::learn::Mismatch;
using loadgrid::learn::period;
using Calls = std::vector<std::vector<Record>>;

const std::vector<Record> X = {{'I', 0x401000, 4}, {'L', 0x4c0000, 8}};
const std::vector<Record> Y = {{'I', 0x401000, 4}, {'S', 0x4c0000, 8}};
const std::vector<Record> Z = {{'I', 0x401000, 4}, {'L', 0x4c0000, 4}};

std::string refusal(const Calls &calls)
{
	try {
		period(calls);
	} catch (const Mismatch &e) {
		return e.what();
	}
	return "taken";
}

TEST(Period, ShortestRepeatingPrefix)
{
	EXPECT_EQ(period({}), Calls{});
	EXPECT_EQ(period({X, X}), Calls{X});
	EXPECT_EQ(period({X, X, X, X, X}), Calls{X});
	EXPECT_EQ(period({X, Y, X, Y, X}), (Calls{X, Y}));
	EXPECT_EQ(period({X, Y, Z, X, Y, Z, X}), (Calls{X, Y, Z}));
	EXPECT_EQ(period({X, Y, X, X, Y, X}), (Calls{X, Y, X}));
	EXPECT_EQ(period({X, Y, X, Y}), (Calls{X, Y}));
}

TEST(Period, CallsThatNeverRepeat)
{
	EXPECT_EQ(refusal({X}), "the 1 calls from the loop never repeat");
	EXPECT_EQ(refusal({X, Y}), "the 2 calls from the loop never repeat");
	EXPECT_EQ(refusal({X, X, Y}), "the 3 calls from the loop never repeat");
	// A period must repeat at least twice.
	EXPECT_EQ(refusal({X, Y, Z, X, Y}), "the 5 calls from the loop never repeat");
	// Records differing in their size alone.
	EXPECT_EQ(refusal({X, Z, X, Z, X, X}), "the 6 calls from the loop never repeat");
}

using loadgrid::binary::Function;
using loadgrid::binary::SourceLine;
using loadgrid::learn::holding;

std::vector<std::string> names(const std::vector<Function> &fs)
{
	std::vector<std::string> out;
	for (const auto &f : fs)
		out.push_back(f.name);
	return out;
}

const std::vector<Function> TABLE = {
    {0x10, 0x20, "a"}, {0x20, 0x30, "b"}, {0x40, 0x50, "c"}, {0x50, 0x51, "d"}};

TEST(Holding, EntriesInAddressOrderOnce)
{
	using V = std::vector<std::string>;
	EXPECT_EQ(names(holding(TABLE, std::vector<std::uint64_t>{0x4f, 0x10, 0x2f, 0x11})),
		  (V{"a", "b", "c"}));
	EXPECT_EQ(names(holding(TABLE, std::vector<std::uint64_t>{0x50})), V{"d"});
	EXPECT_EQ(names(holding(TABLE, std::vector<std::uint64_t>{0x1f, 0x20})), (V{"a", "b"}));
}

TEST(Holding, AddressesOutsideEveryEntry)
{
	// Below the first, in a gap, at an end that no entry starts at.
	EXPECT_TRUE(holding(TABLE, std::vector<std::uint64_t>{0x0, 0xf, 0x30, 0x3f, 0x51, ~0ull}).empty());
	EXPECT_TRUE(holding(std::vector<Function>{}, std::vector<std::uint64_t>{0x10}).empty());
}

TEST(Holding, SourceLines)
{
	std::vector<SourceLine> lines = {
	    {0x100, 0x104, "k.cpp", 3}, {0x104, 0x110, "k.cpp", 4}, {0x120, 0x130, "k.cpp", 3}};
	auto held = holding(lines, std::vector<std::uint64_t>{0x12f, 0x103, 0x110});
	ASSERT_EQ(held.size(), 2u);
	EXPECT_EQ(held[0].start, 0x100u);
	EXPECT_EQ(held[1].start, 0x120u);
}

} // namespace
