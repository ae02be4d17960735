#include "model.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

// The model file, line by line:
//
//   loadgrid-model 3
//   kernel NAME              the kernel's name, for what it says
//   arrays N                 arrays a step reads, 1 to MAX_ARRAYS
//   length N                 elements in each array
//   steps N                  steps in a pass, 1 to length
//   passes N                 passes in the run
//   index stride K | rand    step s of a pass reads K * s, or the C
//                            library's unseeded rand() % length
//   reads HEX...             step 0's array reads, one an array
//   counter HEX HEX          the pass counter and the instruction that
//                            first tests it (for the learner)
//   segment NAME N           NAME is head, body, boundary, final or
//                            callK (K = 0, 1, ... in turn); N records follow:
//   KIND HEX SIZE FLAGS      KIND I, L, S or M as lackey prints them, or C
//                            (where main calls out: "C 0 0 c"); SIZE 1 to
//                            64; FLAGS "-" or some of s (moves with the
//                            stack), m (main's own), a (an array read: a
//                            load by main whose HEX is the array number)
//   function HEX HEX NAME    a function of the executable, from its first
//                            byte to past its last, in address order; NAME
//                            (spaces and all) to the end of the line
//   source HEX HEX LINE FILE the instructions from the first address to
//                            before the second come from line LINE of FILE
//                            (spaces and all), in address order
//   valgrind, binary, run,   about the run, for the front end; not read
//   checksum ...             here
//
// Every key but function and source is wanted exactly once; arrays comes
// before reads and the segments.  Each record belongs to the function and
// source line of its instruction: that of the last I record before it in
// its segment, or for records at a segment's start, which is a step's
// first array read, the last of the head's, that read's instruction.
namespace {

constexpr std::uint64_t MAX_PASSES = 1000000, MAX_LENGTH = 1 << 24;

// Each character's value as a digit: 0 to 15 for 0-9 and a-f, else 16.
constexpr std::array<std::uint8_t, 256> DIGITS = [] {
	std::array<std::uint8_t, 256> value{};
	for (int c = 0; c < 256; c++)
		value[c] = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 16;
	return value;
}();

// The words of one line, as views into the model's text, and where it
// stands, for what is said about it.  A Line is refilled line after line,
// keeping its room for words.
class Line {
      public:
	void split(std::string_view line, int number)
	{
		text = line;
		n = number;
		words.clear();
		const char *at = line.data(), *end = at + line.size();
		while (at < end) {
			while (at < end && *at == ' ')
				at++;
			const char *word = at;
			while (at < end && *at != ' ')
				at++;
			if (at > word)
				words.emplace_back(word, std::size_t(at - word));
		}
	}

	std::size_t size() const { return words.size(); }
	std::string_view operator[](std::size_t k) const { return words[k]; }
	std::string word(std::size_t k) const { return std::string(words[k]); }

	[[noreturn]] void fail(const std::string &why) const
	{
		throw std::runtime_error("line " + std::to_string(n) + ": " + why);
	}
	void want(std::size_t count) const
	{
		if (words.size() != count)
			fail(word(0) + ": " + std::to_string(words.size() - 1) + " fields, want " +
			     std::to_string(count - 1));
	}
	// Word k as a number in base (lowercase digits, at most 16), from lo
	// to hi.
	std::uint64_t number(std::size_t k, int base, std::uint64_t lo, std::uint64_t hi) const
	{
		std::string_view w = words[k];
		bool digits = !w.empty() && w.size() <= 16;
		std::uint64_t v = 0;
		for (std::size_t at = 0; digits && at < w.size(); at++) {
			unsigned d = DIGITS[static_cast<unsigned char>(w[at])];
			digits = d < unsigned(base);
			v = v * base + d;
		}
		if (!digits || v < lo || v > hi)
			fail("'" + std::string(w) + "' is not a number from " + std::to_string(lo) + " to " +
			     std::to_string(hi));
		return v;
	}
	// The text after the first n words, where one space parts each.
	std::string rest(std::size_t n) const
	{
		const char *at = text.data();
		for (std::size_t k = 0; k < n; k++) {
			if (words[k].data() != at)
				fail(word(0) + ": one space between its fields");
			at += words[k].size() + 1;
		}
		return std::string(at, text.data() + text.size());
	}

      private:
	std::string_view text;
	std::vector<std::string_view> words;
	int n = 0;
};

// A model's text line by line, as std::getline parts it, refusing tabs,
// returns and NULs.
class Lines {
      public:
	explicit Lines(std::string_view text) : text(text), bad(first_bad(text)) {}

