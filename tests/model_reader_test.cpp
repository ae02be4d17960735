// The model reader on texts made here: what it reads, that the learner's
// usual spelling of a record (read without parting it into words) gives
// what any other spelling of it does, and its refusals word for word.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model.h"

namespace {

const std::string MODEL = "loadgrid-model 4\n"
			  "kernel k\n"
			  "arrays 2\n"
			  "length 16\n"
			  "steps 4\n"
			  "passes 3\n"
			  "index stride 2\n"
			  "reads 1000 2000\n"
			  "counter 10 20\n"
			  "function 400000 400100 main\n"
			  "function 400100 400200 a helper\n"
			  "source 400000 400080 7 dir/a b.cpp\n"
			  "segment head 2\n"
			  "I 400010 3 m\n"
			  "L 1ffefff0 8 sm\n"
			  "segment body 3\n"
			  "L 0 4 am\n"
			  "I 400020 4 m\n"
			  "L 1 4 am\n"
			  "segment boundary 1\n"
			  "L 0 4 am\n"
			  "segment final 4\n"
			  "L 1 4 am\n"
			  "I 400090 2 m\n"
			  "S 1ffeffe0 8 sm\n"
			  "I 400110 1 -\n"
			  "checksum 0\n";

// The text with its line that reads old reading new.
std::string edited(const std::string &text, const std::string &old, const std::string &now)
{
	std::size_t at = text.find("\n" + old + "\n");
	EXPECT_NE(at, std::string::npos) << old;
	return text.substr(0, at + 1) + now + text.substr(at + 1 + old.size());
}

// The number of the line that reads line.
int line_of(const std::string &text, const std::string &line)
{
	std::size_t at = text.find("\n" + line + "\n");
	int n = 2;
	for (std::size_t k = 0; k < at; k++)
		n += text[k] == '\n';
	return n;
}

std::string refusal(const std::string &text)
{
	try {
		parse(text, "m.model");
	} catch (const std::runtime_error &e) {
		return e.what();
	}
	return "accepted";
}

bool same(const Segment &a, const Segment &b)
{
	if (a.size() != b.size())
		return false;
	for (std::size_t k = 0; k < a.size(); k++)
		if (a[k].kind != b[k].kind || a[k].flags != b[k].flags || a[k].size != b[k].size ||
		    a[k].addr != b[k].addr || a[k].fn != b[k].fn)
			return false;
	return true;
}

} // namespace

TEST(Reader, ReadsEveryField)
{
	Model m = parse(MODEL, "m.model");
	EXPECT_EQ(m.kernel, "k");
	EXPECT_EQ((std::vector<long>{m.arrays, m.length, m.steps, m.passes, m.stride}),
		  (std::vector<long>{2, 16, 4, 3, 2}));
	EXPECT_EQ(m.reads, (std::vector<std::uint64_t>{0x1000, 0x2000}));
	ASSERT_EQ(m.functions.size(), 2u);
	EXPECT_EQ(m.functions[1].name, "a helper");
	ASSERT_EQ(m.sources.size(), 1u);
	EXPECT_EQ(m.sources[0].file, "dir/a b.cpp");
	EXPECT_EQ(m.sources[0].line, 7u);
	ASSERT_EQ(m.final.size(), 4u);
	const Rec &store = m.final[2];
	EXPECT_EQ(store.kind, 'S');
	EXPECT_EQ(store.flags, STACK | MAIN);
	EXPECT_EQ(store.size, 8u);
	EXPECT_EQ(store.addr, 0x1ffeffe0u);
}

// Places in the order first met; a record takes its instruction's, a
// step's first read the head's last instruction's; leaving a source line
// within a function, and the function, each make a new place.
TEST(Reader, NumbersPlaces)
{
	Model m = parse(MODEL, "m.model");
	ASSERT_EQ(m.places.size(), 4u);
	std::vector<std::pair<std::uint32_t, std::uint32_t>> places;
	for (const Place &p : m.places)
		places.push_back({p.function, p.source});
	EXPECT_EQ(places,
		  (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 0}, {1, 1}, {1, 0}, {2, 0}}));
	std::vector<std::uint32_t> fn;
	for (const Segment *seg : {&m.head, &m.body, &m.final})
		for (const Rec &r : *seg)
			fn.push_back(r.fn);
	EXPECT_EQ(fn, (std::vector<std::uint32_t>{1, 1, 1, 1, 1, 1, 2, 2, 3}));
}

