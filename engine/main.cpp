// loadgrid-engine: a learned kernel model's trace and cache misses.
//
//   loadgrid-engine MODEL trace PASSES SHIFT [fetches] [low32] [lackey]
//   loadgrid-engine MODEL misses PASSES SHIFT[,SHIFT...] SIZE,ASSOC,LINE...
//   loadgrid-engine MODEL report PASSES SHIFT I1 D1 LL [I1 D1 LL]...
//   loadgrid-engine MODEL figures PASSES SHIFT POLICY WRITE kinds|- SIZE,ASSOC,LINE...
//   loadgrid-engine MODEL lab PASSES SHIFT S E B [verbose]
//   loadgrid-engine MODEL accesses PASSES SHIFT
//   loadgrid-engine MODEL indices PASSES SHIFT
//   loadgrid-engine cache SIZE,ASSOC,LINE...
//   loadgrid-engine constants
//
// It checks the model and every argument, and says what is wrong as
// "loadgrid-engine: what: reason" with status 1.
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "d1.h"
#include "model.h"
#include "policy_table.h"
#include "report.h"
#include "trace_count.h"

namespace {

// Writes records as a din trace ("0 ADDR" a read, "1 ADDR" a write, "2 ADDR"
// a fetch, a modify being a read and a write), or as lackey prints them
// ("I  ADDR,SIZE", " L ADDR,SIZE", " S ...", " M ...", at least eight hex
// digits); fetches only if asked for.
class Writer {
      public:
	Writer(bool fetches, bool low32, bool lackey)
	    : fetches(fetches), lackey(lackey), mask(low32 ? 0xffffffffu : ~0ull)
	{
	}

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool)
	{
		if (used > sizeof buf - 128)
			flush();
		addr &= mask;
		if (kind == 'I' && !fetches)
			return;
		if (lackey) {
			put(kind == 'I' ? 'I' : ' ');
			put(kind == 'I' ? ' ' : kind);
			put(' ');
			hex(addr, 8);
			put(',');
			decimal(size);
			put('\n');
			return;
		}
		switch (kind) {
		case 'I': line('2', addr); break;
		case 'L': line('0', addr); break;
		case 'S': line('1', addr); break;
		case 'M':
			line('0', addr);
			line('1', addr);
			break;
		}
	}

	void flush()
	{
		if (used && std::fwrite(buf, 1, used, stdout) != used)
			throw std::runtime_error(std::string("write: ") + std::strerror(errno));
		used = 0;
	}

      private:
	bool fetches, lackey;
	std::uint64_t mask;
	char buf[1 << 16] = {};
	std::size_t used = 0;

	void put(char c) { buf[used++] = c; }

	// In lower-case hex, at least width digits.
	void hex(std::uint64_t v, int width)
	{
		char digits[16];
		int n = 0;
		do
			digits[n++] = "0123456789abcdef"[v & 15];
		while (v >>= 4);
		while (n < width)
			digits[n++] = '0';
		while (n)
			put(digits[--n]);
	}

	void decimal(std::uint32_t v)
	{
		char digits[10];
		int n = 0;
		do
			digits[n++] = char('0' + v % 10);
		while (v /= 10);
		while (n)
			put(digits[--n]);
	}

	void line(char label, std::uint64_t addr)
	{
		put(label);
		put(' ');
		hex(addr, 1);
		put('\n');
	}
};

// A whole decimal number from lo to hi, or what is wrong with it.
long long integer(const char *text, const char *what, long long lo, long long hi)
{
	char *end;
	errno = 0;
	long long v = std::strtoll(text, &end, 10);
	if (!*text || *end || errno || v < lo || v > hi)
		throw std::runtime_error(std::string(what) + " '" + text + "': want a number from " +
					 std::to_string(lo) + " to " + std::to_string(hi));
	return v;
}

// The fields of a comma-separated list.
std::vector<std::string> split(const std::string &text)
{
	std::vector<std::string> out;
	std::size_t at = 0, comma;
	while ((comma = text.find(',', at)) != std::string::npos) {
		out.push_back(text.substr(at, comma - at));
		at = comma + 1;
	}
	out.push_back(text.substr(at));
	return out;
}

