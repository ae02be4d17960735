#include "answers.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <iterator>
#include <set>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include "main_and_cache.h"
#include "policy_table.h"
#include "report.h"

namespace loadgrid::engine {

namespace {

std::runtime_error out_of_range(const std::string &text, const char *what, long long lo, long long hi)
{
	return std::runtime_error(std::string(what) + " '" + text + "': want a number from " +
				  std::to_string(lo) + " to " + std::to_string(hi));
}

void check_range(long long v, const char *what, long long lo, long long hi)
{
	if (v < lo || v > hi)
		throw out_of_range(std::to_string(v), what, lo, hi);
}

// Runs job(k) for each k below n, in turn on two threads; the first
// exception either thread meets is rethrown once both are done.
template <class Job> void on_two_threads(std::size_t n, Job job)
{
	std::atomic<std::size_t> next{0};
	std::exception_ptr failed[2];
	auto work = [&](int me) {
		try {
			for (std::size_t k; (k = next++) < n;)
				job(k);
		} catch (...) {
			failed[me] = std::current_exception();
			next = n;
		}
	};
	std::thread other(work, 1);
	work(0);
	other.join();
	for (const std::exception_ptr &e : failed)
		if (e)
			std::rethrow_exception(e);
}

// The run, its passes and shift checked first as the command's arguments
// are, then by the run's own rules.
Run checked_run(const Model &m, int passes, std::int64_t shift)
{
	check_run(m, passes, shift);
	return Run(m, passes, shift);
}

// Made record by record rather than copied whole and thinned: most records
// are fetches, and every page a whole copy touches costs a short command a
// page fault.
Model without_fetches(const Model &model)
{
	auto data = [](const Segment &seg) {
		Segment out;
		out.reserve(
		    std::count_if(seg.begin(), seg.end(), [](const Rec &r) { return r.kind != 'I'; }));
		std::copy_if(seg.begin(), seg.end(), std::back_inserter(out),
			     [](const Rec &r) { return r.kind != 'I'; });
		return out;
	};
	Model m;
	m.kernel = model.kernel;
	m.arrays = model.arrays;
	m.length = model.length;
	m.steps = model.steps;
	m.passes = model.passes;
	m.stride = model.stride;
	m.reads = model.reads;
	m.head = data(model.head);
	m.body = data(model.body);
	m.boundary = data(model.boundary);
	m.final = data(model.final);
	for (const Segment &seg : model.calls)
		m.calls.push_back(data(seg));
	m.functions = model.functions;
	m.sources = model.sources;
	m.places = model.places;
	return m;
}

// Writes records as a din trace ("0 ADDR" a read, "1 ADDR" a write, "2 ADDR"
// a fetch, a modify being a read and a write), or as lackey prints them
// ("I  ADDR,SIZE", " L ADDR,SIZE", " S ...", " M ...", at least eight hex
// digits); fetches only if asked for.
class Writer {
      public:
	Writer(TraceOptions options, std::FILE *out)
	    : fetches(options.fetches), lackey(options.lackey), mask(options.low32 ? 0xffffffffu : ~0ull),
	      out(out)
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
		if (used && std::fwrite(buf, 1, used, out) != used)
			throw std::runtime_error(std::string("write: ") + std::strerror(errno));
		used = 0;
	}

      private:
	bool fetches, lackey;
	std::uint64_t mask;
	std::FILE *out;
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

// Takes a run's records in turn against those seen, until the first that
// differs or, unless whole, until as many as were seen.
class Comparison {
      public:
	Comparison(const std::vector<Record> &seen, bool whole)
	    : seen(seen), limit(whole ? SIZE_MAX : seen.size())
	{
	}

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool)
	{
		if (done())
			return;
		Record mine{kind, addr, size};
		if (k >= seen.size())
			found = Difference{k, mine, std::nullopt};
		else if (mine != seen[k])
			found = Difference{k, mine, seen[k]};
		k++;
	}

