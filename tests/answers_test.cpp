// The engine's answers as a library, on random made-up models: misses,
// reports and figures against naive caches and against every record
// through the counts in turn; the trace, the lab and the run's numbers
// read back; where a run first differs from records seen; and each
// refusal's message.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "answers.h"
#include "made_up_model.h"
#include "naive_lru.h"
#include "replacement.h"
#include "report_file.h"

namespace {

using namespace loadgrid::engine;
using loadgrid::Record;
using made_up::FUNCTIONS;
using made_up::pick;
using made_up::random_model;

static_assert(std::is_same_v<Places, loadgrid::cachegrind::Places>, "the report's places are cachegrind's");

// Every record of a run, fetches and all.
std::vector<Record> records(const Model &m, int passes, std::int64_t shift)
{
	std::vector<Record> out;
	auto keep = [&](char kind, std::uint64_t addr, std::uint32_t size, bool) {
		out.push_back({kind, addr, size});
	};
	::Run(m, passes, shift).all(keep);
	return out;
}

std::string shown(const std::optional<Record> &r)
{
	if (!r)
		return "nothing";
	return std::string(1, r->kind) + " " + std::to_string(r->addr) + "," + std::to_string(r->size);
}

std::string shown(const std::optional<Difference> &d)
{
	if (!d)
		return "none";
	return std::to_string(d->k) + ": " + shown(d->mine) + " / " + shown(d->real);
}

std::string shown(const Misses &n)
{
	return std::to_string(n.main_reads) + " " + std::to_string(n.main_writes) + " " +
	       std::to_string(n.trace_reads) + " " + std::to_string(n.trace_writes);
}

// A cache as wide as the made-up models' widest access, or wider.
CacheShape random_cache() { return {std::uint64_t(1) << pick(7), unsigned(1 + pick(12)), 32u << pick(3)}; }

// What a call threw, or "no error".
std::string message(const std::function<void()> &call)
{
	try {
		call();
	} catch (const std::runtime_error &e) {
		return e.what();
	}
	return "no error";
}

// What a call wrote to a file.
std::string written(const std::function<void(std::FILE *)> &call)
{
	std::unique_ptr<std::FILE, int (*)(std::FILE *)> f(std::tmpfile(), std::fclose);
	if (!f)
		throw std::runtime_error("tmpfile failed");
	call(f.get());
	std::string out(std::size_t(std::ftell(f.get())), '\0');
	std::rewind(f.get());
	if (std::fread(out.data(), 1, out.size(), f.get()) != out.size())
		throw std::runtime_error("short read");
	return out;
}

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> out;
	std::size_t at = 0, end;
	while ((end = text.find('\n', at)) != std::string::npos) {
		out.push_back(text.substr(at, end - at));
		at = end + 1;
	}
	return out;
}

// A made-up model whose records' places have names: place 0 unknown, 1
// and 2 functions and lines of their own, 3 the same as 2.
Model named_model(bool rand_rule, bool calls)
{
	Model m = random_model(rand_rule, calls);
	m.functions = {{0x401000, 0x401100, "alpha"}, {0x401100, 0x401200, "beta"}};
	m.sources = {{0x401000, 0x401080, 10, "a.c"}, {0x401080, 0x401200, 20, "b.c"}};
	m.places = {{0, 0}, {1, 1}, {2, 2}, {2, 2}};
	static_assert(FUNCTIONS == 3);
	return m;
}

} // namespace

// The run against its own records: none differ, whole or a prefix; a
// prefix taken as the whole run misses the rest.
TEST(FirstDifference, EqualRunsAndPrefixes)
{
	made_up::seed(71);
	for (int t = 0; t < 40; t++) {
		Model m = random_model(t % 2 == 0, t % 3 != 0);
		int passes = 1 + int(pick(m.passes));
		std::vector<Record> all = records(m, passes, 0);
		SCOPED_TRACE("model " + std::to_string(t) + ", " + std::to_string(all.size()) + " records");
		EXPECT_EQ(shown(first_difference(m, passes, all, true)), "none");
		EXPECT_EQ(shown(first_difference(m, passes, all, false)), "none");
		std::size_t n = pick(all.size());
		std::vector<Record> prefix(all.begin(), all.begin() + long(n));
		EXPECT_EQ(shown(first_difference(m, passes, prefix, false)), "none");
		EXPECT_EQ(shown(first_difference(m, passes, prefix, true)),
			  shown(Difference{n, all[n], std::nullopt}));
		if (passes < m.passes) { // a run of one pass more, its last step another
			std::vector<Record> longer = records(m, passes + 1, 0);
			std::size_t k = 0;
			while (k < all.size() && longer[k] == all[k])
				k++;
			std::optional<Record> real;
			if (k < all.size())
				real = all[k];
			EXPECT_EQ(shown(first_difference(m, passes + 1, all, true)),
				  shown(Difference{k, longer[k], real}));
		}
	}
}