// SIZE,ASSOC,LINE in bytes, by cachegrind's rules for a cache: each a
// whole number that fits its int, the line a power of two of at least
// MIN_LINE bytes, a whole power of two of sets, and more than one line.
// Its rule that a line be as wide as the widest register depends on the
// machine, and is the front end's to apply.
CacheShape geometry(const char *text)
{
	auto bad = [&](const char *why) {
		return std::runtime_error(std::string("cache '") + text + "': " + why);
	};
	std::vector<std::string> parts = split(text);
	if (parts.size() != 3)
		throw bad("want SIZE,ASSOC,LINE");
	long long size = integer(parts[0].c_str(), "size", 1, MAX_CACHE_NUMBER);
	long long assoc = integer(parts[1].c_str(), "ways", 1, MAX_CACHE_NUMBER);
	long long line = integer(parts[2].c_str(), "line", MIN_LINE, MAX_CACHE_NUMBER);
	auto pow2 = [](long long n) { return (n & (n - 1)) == 0; };
	if (!pow2(line))
		throw bad("the line size is not a power of two");
	if (size % (line * assoc) || !pow2(size / (line * assoc)))
		throw bad("the set count is not a whole power of two");
	if (size <= line)
		throw bad("the cache holds one line at most");
	return {std::uint64_t(size / line / assoc), unsigned(assoc), unsigned(line)};
}

// Refuses caches whose lines are narrower than the model's widest data
// access: cachegrind cuts such an access short, by a rule not followed
// here.  Any access up to a line's width touches one line or two.
void fits(const Model &m, const CacheShape &g)
{
	unsigned widest = 0;
	for (const Segment *seg : {&m.head, &m.body, &m.boundary, &m.final})
		for (const Rec &r : *seg)
			if (r.kind != 'I' && r.kind != 'C')
				widest = std::max(widest, r.size);
	for (const Segment &seg : m.calls)
		for (const Rec &r : seg)
			if (r.kind != 'I')
				widest = std::max(widest, r.size);
	if (widest > g.line)
		throw std::runtime_error("a line of " + std::to_string(g.line) +
					 " bytes: the run makes data accesses of " +
					 std::to_string(widest) + " bytes, which cachegrind cuts "
					 "short in lines narrower than them");
}

void trace(const Model &m, int passes, std::int64_t shift, char **opts, int n)
{
	Run run(m, passes, shift);
	bool opt[3] = {};
	const char *names[3] = {"fetches", "low32", "lackey"};
	for (int i = 0; i < n; i++) {
		int k = 0;
		while (k < 3 && std::strcmp(opts[i], names[k]))
			k++;
		if (k == 3)
			throw std::runtime_error(std::string("trace: unknown option '") + opts[i] + "'");
		opt[k] = true;
	}
	Writer out(opt[0], opt[1], opt[2]);
	run.all(out);
	out.flush();
}

// Runs job(k) for each k below n, in turn on two threads.
template <class Job> void on_two_threads(std::size_t n, Job job)
{
	std::atomic<std::size_t> next{0};
	auto work = [&] {
		for (std::size_t k; (k = next++) < n;)
			job(k);
	};
	std::thread other(work);
	work();
	other.join();
}

// Per stack shift, per geometry: main's read and write misses and the din
// trace's.
void count_misses(const Model &model, int passes, const std::vector<std::int64_t> &shifts,
		  char **geos, int n)
{
	Model m = model;
	drop_fetches(m);
	// Geometries of one line size share a count, with a level per set
	// count that answers all its ways.
	std::map<unsigned, std::map<std::uint64_t, std::set<unsigned>>> ways; // line -> sets -> ways
	std::vector<CacheShape> shapes;
	for (int i = 0; i < n; i++) {
		CacheShape g = geometry(geos[i]);
		fits(m, g);
		shapes.push_back(g);
		ways[g.line][g.sets].insert(g.assoc);
	}
	if (shapes.empty())
		throw std::runtime_error("misses: no cache given");
	for (std::int64_t shift : shifts)
		Run(m, passes, shift); // the arguments, checked before the threads
	std::vector<D1Count> counts;
	std::vector<std::int64_t> count_shift;
	std::map<unsigned, std::size_t> first; // each line size's count at the first shift
	for (std::int64_t shift : shifts)
		for (const auto &[line, levels] : ways) {
			std::vector<D1Count::Shape> shape;
			for (const auto &[sets, answered] : levels)
				shape.push_back({sets, {answered.begin(), answered.end()}});
			first.try_emplace(line, counts.size());
			counts.emplace_back(shape, line);
			count_shift.push_back(shift);
		}
	on_two_threads(counts.size(),
		       [&](std::size_t g) { replay(m, passes, count_shift[g], counts[g]); });
	for (std::size_t k = 0; k < shifts.size(); k++)
		for (const CacheShape &g : shapes) {
			const auto &levels = ways[g.line];
			std::size_t level = std::distance(levels.begin(), levels.find(g.sets));
			Misses c = counts[first[g.line] + k * ways.size()].misses(level, g.assoc);
			std::printf("%lu %lu %lu %lu\n", (unsigned long)c.main_reads,
				    (unsigned long)c.main_writes, (unsigned long)c.trace_reads,
				    (unsigned long)c.trace_writes);
		}
}