	// The next line, or false after the last.
	bool next(std::string_view &line)
	{
		if (at >= text.size())
			return false;
		std::size_t end = text.find('\n', at);
		if (end == std::string_view::npos)
			end = text.size();
		n++;
		if (bad < end)
			throw std::runtime_error("line " + std::to_string(n) + ": a tab, return or NUL");
		line = text.substr(at, end - at);
		at = end + 1;
		return true;
	}
	int number() const { return n; }
	// The most records that could follow: a record takes 8 bytes at least.
	std::size_t most_records() const { return at >= text.size() ? 0 : (text.size() - at) / 8 + 1; }

      private:
	std::string_view text;
	std::size_t bad; // where the first tab, return or NUL is
	std::size_t at = 0;
	int n = 0;

	static std::size_t first_bad(std::string_view text)
	{
		std::size_t first = text.size();
		for (char c : {'\0', '\t', '\r'})
			if (const void *found = std::memchr(text.data(), c, first))
				first = static_cast<const char *>(found) - text.data();
		return first;
	}
};

Segment *segment(Model &m, const Line &l)
{
	std::string_view label = l[1];
	Segment *named = label == "head"       ? &m.head
			 : label == "body"     ? &m.body
			 : label == "boundary" ? &m.boundary
			 : label == "final"    ? &m.final
					       : nullptr;
	if (named)
		return named;
	if (label != "call" + std::to_string(m.calls.size()))
		l.fail("segment " + l.word(1) + ": want head, body, boundary, final or call" +
		       std::to_string(m.calls.size()));
	m.calls.emplace_back();
	return &m.calls.back();
}

Rec record(const Model &m, const Line &l)
{
	if (l.size() != 4)
		l.fail("a record of " + std::to_string(l.size()) + " fields, want 4");
	Rec r{};
	std::string_view kind = l[0], flags = l[3];
	if (kind.size() != 1 || std::string_view("ILSMC").find(kind[0]) == std::string_view::npos)
		l.fail("record kind '" + l.word(0) + "': want I, L, S, M or C");
	r.kind = kind[0];
	if (flags != "-")
		for (char c : flags) {
			std::uint8_t f = c == 's'   ? STACK
					 : c == 'm' ? MAIN
					 : c == 'a' ? ARRAY
					 : c == 'c' ? CALL
						    : 0;
			if (!f || (r.flags & f))
				l.fail("flags '" + l.word(3) +
				       "': want -, or each of s, m, a, c at most once");
			r.flags |= f;
		}
	if (r.kind == 'C') {
		if (r.flags != CALL || l[1] != "0" || l[2] != "0")
			l.fail("a call is written \"C 0 0 c\"");
		return r;
	}
	if (r.flags & CALL)
		l.fail("flag c on a record that is not a call");
	r.size = std::uint32_t(l.number(2, 10, 1, 64));
	if (r.flags & ARRAY) {
		if (r.kind != 'L' || r.flags != (ARRAY | MAIN))
			l.fail("an array read is a load by main, flags am");
		r.addr = l.number(1, 16, 0, m.arrays - 1);
	} else {
		r.addr = l.number(1, 16, 0, ~std::uint64_t(0));
	}
	return r;
}

// A record written as the learner writes it, "KIND HEX SIZE FLAGS" with
// one space between and no call, read without parting its words into a
// Line: false for any other, which record() reads or refuses.
bool plain_record(const Model &m, std::string_view line, Rec &r)
{
	const char *at = line.data(), *end = at + line.size();
	// Digits in base up to a space, at most 16 of them.
	auto field = [&](unsigned base, std::uint64_t &v) {
		const char *start = at;
		for (v = 0; at < end && *at != ' '; at++) {
			unsigned d = DIGITS[static_cast<unsigned char>(*at)];
			if (d >= base)
				return false;
			v = v * base + d;
		}
		bool whole = at > start && at - start <= 16 && at < end;
		at++;
		return whole;
	};
	if (line.size() < 7 || line[1] != ' ' ||
	    std::string_view("ILSM").find(line[0]) == std::string_view::npos)
		return false;
	at += 2;
	std::uint64_t addr, size;
	if (!field(16, addr) || !field(10, size) || size < 1 || size > 64 || at >= end)
		return false;
	std::uint8_t flags = 0;
	if (end - at != 1 || *at != '-')
		for (; at < end; at++) {
			std::uint8_t f = *at == 's' ? STACK : *at == 'm' ? MAIN : *at == 'a' ? ARRAY : 0;
			if (!f || (flags & f))
				return false;
			flags |= f;
		}
	if ((flags & ARRAY) && (line[0] != 'L' || flags != (ARRAY | MAIN) || addr >= std::uint64_t(m.arrays)))
		return false;
	r.kind = line[0];
	r.flags = flags;
	r.size = std::uint32_t(size);
	r.addr = addr;
	return true;
}

// One header key's line into the model; false if key is no header key.
bool header(Model &m, const Line &l)
{
	std::string_view key = l[0];
	if (key == "kernel") {
		l.want(2);
		m.kernel = l.word(1);
	} else if (key == "arrays") {
		l.want(2);
		m.arrays = int(l.number(1, 10, 1, MAX_ARRAYS));
	} else if (key == "length") {
		l.want(2);
		m.length = long(l.number(1, 10, 1, MAX_LENGTH));
	} else if (key == "steps") {
		l.want(2);
		m.steps = long(l.number(1, 10, 1, MAX_LENGTH));
	} else if (key == "passes") {
		l.want(2);
		m.passes = int(l.number(1, 10, 1, MAX_PASSES));
	} else if (key == "index") {
		if (l.size() == 2 && l[1] == "rand")
			m.stride = 0;
		else if (l.size() == 3 && l[1] == "stride")
			m.stride = long(l.number(2, 10, 1, MAX_LENGTH));
		else
			l.fail("index: want \"stride K\" or \"rand\"");
	} else if (key == "reads") {
		if (!m.arrays)
			l.fail("reads before arrays");
		l.want(m.arrays + 1);
		for (int j = 1; j <= m.arrays; j++)
			m.reads.push_back(l.number(j, 16, 0, ~std::uint64_t(0)));
	} else if (key == "counter") {
		l.want(3);
		l.number(1, 16, 0, ~std::uint64_t(0));
		l.number(2, 16, 0, ~std::uint64_t(0));
	} else {
		return key == "valgrind" || key == "binary" || key == "run" || key == "checksum";
	}
	return true;
}

void whole(const Model &m)
{
	auto need = [](bool ok, const char *why) {
		if (!ok)
			throw std::runtime_error(why);
	};
	need(m.steps <= m.length, "more steps than elements");
	need(!m.stride || m.stride * (m.steps - 1) < m.length, "the stride reads past the arrays' end");
	need(!m.body.empty() && !m.boundary.empty() && !m.final.empty(), "a step segment is empty");
	bool calls = false;
	for (const Segment *seg : {&m.body, &m.boundary, &m.final})
		for (const Rec &r : *seg)
			calls |= (r.flags & CALL) != 0;
	for (const Rec &r : m.head)
		need(!(r.flags & (CALL | ARRAY)), "the head makes a call or an array read");
	for (const Segment &seg : m.calls)
		for (const Rec &r : seg)
			need(!(r.flags & (CALL | ARRAY | MAIN)), "a call's record is main's own");
	need(calls == !m.calls.empty(),
	     calls ? "calls made but no call segments" : "call segments but no call made");
	need(m.stride || !m.calls.empty(), "rand's index without rand's calls");
}

// An address range's entry of a table in address order, checked.
template <class Entry> void range(std::vector<Entry> &table, Entry e, const Line &l)
{
	if (e.end <= e.start || (!table.empty() && e.start < table.back().end))
		l.fail(l.word(0) + ": empty, or not after the one before");
	table.push_back(std::move(e));
}

void function(Model &m, const Line &l)
{
	if (l.size() < 4)
		l.fail("function: want START END NAME");
	range(
	    m.functions,
	    Function{l.number(1, 16, 0, ~std::uint64_t(0)), l.number(2, 16, 0, ~std::uint64_t(0)), l.rest(3)},
	    l);
}

void source(Model &m, const Line &l)
{
	if (l.size() < 5)
		l.fail("source: want START END LINE FILE");
	range(m.sources,
	      Source{l.number(1, 16, 0, ~std::uint64_t(0)), l.number(2, 16, 0, ~std::uint64_t(0)),
		     l.number(3, 10, 0, ~0u), l.rest(4)},
	      l);
}

// The entry of a table in address order that holds an address: its number
// from 1, or 0.
template <class Entry> std::uint32_t holder(const std::vector<Entry> &table, std::uint64_t a)
{
	auto it = std::upper_bound(table.begin(), table.end(), a,
				   [](std::uint64_t x, const Entry &e) { return x < e.start; });
	if (it == table.begin() || a >= (it - 1)->end)
		return 0;
	return std::uint32_t(it - table.begin());
}

// Numbers the places of instructions in the order they are first met.  A
// run's instructions mostly follow one another within one function and
// line, so the last ones found are tried first.
class Places {
      public:
	explicit Places(Model &m) : m(m) { number({0, 0}); }