	bool done() const { return found || k >= limit; }

	// Once the run has ended: where the two first differ, if anywhere.
	std::optional<Difference> difference() const
	{
		if (!found && k < seen.size())
			return Difference{k, std::nullopt, seen[k]};
		return found;
	}

      private:
	const std::vector<Record> &seen;
	std::size_t limit;
	std::size_t k = 0;
	std::optional<Difference> found;
};

// A cache's figures from its count, and the kinds' from its fully
// associative one, where counted.
template <class Replacement>
CacheFigures figures_of(const TraceCount<Replacement> &count, const FullCount *full)
{
	CacheFigures f;
	std::copy(count.n.begin(), count.n.end(), f.begin());
	if (full)
		for (Figure e : {FULL_MISSES, COMPULSORY})
			f[e] = full->n[e];
	f[FIGURES] = count.dirty_lines();
	return f;
}

// With the kinds, main's misses and an LRU cache's that writes back, each
// cache's two counts in one replay (MainAndCache), beside its fully
// associative one.
std::vector<CacheFigures> paired_figures(const Model &m, int passes, std::int64_t shift,
					 const std::vector<CacheShape> &caches, std::vector<Misses> &mains)
{
	fits(m, caches);
	std::vector<FullCount> fulls;
	std::vector<MainAndCache> pairs;
	for (const CacheShape &g : caches) {
		fulls.emplace_back(g, true);
		pairs.emplace_back(g);
	}
	on_two_threads(fulls.size() + pairs.size(), [&](std::size_t k) {
		if (k < fulls.size())
			replay(m, passes, shift, fulls[k]);
		else
			replay(m, passes, shift, pairs[k - fulls.size()]);
	});
	std::vector<CacheFigures> out;
	mains.clear();
	for (std::size_t k = 0; k < caches.size(); k++) {
		out.push_back(figures_of(pairs[k].cache, &fulls[k]));
		mains.push_back(pairs[k].main.misses(0, caches[k].assoc));
	}
	return out;
}

template <class Replacement>
std::vector<CacheFigures> count_figures(const Model &m, int passes, std::int64_t shift, PolicyOptions options,
					bool kinds, const std::vector<CacheShape> &caches,
					std::vector<Misses> *mains)
{
	// Main's misses come from a count of their own (misses_at), beside
	// the caches'.  But with the kinds, each cache's fully associative
	// count runs beside it too: of three counts on two cores, two would
	// run one after the other.  So an LRU cache that writes back, which
	// keeps its lines as main's count does, shares its replay with main's
	// where the run never repeats (one that repeats runs each count's
	// passes in its own way).
	if constexpr (std::is_same_v<Replacement, LruReplacement>)
		if (mains && kinds && options.write_back && !Run::periodic(m))
			return paired_figures(m, passes, shift, caches, *mains);
	std::vector<TraceCount<Replacement>> counts;
	std::vector<FullCount> fulls;
	for (const CacheShape &g : caches) {
		counts.emplace_back(g, options);
		if (kinds)
			fulls.emplace_back(g, options.write_back);
	}
	// The counts that take longest start first: a fully associative
	// cache's, then main's.
	std::size_t before = fulls.size() + (mains ? 1 : 0); // the jobs before the caches'
	on_two_threads(before + counts.size(), [&](std::size_t k) {
		if (k < fulls.size())
			replay(m, passes, shift, fulls[k]);
		else if (k < before)
			*mains = misses_at(m, passes, {shift}, caches).at(0);
		else
			replay_figures(m, passes, shift, counts[k - before]);
	});
	std::vector<CacheFigures> out;
	for (std::size_t k = 0; k < counts.size(); k++)
		out.push_back(figures_of(counts[k], kinds ? &fulls[k] : nullptr));
	return out;
}

void check_lab(int s, int e, int b)
{
	check_range(s, "s", 0, LAB_MAX_BITS);
	check_range(e, "E", 1, LAB_MAX_WAYS);
	check_range(b, "b", 0, LAB_MAX_BITS);
	if ((std::int64_t(e) << s) > (std::int64_t(1) << LAB_LINE_BITS))
		throw std::runtime_error("lab: at most 2^" + std::to_string(LAB_LINE_BITS) + " lines in all");
}

} // namespace