// A policy as the figures command names it: lru, fifo, plru or
// random:SEED (policy_table.h), then back or through.
struct NamedPolicy {
	std::size_t replacement; // its row in REPLACEMENTS
	PolicyOptions options;
};
NamedPolicy named_policy(const std::string &replacement, const std::string &write)
{
	std::optional<FoundReplacement> found = find_replacement(replacement);
	if (!found)
		throw std::runtime_error("policy '" + replacement + "': want " + replacement_names());
	NamedPolicy p{found->row, {}};
	if (found->seed)
		p.options.seed = std::uint64_t(integer(found->seed, "seed", 0, LLONG_MAX));
	if (write != "back" && write != "through")
		throw std::runtime_error("write '" + write + "': want back or through");
	p.options.write_back = write == "back";
	return p;
}

// Per cache: the din trace's figures under one replacement policy, as
// trace_count.h counts them, and the lines left dirty.
template <class Replacement>
void count_figures(const Model &m, int passes, std::int64_t shift, PolicyOptions options,
		   bool kinds, char **geos, int n)
{
	std::vector<TraceCount<Replacement>> counts;
	for (int i = 0; i < n; i++)
		counts.emplace_back(geometry(geos[i]), options, kinds);
	on_two_threads(counts.size(), [&](std::size_t g) { replay(m, passes, shift, counts[g]); });
	for (const TraceCount<Replacement> &c : counts) {
		for (std::uint64_t v : c.n)
			std::printf("%lu ", (unsigned long)v);
		std::printf("%lu\n", (unsigned long)c.dirty_lines());
	}
}

// The figures command: the policy named and checked once, then the count
// compiled for it.
void count_figures(const Model &model, int passes, std::int64_t shift, char **args, int n)
{
	if (n < 4)
		throw std::runtime_error("figures: want POLICY WRITE kinds|- SIZE,ASSOC,LINE...");
	Model m = model;
	drop_fetches(m);
	NamedPolicy policy = named_policy(args[0], args[1]);
	if (std::strcmp(args[2], "kinds") && std::strcmp(args[2], "-"))
		throw std::runtime_error(std::string("figures: '") + args[2] + "': want kinds or -");
	bool kinds = !std::strcmp(args[2], "kinds");
	with_replacement(policy.replacement, [&](auto row) {
		using Replacement = typename decltype(row)::type;
		count_figures<Replacement>(m, passes, shift, policy.options, kinds, args + 3, n - 3);
	});
}

// The lab's convention, over the lackey trace's data records: 2^S sets of
// E ways of 2^B-byte blocks, LRU, writes allocating; each record's block
// that of its address, a modify a load and a store.  With verbose, each
// record and how its accesses went.
void lab(const Model &model, int passes, std::int64_t shift, char **args, int n)
{
	if (n != 3 && !(n == 4 && !std::strcmp(args[3], "verbose")))
		throw std::runtime_error("lab: want S E B [verbose]");
	long long s = integer(args[0], "s", 0, 30), e = integer(args[1], "E", 1, 1 << 16),
		  b = integer(args[2], "b", 0, 30);
	if ((e << s) > (1 << 28))
		throw std::runtime_error("lab: at most 2^28 lines in all");
	CacheShape shape{std::uint64_t(1) << s, unsigned(e), 1u << b};
	TraceCount<LruReplacement> count(shape, PolicyOptions{}, false);
	Model m = model;
	drop_fetches(m);
	if (n == 3) {
		replay(m, passes, shift, count);
	} else {
		std::vector<AccessResult> told;
		count.told = &told;
		auto tell = [&](char kind, std::uint64_t addr, std::uint32_t size, bool) {
			told.clear();
			count(kind, addr, size, false);
			std::printf("%c %lx,%u", kind, (unsigned long)addr, size);
			for (const AccessResult &r : told)
				std::printf(r.hit ? " hit" : r.evicted ? " miss eviction" : " miss");
			std::printf("\n");
		};
		Run(m, passes, shift).all(tell);
	}
	std::uint64_t accesses = count.n[READS] + count.n[WRITES];
	std::uint64_t misses = count.n[READ_MISSES] + count.n[WRITE_MISSES];
	std::printf("hits:%lu misses:%lu evictions:%lu\n", (unsigned long)(accesses - misses),
		    (unsigned long)misses, (unsigned long)count.n[EVICTIONS]);
}