// A record changed, taken out or put in: found where it is, with both
// records as they stand there.
TEST(FirstDifference, ChangedMissingAndExtraRecords)
{
	made_up::seed(72);
	for (int t = 0; t < 60; t++) {
		Model m = random_model(t % 2 == 0, t % 3 != 0);
		int passes = 1 + int(pick(m.passes));
		const std::vector<Record> all = records(m, passes, 0);
		std::size_t k = pick(all.size() - 1);
		while (k + 1 < all.size() && all[k] == all[k + 1])
			k++; // so that taking out k shows at k
		SCOPED_TRACE("model " + std::to_string(t) + ", record " + std::to_string(k) + " of " +
			     std::to_string(all.size()));

		std::vector<Record> changed = all;
		switch (pick(3)) {
		case 0: changed[k].addr += 1 + pick(64); break;
		case 1: changed[k].size += 1; break;
		default: changed[k].kind = changed[k].kind == 'L' ? 'S' : 'L';
		}
		for (bool whole : {true, false})
			EXPECT_EQ(shown(first_difference(m, passes, changed, whole)),
				  shown(Difference{k, all[k], changed[k]}));

		std::vector<Record> missing = all;
		missing.erase(missing.begin() + long(k));
		std::optional<Record> next;
		if (k + 1 < all.size())
			next = all[k + 1];
		EXPECT_EQ(shown(first_difference(m, passes, missing, true)),
			  shown(Difference{k, all[k], next}));
		if (next) {
			EXPECT_EQ(shown(first_difference(m, passes, missing, false)),
				  shown(Difference{k, all[k], next}));
		}

		Record extra{'S', 0x7777, 4};
		std::vector<Record> inserted = all;
		inserted.insert(inserted.begin() + long(k), extra);
		EXPECT_EQ(shown(first_difference(m, passes, inserted, true)),
			  shown(Difference{k, all[k], extra}));
		std::vector<Record> appended = all;
		appended.push_back(extra);
		for (bool whole : {true, false})
			EXPECT_EQ(shown(first_difference(m, passes, appended, whole)),
				  shown(Difference{all.size(), std::nullopt, extra}));
	}
}

// Several shifts and caches of several line sizes, set counts and ways in
// one call, each against a naive cache.
TEST(MissesAt, AgainstNaive)
{
	made_up::seed(73);
	for (int t = 0; t < 80; t++) {
		Model m = random_model(t % 3 == 0, t % 3 != 1);
		Model data = m;
		drop_fetches(data);
		int passes = 1 + int(pick(m.passes));
		std::vector<std::int64_t> shifts;
		for (std::uint64_t k = 1 + pick(3); k > 0; k--)
			shifts.push_back(16 * (std::int64_t(pick(64)) - 32));
		std::vector<CacheShape> caches;
		for (std::uint64_t k = 1 + pick(5); k > 0; k--)
			caches.push_back(random_cache());
		std::vector<std::vector<Misses>> got = misses_at(m, passes, shifts, caches);
		ASSERT_EQ(got.size(), shifts.size());
		for (std::size_t s = 0; s < shifts.size(); s++) {
			ASSERT_EQ(got[s].size(), caches.size());
			for (std::size_t c = 0; c < caches.size(); c++) {
				const CacheShape &g = caches[c];
				naive_lru::Naive naive(g.sets, g.assoc, g.line);
				::Run(data, passes, shifts[s]).all(naive);
				EXPECT_EQ(shown(got[s][c]), shown(naive.n))
				    << "model " << t << ", shift " << shifts[s] << ", " << g.sets
				    << " sets of " << g.assoc << " ways of " << g.line << " bytes";
			}
		}
	}
}