long long whole_number(const std::string &text, const char *what, long long lo, long long hi)
{
	char *end;
	errno = 0;
	long long v = std::strtoll(text.c_str(), &end, 10);
	if (text.empty() || *end || errno || v < lo || v > hi)
		throw out_of_range(text, what, lo, hi);
	return v;
}

void check_run(const Model &m, int passes, std::int64_t shift)
{
	check_range(passes, "passes", 1, m.passes);
	check_range(shift, "stack shift", -MAX_SHIFT, MAX_SHIFT);
	Run::check(m, passes, shift);
}

void fits(const Model &m, const std::vector<CacheShape> &caches)
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
	for (const CacheShape &g : caches)
		if (widest > g.line)
			throw std::runtime_error("a line of " + std::to_string(g.line) +
						 " bytes: the run makes data accesses of " + std::to_string(widest) +
						 " bytes, which cachegrind cuts short in lines narrower than them");
}

std::vector<std::vector<Misses>> misses_at(const Model &model, int passes,
					   const std::vector<std::int64_t> &shifts,
					   const std::vector<CacheShape> &caches)
{
	fits(model, caches);
	if (caches.empty())
		throw std::runtime_error("misses: no cache given");
	for (std::int64_t shift : shifts)
		check_run(model, passes, shift); // before the threads
	Model m = without_fetches(model);
	// Caches of one line size share a count, with a level per set count
	// that answers all its ways.
	std::map<unsigned, std::map<std::uint64_t, std::set<unsigned>>> ways; // line -> sets -> ways
	for (const CacheShape &g : caches)
		ways[g.line][g.sets].insert(g.assoc);
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
	on_two_threads(counts.size(), [&](std::size_t g) { replay(m, passes, count_shift[g], counts[g]); });
	std::vector<std::vector<Misses>> out(shifts.size());
	for (std::size_t k = 0; k < shifts.size(); k++)
		for (const CacheShape &g : caches) {
			const auto &levels = ways[g.line];
			std::size_t level = std::distance(levels.begin(), levels.find(g.sets));
			out[k].push_back(counts[first[g.line] + k * ways.size()].misses(level, g.assoc));
		}
	return out;
}

std::vector<std::vector<ReportRow>> report(const Model &m, int passes, std::int64_t shift,
					   const std::vector<Levels> &hierarchies)
{
	if (hierarchies.empty())
		throw std::runtime_error("report: want caches in threes, I1 D1 LL");
	check_run(m, passes, shift); // before the threads
	std::vector<CacheShape> caches;
	for (const Levels &levels : hierarchies)
		caches.insert(caches.end(), levels.begin(), levels.end());
	fits(m, caches);
	std::vector<Hierarchy> hs;
	for (const Levels &levels : hierarchies)
		hs.emplace_back(levels[0], levels[1], levels[2], m.places.size());
	on_two_threads(hs.size(), [&](std::size_t g) { replay(m, passes, shift, hs[g]); });
	std::vector<std::vector<ReportRow>> out;
	for (const Hierarchy &h : hs) {
		out.emplace_back();
		for (std::size_t f = 0; f < h.cost.size(); f++) {
			if (h.cost[f] == Cost{})
				continue;
			const Place &p = m.places[f];
			out.back().push_back({h.cost[f], p.source ? m.sources[p.source - 1].line : 0ul,
					      p.function ? m.functions[p.function - 1].name : "???",
					      p.source ? m.sources[p.source - 1].file : "???"});
		}
	}
	return out;
}

Places by_place(const std::vector<ReportRow> &rows)
{
	Places out;
	for (const ReportRow &r : rows) {
		Cost &sum = out.try_emplace({r.file, r.function, r.line}, Cost{}).first->second;
		for (int e = 0; e < EVENTS; e++)
			sum[e] += r.events[e];
	}
	return out;
}