	std::uint32_t of(std::uint64_t insn)
	{
		std::uint32_t f = within(m.functions, function, insn) ? function : holder(m.functions, insn);
		std::uint32_t s = within(m.sources, source, insn) ? source : holder(m.sources, insn);
		if (f != function || s != source || last == ~0u) {
			function = f;
			source = s;
			last = number({f, s});
		}
		return last;
	}

      private:
	Model &m;
	std::unordered_map<std::uint64_t, std::uint32_t> numbers;
	std::uint32_t function = 0, source = 0, last = ~0u;

	std::uint32_t number(Place p)
	{
		std::uint64_t key = std::uint64_t(p.function) << 32 | p.source;
		auto [at, fresh] = numbers.try_emplace(key, std::uint32_t(m.places.size()));
		if (fresh)
			m.places.push_back(p);
		return at->second;
	}
	template <class Entry>
	static bool within(const std::vector<Entry> &table, std::uint32_t k, std::uint64_t a)
	{
		return k && a >= table[k - 1].start && a < table[k - 1].end;
	}
};

void attribute(Model &m)
{
	Places places(m);
	std::uint32_t main = 0, entry = ~0u;
	for (std::size_t k = 0; k < m.functions.size(); k++)
		if (m.functions[k].name == "main")
			main = std::uint32_t(k + 1);
	if (!main)
		throw std::runtime_error("no function main");
	for (const Rec &r : m.head)
		if (r.kind == 'I')
			entry = places.of(r.addr);
	if (entry == ~0u || m.places[entry].function != main)
		throw std::runtime_error("the head does not end in main");
	std::vector<Segment *> all = {&m.head, &m.body, &m.boundary, &m.final};
	for (Segment &seg : m.calls)
		all.push_back(&seg);
	for (Segment *seg : all) {
		std::uint32_t at = ~0u; // none yet
		for (Rec &r : *seg) {
			if (r.kind == 'C') {
				at = ~0u;
				continue;
			}
			if (r.kind == 'I')
				at = places.of(r.addr);
			else if (at == ~0u && (r.flags & MAIN))
				at = entry;
			if (at == ~0u)
				throw std::runtime_error("a data record of no known instruction");
			if ((r.flags & MAIN) && m.places[at].function != main)
				throw std::runtime_error("a record of main's outside the function main");
			r.fn = at;
		}
	}
}

// A segment's records, line by line.
void records(const Model &m, Segment &seg, const Line &l, Lines &lines)
{
	std::uint64_t count = l.number(2, 10, 1, 1 << 24);
	seg.reserve(seg.size() + std::min<std::uint64_t>(count, lines.most_records()));
	Line r;
	std::string_view text;
	for (std::uint64_t k = 0; k < count; k++) {
		if (!lines.next(text))
			throw std::runtime_error("segment " + l.word(1) + " ends after " + std::to_string(k) +
						 " of " + std::to_string(count) + " records");
		Rec plain{};
		if (plain_record(m, text, plain)) {
			seg.push_back(plain);
			continue;
		}
		r.split(text, lines.number());
		seg.push_back(record(m, r));
	}
}

} // namespace