// Each hierarchy's rows: the places with events, named, each place's
// events as naive caches count them; by_place sums the places that share
// a line.
TEST(Report, RowsAndPlacesAgainstNaive)
{
	made_up::seed(74);
	for (int t = 0; t < 60; t++) {
		Model m = named_model(t % 3 == 0, t % 3 != 1);
		int passes = 1 + int(pick(m.passes));
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);
		std::vector<Levels> hierarchies;
		for (std::uint64_t k = 1 + pick(3); k > 0; k--)
			hierarchies.push_back({random_cache(), random_cache(), random_cache()});
		std::vector<std::vector<ReportRow>> got = report(m, passes, shift, hierarchies);
		ASSERT_EQ(got.size(), hierarchies.size());
		for (std::size_t h = 0; h < hierarchies.size(); h++) {
			SCOPED_TRACE("model " + std::to_string(t) + ", hierarchy " + std::to_string(h));
			const Levels &l = hierarchies[h];
			naive_lru::NaiveHierarchy naive({l[0], l[1], l[2]});
			::Run(m, passes, shift).all(naive);
			std::vector<ReportRow> want;
			const ReportRow named[] = {{{}, 0, "???", "???"},
						   {{}, 10, "alpha", "a.c"},
						   {{}, 20, "beta", "b.c"},
						   {{}, 20, "beta", "b.c"}};
			for (std::size_t f = 0; f <= FUNCTIONS; f++)
				if (naive.costs[f] != Cost{}) {
					want.push_back(named[f]);
					want.back().events = naive.costs[f];
				}
			ASSERT_EQ(got[h].size(), want.size());
			for (std::size_t r = 0; r < want.size(); r++) {
				EXPECT_EQ(got[h][r].events, want[r].events) << "row " << r;
				EXPECT_EQ(got[h][r].line, want[r].line) << "row " << r;
				EXPECT_EQ(got[h][r].function, want[r].function) << "row " << r;
				EXPECT_EQ(got[h][r].file, want[r].file) << "row " << r;
			}
			Places places = by_place(got[h]);
			Cost beta{};
			for (int e = 0; e < EVENTS; e++)
				beta[e] = naive.costs[2][e] + naive.costs[3][e];
			EXPECT_EQ(places.size(),
				  want.size() - (naive.costs[2] != Cost{} && naive.costs[3] != Cost{}));
			if (beta != Cost{}) {
				EXPECT_EQ(places.at({"b.c", "beta", 20}), beta);
			}
			if (naive.costs[1] != Cost{}) {
				EXPECT_EQ(places.at({"a.c", "alpha", 10}), naive.costs[1]);
			}
		}
	}
}

namespace {

// figures() for a policy by name, against every record through the
// policy's count in turn.
template <class Replacement> void figures_against_plain(const char *name, std::uint64_t seed)
{
	made_up::seed(seed);
	for (int t = 0; t < 30; t++) {
		Model m = random_model(t % 3 == 0, t % 3 != 1);
		Model data = m;
		drop_fetches(data);
		int passes = 1 + int(pick(m.passes));
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);
		std::string text = name;
		if (text == "random")
			text += ":" + std::to_string(pick(1000));
		Policy policy = named_policy(text, pick(2));
		bool kinds = pick(2);
		std::vector<CacheShape> caches;
		for (std::uint64_t k = 1 + pick(4); k > 0; k--)
			caches.push_back({std::uint64_t(1) << pick(6), 1u << pick(4), 16u << pick(3)});
		std::vector<CacheFigures> got = figures(m, passes, shift, policy, kinds, caches);
		ASSERT_EQ(got.size(), caches.size());
		for (std::size_t c = 0; c < caches.size(); c++) {
			TraceCount<Replacement> plain(caches[c], policy.options);
			::Run(data, passes, shift).all(plain);
			CacheFigures want;
			std::copy(plain.n.begin(), plain.n.end(), want.begin());
			if (kinds) {
				FullCount full(caches[c], policy.options.write_back);
				::Run(data, passes, shift).all(full);
				want[FULL_MISSES] = full.n[FULL_MISSES];
				want[COMPULSORY] = full.n[COMPULSORY];
			}
			want[FIGURES] = plain.dirty_lines();
			EXPECT_EQ(got[c], want)
			    << text << (policy.options.write_back ? " back" : " through")
			    << (kinds ? " kinds" : "") << ", model " << t << ", cache " << c;
		}
	}
}

} // namespace