TEST(Reader, LoadsAFile)
{
	std::string missing = "no-such-folder/m.model";
	try {
		load(missing);
		FAIL() << "read a missing file";
	} catch (const std::runtime_error &e) {
		EXPECT_EQ(std::string(e.what()), missing + ": No such file or directory");
	}
}

// Records spelt otherwise than the learner spells them: more spaces,
// leading zeros, a space at the end.
TEST(Reader, ReadsRecordsSpeltOtherwise)
{
	Model plain = parse(MODEL, "m.model");
	for (auto [old, now] :
	     std::vector<std::pair<std::string, std::string>>{{"I 400010 3 m", "I  400010 3 m"},
							      {"I 400010 3 m", " I 400010 3 m"},
							      {"I 400010 3 m", "I 400010 3 m "},
							      {"I 400010 3 m", "I 0000000000400010 03 m"},
							      {"L 1 4 am", "L 0000000000000001 4 am"},
							      {"S 1ffeffe0 8 sm", "S 1ffeffe0 8 ms"},
							      {"I 400110 1 -", "I 400110 1    -"}}) {
		SCOPED_TRACE(now);
		Model m = parse(edited(MODEL, old, now), "m.model");
		EXPECT_TRUE(same(m.head, plain.head) && same(m.body, plain.body) &&
			    same(m.final, plain.final));
	}
}

// Random records, each written plainly and spelt otherwise in one model:
// both must read the same.
TEST(Reader, RandomRecordsEitherWay)
{
	std::mt19937_64 random(20261210);
	const char *flags[] = {"-", "s", "m", "sm", "ms"};
	for (int round = 0; round < 200; round++) {
		std::string plain, other;
		int count = 1 + int(random() % 20);
		for (int k = 0; k < count; k++) {
			char kind = "ILSM"[random() % 4];
			// Instructions stay in main, whose records follow them.
			std::uint64_t addr =
			    kind == 'I' ? 0x400000 + random() % 0x100 : random() >> (random() % 64);
			unsigned size = 1 + unsigned(random() % 64);
			const char *flag = flags[random() % 5];
			if (random() % 8 == 0) {
				kind = 'L';
				addr = random() % 2;
				size = 4;
				flag = "am";
			}
			char hex[17];
			std::snprintf(hex, sizeof hex, "%llx", (unsigned long long)addr);
			plain +=
			    std::string(1, kind) + " " + hex + " " + std::to_string(size) + " " + flag + "\n";
			std::string zeros(random() % 2 ? 16 - std::string(hex).size() : 0, '0');
			std::string gap(1 + random() % 3, ' ');
			other += std::string(1, kind) + gap + zeros + hex + " " + std::to_string(size) + gap +
				 flag + "\n";
		}
		auto with = [&](const std::string &records) {
			return edited(MODEL, "S 1ffeffe0 8 sm",
				      "S 1ffeffe0 8 sm\n" + records.substr(0, records.size() - 1))
			    .replace(MODEL.find("segment final 4"), 15,
				     "segment final " + std::to_string(4 + count));
		};
		Model a = parse(with(plain), "m.model"), b = parse(with(other), "m.model");
		ASSERT_TRUE(same(a.final, b.final)) << plain << "\n" << other;
		ASSERT_EQ(a.final.size(), 4u + count);
	}
}