Model parse(std::string_view text, const std::string &name)
{
	Model m;
	std::set<std::string> seen;
	try {
		Lines lines(text);
		std::string_view s;
		if (!lines.next(s) || s != "loadgrid-model " + std::to_string(FORMAT))
			throw std::runtime_error("not a model of format " + std::to_string(FORMAT));
		Line l;
		while (lines.next(s)) {
			l.split(s, lines.number());
			if (!l.size())
				l.fail("an empty line");
			if (l[0] == "function" || l[0] == "source") {
				(l[0] == "function" ? function : source)(m, l);
				continue;
			}
			bool keyed = l[0] == "segment" || header(m, l);
			if (!keyed)
				l.fail("unknown key '" + l.word(0) + "'");
			std::string id =
			    l[0] == "segment" && l.size() > 1 ? "segment " + l.word(1) : l.word(0);
			if (!seen.insert(id).second)
				l.fail(id + " given twice");
			if (l[0] != "segment")
				continue;
			l.want(3);
			if (!m.arrays)
				l.fail("a segment before arrays");
			records(m, *segment(m, l), l, lines);
		}
		for (const char *key :
		     {"kernel", "arrays", "length", "steps", "passes", "index", "reads", "counter",
		      "segment head", "segment body", "segment boundary", "segment final"})
			if (!seen.count(key))
				throw std::runtime_error(std::string("no ") + key);
		whole(m);
		attribute(m);
	} catch (const std::exception &e) {
		throw std::runtime_error(name + ": " + e.what());
	}
	return m;
}