TEST(Figures, EveryPolicyAgainstPlain)
{
	figures_against_plain<LruReplacement>("lru", 75);
	figures_against_plain<FifoReplacement>("fifo", 76);
	figures_against_plain<PlruReplacement>("plru", 77);
	figures_against_plain<RandomReplacement>("random", 78);
}

// LRU writing back allocates on every write, so its read and write misses
// are the din trace's that misses_at counts, and those of a naive cache.
TEST(Figures, LruBackMissesAreTheDinTraces)
{
	made_up::seed(79);
	for (int t = 0; t < 40; t++) {
		Model m = random_model(t % 2 == 0, t % 3 != 1);
		int passes = 1 + int(pick(m.passes));
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);
		std::vector<CacheShape> caches = {random_cache(), random_cache()};
		std::vector<CacheFigures> f =
		    figures(m, passes, shift, named_policy("lru", true), true, caches);
		std::vector<Misses> d1 = misses_at(m, passes, {shift}, caches)[0];
		for (std::size_t c = 0; c < caches.size(); c++) {
			EXPECT_EQ(f[c][READ_MISSES], d1[c].trace_reads) << "model " << t << " cache " << c;
			EXPECT_EQ(f[c][WRITE_MISSES], d1[c].trace_writes) << "model " << t << " cache " << c;
			EXPECT_LE(f[c][COMPULSORY], f[c][FULL_MISSES]);
		}
	}
}

// Main's misses asked of figures(): the same as misses_at's, and the
// figures the same as without them, whether main's count runs apart or
// shares its replay with an LRU cache's (the kinds, writing back, a run
// that never repeats).
TEST(Figures, MainsBesideTheCaches)
{
	made_up::seed(81);
	int shared = 0;
	for (int t = 0; t < 60; t++) {
		Model m = random_model(t % 2 == 0, t % 3 != 1);
		int passes = 1 + int(pick(m.passes));
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);
		std::vector<CacheShape> caches = {random_cache(), random_cache()};
		const char *name = t % 4 == 3 ? "fifo" : "lru";
		bool back = t % 8 != 7, kinds = t % 4 != 2;
		Policy policy = named_policy(name, back);
		shared += std::string(name) == "lru" && back && kinds && !::Run::periodic(m);
		std::vector<Misses> mains;
		std::vector<CacheFigures> got = figures(m, passes, shift, policy, kinds, caches, &mains);
		std::vector<CacheFigures> want = figures(m, passes, shift, policy, kinds, caches);
		std::vector<Misses> want_mains = misses_at(m, passes, {shift}, caches)[0];
		ASSERT_EQ(mains.size(), caches.size());
		for (std::size_t c = 0; c < caches.size(); c++) {
			std::string where = std::string(name) + (back ? " back" : " through") +
					    (kinds ? " kinds" : "") + ", model " + std::to_string(t) +
					    ", cache " + std::to_string(c);
			EXPECT_EQ(got[c], want[c]) << where;
			EXPECT_EQ(shown(mains[c]), shown(want_mains[c])) << where;
		}
	}
	EXPECT_GE(shared, 10); // cases where the two counts shared a replay
}