TEST(Reader, RefusesWordForWord)
{
	std::string start = "m.model: line " + std::to_string(line_of(MODEL, "I 400090 2 m")) + ": ";
	for (auto [now, reason] : std::vector<std::pair<std::string, std::string>>{
		 {"I 400090 65 m", "'65' is not a number from 1 to 64"},
		 {"I 400090 0 m", "'0' is not a number from 1 to 64"},
		 {"I 400090 2", "a record of 3 fields, want 4"},
		 {"I 400090 2 m x", "a record of 5 fields, want 4"},
		 {"I 4000g0 2 m", "'4000g0' is not a number from 0 to 18446744073709551615"},
		 {"I 00000000000400090 2 m",
		  "'00000000000400090' is not a number from 0 to 18446744073709551615"},
		 {"I 4000A0 2 m", "'4000A0' is not a number from 0 to 18446744073709551615"},
		 {"X 400090 2 m", "record kind 'X': want I, L, S, M or C"},
		 {"II 400090 2 m", "record kind 'II': want I, L, S, M or C"},
		 {"I 400090 2 mm", "flags 'mm': want -, or each of s, m, a, c at most once"},
		 {"I 400090 2 m-", "flags 'm-': want -, or each of s, m, a, c at most once"},
		 {"L 2 4 am", "'2' is not a number from 0 to 1"},
		 {"L 1 4 a", "an array read is a load by main, flags am"},
		 {"S 1 4 am", "an array read is a load by main, flags am"},
		 {"I 400090 2 c", "flag c on a record that is not a call"},
		 {"C 0 1 c", "a call is written \"C 0 0 c\""},
		 {"", "a record of 0 fields, want 4"},
		 {"I 400090\t2 m", "a tab, return or NUL"},
		 {"I 400090 2 m\r", "a tab, return or NUL"}}) {
		SCOPED_TRACE(now);
		EXPECT_EQ(refusal(edited(MODEL, "I 400090 2 m", now)), start + reason);
	}
}

TEST(Reader, RefusesTheWhole)
{
	auto line = [](const std::string &text, const std::string &l) {
		return "m.model: line " + std::to_string(line_of(text, l)) + ": ";
	};
	std::string cut = MODEL.substr(0, MODEL.find("I 400110"));
	std::string spaced = edited(MODEL, "function 400000 400100 main", "function 400000  400100 main");
	std::string named = edited(MODEL, "function 400000 400100 main", "function 400000 400100  main");
	std::string twice = MODEL + "arrays 2\n";
	std::string nul = edited(MODEL, "kernel k", std::string("kernel k\0", 9));
	for (auto [text, reason] : std::vector<std::pair<std::string, std::string>>{
		 {cut, "m.model: segment final ends after 3 of 4 records"},
		 {spaced,
		  line(spaced, "function 400000  400100 main") + "function: one space between its fields"},
		 {named, "m.model: no function main"},
		 {twice, "m.model: line 28: arrays given twice"},
		 {nul, "m.model: line 2: a tab, return or NUL"},
		 {edited(MODEL, "counter 10 20", "colour 10 20"), "m.model: line 9: unknown key 'colour'"},
		 {edited(MODEL, "kernel k", ""), "m.model: line 2: an empty line"},
		 {edited(MODEL, "counter 10 20", "kernel k"), "m.model: line 9: kernel given twice"},
		 {edited(MODEL, "reads 1000 2000", "reads 1000"), "m.model: line 8: reads: 1 fields, want 2"},
		 {edited(MODEL, "index stride 2", "index stride 6"),
		  "m.model: the stride reads past the arrays' end"},
		 {edited(MODEL, "source 400000 400080 7 dir/a b.cpp", "source 400080 400000 7 x"),
		  "m.model: line 12: source: empty, or not after the one before"},
		 {"loadgrid-model 3\n" + MODEL.substr(17), "m.model: not a model of format 4"},
		 {"", "m.model: not a model of format 4"},
		 {MODEL.substr(0, MODEL.find("counter")) + MODEL.substr(MODEL.find("function")),
		  "m.model: no counter"},
		 {MODEL.substr(0, MODEL.find("segment final")) + "checksum 0\n",
		  "m.model: no segment final"},
		 {edited(MODEL, "I 400020 4 m", "C 0 0 c"), "m.model: calls made but no call segments"}}) {
		SCOPED_TRACE(reason);
		EXPECT_EQ(refusal(text), reason);
	}
}