Policy named_policy(const std::string &name, bool write_back)
{
	std::optional<FoundReplacement> found = find_replacement(name);
	if (!found)
		throw std::runtime_error("policy '" + name + "': want " + replacement_names());
	Policy p{found->row, {}};
	if (found->seed)
		p.options.seed = std::uint64_t(whole_number(found->seed, "seed", 0, LLONG_MAX));
	p.options.write_back = write_back;
	return p;
}

std::vector<CacheFigures> figures(const Model &model, int passes, std::int64_t shift, const Policy &policy,
				  bool kinds, const std::vector<CacheShape> &caches, std::vector<Misses> *mains)
{
	check_run(model, passes, shift); // before the threads
	Model m = without_fetches(model);
	std::vector<CacheFigures> out;
	with_replacement(policy.replacement, [&](auto row) {
		using Replacement = typename decltype(row)::type;
		out = count_figures<Replacement>(m, passes, shift, policy.options, kinds, caches, mains);
	});
	return out;
}

void trace(const Model &m, int passes, std::int64_t shift, TraceOptions options, std::FILE *out)
{
	Run run = checked_run(m, passes, shift);
	Writer writer(options, out);
	run.all(writer);
	writer.flush();
}

// The lab's convention, over the lackey trace's data records: LRU, writes
// allocating; each record's block that of its address, a modify a load and
// a store.
void lab(const Model &model, int passes, std::int64_t shift, int s, int e, int b, bool verbose,
	 std::FILE *out)
{
	check_lab(s, e, b);
	check_run(model, passes, shift);
	CacheShape shape{std::uint64_t(1) << s, unsigned(e), 1u << b};
	TraceCount<LruReplacement> count(shape, PolicyOptions{});
	Model m = without_fetches(model);
	if (!verbose) {
		replay(m, passes, shift, count);
	} else {
		std::vector<AccessResult> told;
		count.told = &told;
		auto tell = [&](char kind, std::uint64_t addr, std::uint32_t size, bool) {
			told.clear();
			count(kind, addr, size, false);
			std::fprintf(out, "%c %lx,%u", kind, (unsigned long)addr, size);
			for (const AccessResult &r : told)
				std::fputs(r.hit ? " hit" : r.evicted ? " miss eviction" : " miss", out);
			std::fputc('\n', out);
		};
		Run(m, passes, shift).all(tell);
	}
	std::uint64_t accesses = count.n[READS] + count.n[WRITES];
	std::uint64_t misses = count.n[READ_MISSES] + count.n[WRITE_MISSES];
	std::fprintf(out, "hits:%lu misses:%lu evictions:%lu\n", (unsigned long)(accesses - misses),
		     (unsigned long)misses, (unsigned long)count.n[EVICTIONS]);
}

std::array<std::uint64_t, 2> accesses(const Model &m, int passes, std::int64_t shift)
{
	Run run = checked_run(m, passes, shift);
	std::array<std::uint64_t, 2> n{};
	auto count = [&](char kind, std::uint64_t, std::uint32_t, bool main) {
		if (main && kind != 'I')
			n[kind == 'S']++;
	};
	run.all(count);
	return n;
}

std::vector<long> indices(const Model &m, int passes, std::int64_t shift)
{
	Run run = checked_run(m, passes, shift);
	std::vector<long> out;
	for (long t = 0; t < run.steps(); t++)
		out.push_back(run.index(t));
	return out;
}

std::optional<Difference> first_difference(const Model &m, int passes, const std::vector<Record> &seen,
					   bool whole)
{
	Run run = checked_run(m, passes, 0);
	Comparison compared(seen, whole);
	run.head(compared);
	for (long t = 0; t < run.steps() && !compared.done(); t++)
		run.step(t, compared);
	return compared.difference();
}

} // namespace loadgrid::engine