// The lackey trace read back is the run's records, the din trace a line
// per access, low32 the addresses' low bits.
TEST(Streams, TraceReadBack)
{
	made_up::seed(80);
	for (int t = 0; t < 20; t++) {
		Model m = random_model(t % 2 == 0, true);
		int passes = 1 + int(pick(m.passes));
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);
		std::vector<Record> all = records(m, passes, shift);
		TraceOptions lackey{true, false, true};
		std::vector<std::string> text =
		    lines_of(written([&](std::FILE *f) { trace(m, passes, shift, lackey, f); }));
		ASSERT_EQ(text.size(), all.size());
		for (std::size_t k = 0; k < all.size(); k++) {
			unsigned long long addr;
			unsigned size;
			char kind = text[k][0] == 'I' ? 'I' : text[k][1];
			ASSERT_EQ(std::sscanf(text[k].c_str() + 3, "%llx,%u", &addr, &size), 2) << text[k];
			EXPECT_EQ(shown(Record{kind, addr, size}), shown(all[k])) << "record " << k;
			EXPECT_GE(text[k].find(','), 11u) << "at least eight digits: " << text[k];
		}

		TraceOptions din{t % 2 == 0, true, false};
		std::vector<std::string> want;
		char label[40];
		for (const Record &r : all) {
			if (r.kind == 'I' && !din.fetches)
				continue;
			for (char c : std::string(r.kind == 'I'	  ? "2"
						  : r.kind == 'L' ? "0"
						  : r.kind == 'S' ? "1"
								  : "01")) {
				std::snprintf(label, sizeof label, "%c %llx", c,
					      (unsigned long long)(r.addr & 0xffffffff));
				want.push_back(label);
			}
		}
		EXPECT_EQ(lines_of(written([&](std::FILE *f) { trace(m, passes, shift, din, f); })), want);
	}
}

// The lab's counts are LRU's figures writing back; verbose, a line per
// data record first, as many hits in them as the count says.
TEST(Streams, LabAgainstFigures)
{
	made_up::seed(81);
	for (int t = 0; t < 30; t++) {
		Model m = random_model(t % 2 == 0, t % 3 != 0);
		int passes = 1 + int(pick(m.passes));
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);
		int s = int(pick(6)), e = 1 + int(pick(8)), b = int(pick(7));
		CacheShape shape{std::uint64_t(1) << s, unsigned(e), 1u << b};
		CacheFigures f = figures(m, passes, shift, named_policy("lru", true), false, {shape})[0];
		std::uint64_t misses = f[READ_MISSES] + f[WRITE_MISSES];
		std::string counts = "hits:" + std::to_string(f[READS] + f[WRITES] - misses) +
				     " misses:" + std::to_string(misses) +
				     " evictions:" + std::to_string(f[EVICTIONS]);
		SCOPED_TRACE("model " + std::to_string(t) + ": s " + std::to_string(s) + ", E " +
			     std::to_string(e) + ", b " + std::to_string(b));
		EXPECT_EQ(written([&](std::FILE *out) { lab(m, passes, shift, s, e, b, false, out); }),
			  counts + "\n");
		std::vector<std::string> told =
		    lines_of(written([&](std::FILE *out) { lab(m, passes, shift, s, e, b, true, out); }));
		std::size_t data = 0, hits = 0;
		for (const Record &r : records(m, passes, shift))
			data += r.kind != 'I';
		ASSERT_EQ(told.size(), data + 1);
		EXPECT_EQ(told.back(), counts);
		for (const std::string &line : told)
			for (std::size_t at = line.find(" hit"); at != std::string::npos;
			     at = line.find(" hit", at + 1))
				hits++;
		EXPECT_EQ(hits, f[READS] + f[WRITES] - misses);
	}
}

// Main's reads and writes, a modify a read; the indices by the model's
// rule.
TEST(Streams, AccessesAndIndices)
{
	made_up::seed(82);
	for (int t = 0; t < 30; t++) {
		Model m = random_model(t % 2 == 0, t % 3 != 0);
		int passes = 1 + int(pick(m.passes));
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);
		std::array<std::uint64_t, 2> want{};
		auto count = [&](char kind, std::uint64_t, std::uint32_t, bool main) {
			if (main && kind != 'I')
				want[kind == 'S']++;
		};
		::Run(m, passes, shift).all(count);
		EXPECT_EQ(accesses(m, passes, shift), want) << "model " << t;

		std::vector<long> got = indices(m, passes, shift);
		ASSERT_EQ(got.size(), std::size_t(passes * m.steps));
		std::vector<std::int32_t> draws = glibc_rand(got.size());
		for (std::size_t k = 0; k < got.size(); k++)
			ASSERT_EQ(got[k], m.stride ? m.stride * long(k % m.steps) : draws[k] % m.length)
			    << "model " << t << ", step " << k;
	}
}

// The draws are the C library's rand() unseeded, which srand(1) restores.
TEST(Streams, RandAsTheCLibrary)
{
	std::vector<std::int32_t> draws = glibc_rand(5000);
	std::srand(1);
	for (std::size_t k = 0; k < draws.size(); k++)
		ASSERT_EQ(draws[k], std::rand()) << "draw " << k;
}