namespace {

// A file's bytes, mapped where it is a regular file that can be mapped:
// the kernel maps the cached pages of a file several at a time, where
// reading into memory of one's own faults on every page.  Otherwise they
// are read; a file that cannot be read reads as empty.
class Bytes {
      public:
	explicit Bytes(int fd)
	{
		struct stat status;
		if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
			void *at = mmap(nullptr, std::size_t(status.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
			if (at != MAP_FAILED) {
				mapped = std::string_view(static_cast<const char *>(at),
							  std::size_t(status.st_size));
				return;
			}
		}
		char block[1 << 16];
		for (ssize_t got; (got = read(fd, block, sizeof block)) != 0;) {
			if (got < 0 && errno == EINTR)
				continue;
			if (got < 0)
				break;
			copy.append(block, std::size_t(got));
		}
	}
	Bytes(const Bytes &) = delete;
	Bytes &operator=(const Bytes &) = delete;
	~Bytes()
	{
		if (!mapped.empty())
			munmap(const_cast<char *>(mapped.data()), mapped.size());
	}

	std::string_view view() const { return mapped.empty() ? std::string_view(copy) : mapped; }

      private:
	std::string_view mapped;
	std::string copy;
};

} // namespace

Model load(const std::string &path)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		throw std::runtime_error(path + ": " + std::strerror(errno));
	Bytes bytes(fd);
	close(fd);
	return parse(bytes.view(), path);
}

void drop_fetches(Model &m)
{
	auto drop = [](Segment &seg) {
		seg.erase(std::remove_if(seg.begin(), seg.end(),
					 [](const Rec &r) { return r.kind == 'I'; }),
			  seg.end());
	};
	for (Segment *seg : {&m.head, &m.body, &m.boundary, &m.final})
		drop(*seg);
	for (Segment &seg : m.calls)
		drop(seg);
}

Run::Run(const Model &model, int n, std::int64_t s)
    : m(model), passes(n), shift(std::uint64_t(s))
{
	check(m, n, s);
	if (!m.stride)
		draws = glibc_rand(steps());
	for (std::uint64_t r : m.reads)
		base.push_back(r - shift - ELEM * index(0));
}

void Run::check(const Model &m, int n, std::int64_t s)
{
	if (n < 1 || n > m.passes)
		throw std::runtime_error("passes " + std::to_string(n) + ": want 1 to " +
					 std::to_string(m.passes));
	if (s % 16 || s < -MAX_SHIFT || s >= MAX_SHIFT)
		throw std::runtime_error("stack shift " + std::to_string(s) +
					 ": want a multiple of 16 from " + std::to_string(-MAX_SHIFT) +
					 " to " + std::to_string(MAX_SHIFT - 16));
}

long Run::index(long t) const
{
	if (!m.stride)
		return draws[t] % m.length;
	return m.stride * (t % m.steps);
}

std::vector<std::int32_t> glibc_rand(std::size_t n)
{
	// r[i] = 16807 r[i-1] mod (2^31 - 1) for the first 31 words, then
	// r[i] = r[i-3] + r[i-31] mod 2^32; the first 310 are discarded and
	// each result is a word shifted right by one.  The words are kept in
	// a ring of the last 64.
	constexpr std::size_t RING = 64, FIRST = 344;
	std::array<std::uint32_t, RING> r{};
	r[0] = 1;
	for (int i = 1; i < 31; i++) {
		std::int64_t w = 16807 * std::int64_t(std::int32_t(r[i - 1])) % 2147483647;
		r[i] = std::uint32_t(w < 0 ? w + 2147483647 : w);
	}
	for (int i = 31; i < 34; i++)
		r[i] = r[i - 31];
	std::vector<std::int32_t> out(n);
	for (std::size_t i = 34; i < FIRST + n; i++) {
		std::uint32_t w = r[(i - 31) % RING] + r[(i - 3) % RING];
		r[i % RING] = w;
		if (i >= FIRST)
			out[i - FIRST] = std::int32_t(w >> 1);
	}
	return out;
}