// Per hierarchy of I1, D1 and LL: the events of every line of every
// function, as cachegrind reports them, under a line "report N" that
// counts them; each "EVENTS... LINE FUNCTION<tab>FILE", ??? where unknown.
void report_all(const Model &m, int passes, std::int64_t shift, char **geos, int n)
{
	if (n == 0 || n % 3)
		throw std::runtime_error("report: want caches in threes, I1 D1 LL");
	Run(m, passes, shift); // the arguments, checked before the threads
	std::vector<Hierarchy> hs;
	for (int k = 0; k < n; k += 3) {
		CacheShape i1 = geometry(geos[k]), d1 = geometry(geos[k + 1]), ll = geometry(geos[k + 2]);
		for (const CacheShape &g : {i1, d1, ll})
			fits(m, g);
		hs.emplace_back(i1, d1, ll, m.places.size());
	}
	on_two_threads(hs.size(), [&](std::size_t g) { replay(m, passes, shift, hs[g]); });
	for (const Hierarchy &h : hs) {
		std::vector<std::size_t> seen;
		for (std::size_t f = 0; f < h.cost.size(); f++)
			if (h.cost[f] != Cost{})
				seen.push_back(f);
		std::printf("report %zu\n", seen.size());
		for (std::size_t f : seen) {
			for (std::uint64_t v : h.cost[f])
				std::printf("%lu ", (unsigned long)v);
			const Place &p = m.places[f];
			std::printf("%lu %s\t%s\n", p.source ? m.sources[p.source - 1].line : 0ul,
				    p.function ? m.functions[p.function - 1].name.c_str() : "???",
				    p.source ? m.sources[p.source - 1].file.c_str() : "???");
		}
	}
}

} // namespace

int main(int argc, char **argv)
{
	try {
		if (argc == 2 && std::strcmp(argv[1], "constants") == 0) {
			// what the front end must agree with
			std::printf("format %d\nmax_shift %lld\nlimit %lld\nmin_line %u\nevents",
				    FORMAT, (long long)MAX_SHIFT, MAX_CACHE_NUMBER + 1, MIN_LINE);
			for (const char *e : EVENT_NAMES)
				std::printf(" %s", e);
			std::printf("\n");
			return std::fflush(stdout) ? 1 : 0;
		}
		if (argc > 1 && std::strcmp(argv[1], "cache") == 0) {
			// cache G...: each cache's sets, ways and line, or why not
			for (int i = 2; i < argc; i++) {
				CacheShape g = geometry(argv[i]);
				std::printf("%lu %u %u\n", (unsigned long)g.sets, g.assoc, g.line);
			}
			return std::fflush(stdout) ? 1 : 0;
		}
		if (argc < 5)
			throw std::runtime_error("usage: loadgrid-engine MODEL "
						 "trace|misses|accesses|indices PASSES SHIFT ...");
		Model m = load(argv[1]);
		std::string cmd = argv[2];
		int passes = int(integer(argv[3], "passes", 1, m.passes));
		std::vector<std::int64_t> shifts;
		for (const std::string &s : split(argv[4]))
			shifts.push_back(integer(s.c_str(), "stack shift", -MAX_SHIFT, MAX_SHIFT));
		if (shifts.size() > 1 && cmd != "misses")
			throw std::runtime_error(cmd + ": one stack shift");
		std::int64_t shift = shifts[0];
		if ((cmd == "indices" || cmd == "accesses") && argc > 5)
			throw std::runtime_error(cmd + ": takes nothing more");
		if (cmd == "trace") {
			trace(m, passes, shift, argv + 5, argc - 5);
		} else if (cmd == "misses") {
			count_misses(m, passes, shifts, argv + 5, argc - 5);
		} else if (cmd == "figures") {
			count_figures(m, passes, shift, argv + 5, argc - 5);
		} else if (cmd == "lab") {
			lab(m, passes, shift, argv + 5, argc - 5);
		} else if (cmd == "report") {
			report_all(m, passes, shift, argv + 5, argc - 5);
		} else if (cmd == "indices") {
			// the index that each step reads
			Run run(m, passes, shift);
			for (long t = 0; t < run.steps(); t++)
				std::printf("%ld\n", run.index(t));
		} else if (cmd == "accesses") {
			// main's data accesses as cachegrind counts them: a modify
			// is a read
			Run run(m, passes, shift);
			std::uint64_t n[2] = {};
			auto count = [&](char kind, std::uint64_t, std::uint32_t, bool main) {
				if (main && kind != 'I')
					n[kind == 'S']++;
			};
			run.all(count);
			std::printf("%lu %lu\n", (unsigned long)n[0], (unsigned long)n[1]);
		} else {
			throw std::runtime_error("unknown command '" + cmd + "'");
		}
		if (std::fflush(stdout))
			throw std::runtime_error(std::string("write: ") + std::strerror(errno));
	} catch (const std::exception &e) {
		std::fprintf(stderr, "loadgrid-engine: %s\n", e.what());
		return 1;
	}
	return 0;
}