// Each refusal as the engine says it; the figures' threads check the run
// before they start.
TEST(Errors, Messages)
{
	made_up::seed(83);
	Model m = random_model(false, true);
	m.body.push_back(Rec{'L', MAIN, 32, 0x4c1000});
	const std::string passes = std::to_string(m.passes);
	CacheShape fine{64, 8, 64}, narrow{64, 8, 16};
	EXPECT_EQ(message([&] { misses_at(m, 1, {0}, {}); }), "misses: no cache given");
	EXPECT_EQ(message([&] {
			  misses_at(m, 1, {0}, {fine, narrow});
		  }),
		  "a line of 16 bytes: the run makes data accesses of 32 bytes, which cachegrind "
		  "cuts short in lines narrower than them");
	EXPECT_EQ(message([&] { misses_at(m, 0, {0}, {fine}); }),
		  "passes '0': want a number from 1 to " + passes);
	EXPECT_EQ(message([&] { misses_at(m, m.passes + 1, {0}, {fine}); }),
		  "passes '" + std::to_string(m.passes + 1) + "': want a number from 1 to " + passes);
	EXPECT_EQ(message([&] {
			  misses_at(m, 1, {0, 8}, {fine});
		  }),
		  "stack shift 8: want a multiple of 16 from -1073741824 to 1073741808");
	EXPECT_EQ(message([&] { accesses(m, 1, -(std::int64_t(1) << 31)); }),
		  "stack shift '-2147483648': want a number from -1073741824 to 1073741824");
	EXPECT_EQ(message([&] { indices(m, 1, MAX_SHIFT); }),
		  "stack shift 1073741824: want a multiple of 16 from -1073741824 to 1073741808");
	EXPECT_EQ(message([&] {
			  figures(m, 1, 24, named_policy("lru", true), true, {fine, fine});
		  }),
		  "stack shift 24: want a multiple of 16 from -1073741824 to 1073741808");
	EXPECT_EQ(message([&] { report(m, 1, 0, {}); }), "report: want caches in threes, I1 D1 LL");
	EXPECT_EQ(message([&] {
			  report(m, 1, 0, {{fine, fine, narrow}});
		  }),
		  message([&] { misses_at(m, 1, {0}, {narrow}); }));
	EXPECT_EQ(message([&] { trace(m, 1, 8, {}, stdout); }),
		  "stack shift 8: want a multiple of 16 from -1073741824 to 1073741808");
	EXPECT_EQ(message([&] { first_difference(m, 0, {}, true); }),
		  "passes '0': want a number from 1 to " + passes);

	EXPECT_EQ(message([&] { named_policy("LRU", true); }),
		  "policy 'LRU': want lru, fifo, plru or random:SEED");
	EXPECT_EQ(message([&] { named_policy("random:-1", true); }),
		  "seed '-1': want a number from 0 to 9223372036854775807");
	EXPECT_EQ(message([&] { named_policy("random:", true); }),
		  "seed '': want a number from 0 to 9223372036854775807");
	EXPECT_EQ(named_policy("random:42", false).options.seed, 42u);
	EXPECT_FALSE(named_policy("fifo", false).options.write_back);

	// The lab's cache checked before the run.
	auto lab_says = [&](int s, int e, int b) {
		return message([&] { lab(m, 0, 0, s, e, b, false, stdout); });
	};
	EXPECT_EQ(lab_says(31, 1, 4), "s '31': want a number from 0 to 30");
	EXPECT_EQ(lab_says(4, 0, 4), "E '0': want a number from 1 to 65536");
	EXPECT_EQ(lab_says(4, 1, -1), "b '-1': want a number from 0 to 30");
	EXPECT_EQ(lab_says(20, 512, 4), "lab: at most 2^28 lines in all");
	EXPECT_EQ(lab_says(20, 256, 4), "passes '0': want a number from 1 to " + passes);

	EXPECT_EQ(whole_number("-12", "n", -20, 20), -12);
	for (const char *bad : {"", "1x", "21", "3 ", "99999999999999999999"})
		EXPECT_EQ(message([&] { whole_number(bad, "n", -20, 20); }),
			  std::string("n '") + bad + "': want a number from -20 to 20");
}
