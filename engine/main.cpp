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
// "loadgrid-engine: what: reason" with status 1.  The answers are
// answers.h's; this reads the arguments and prints them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "answers.h"
#include "cache.h"
#include "model.h"
#include "replay.h"

namespace {

using namespace loadgrid::engine;

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
	long long size = whole_number(parts[0], "size", 1, MAX_CACHE_NUMBER);
	long long assoc = whole_number(parts[1], "ways", 1, MAX_CACHE_NUMBER);
	long long line = whole_number(parts[2], "line", MIN_LINE, MAX_CACHE_NUMBER);
	auto pow2 = [](long long n) { return (n & (n - 1)) == 0; };
	if (!pow2(line))
		throw bad("the line size is not a power of two");
	if (size % (line * assoc) || !pow2(size / (line * assoc)))
		throw bad("the set count is not a whole power of two");
	if (size <= line)
		throw bad("the cache holds one line at most");
	return {std::uint64_t(size / line / assoc), unsigned(assoc), unsigned(line)};
}

void print_trace(const Model &m, int passes, std::int64_t shift, char **opts, int n)
{
	check_run(m, passes, shift);
	TraceOptions options;
	for (int i = 0; i < n; i++) {
		if (!std::strcmp(opts[i], "fetches"))
			options.fetches = true;
		else if (!std::strcmp(opts[i], "low32"))
			options.low32 = true;
		else if (!std::strcmp(opts[i], "lackey"))
			options.lackey = true;
		else
			throw std::runtime_error(std::string("trace: unknown option '") + opts[i] + "'");
	}
	trace(m, passes, shift, options, stdout);
}

void print_misses(const Model &m, int passes, const std::vector<std::int64_t> &shifts, char **geos, int n)
{
	// Each cache read and fitted in turn, so that the first bad one is
	// the one refused.
	std::vector<CacheShape> caches;
	for (int i = 0; i < n; i++) {
		caches.push_back(geometry(geos[i]));
		fits(m, caches.back());
	}
	for (const std::vector<Misses> &at_shift : misses_at(m, passes, shifts, caches))
		for (const Misses &c : at_shift)
			std::printf("%lu %lu %lu %lu\n", (unsigned long)c.main_reads,
				    (unsigned long)c.main_writes, (unsigned long)c.trace_reads,
				    (unsigned long)c.trace_writes);
}

// POLICY WRITE kinds|- SIZE,ASSOC,LINE...
void print_figures(const Model &m, int passes, std::int64_t shift, char **args, int n)
{
	if (n < 4)
		throw std::runtime_error("figures: want POLICY WRITE kinds|- SIZE,ASSOC,LINE...");
	Policy policy = named_policy(args[0], true);
	std::string write = args[1];
	if (write != "back" && write != "through")
		throw std::runtime_error("write '" + write + "': want back or through");
	policy.options.write_back = write == "back";
	if (std::strcmp(args[2], "kinds") && std::strcmp(args[2], "-"))
		throw std::runtime_error(std::string("figures: '") + args[2] + "': want kinds or -");
	bool kinds = !std::strcmp(args[2], "kinds");
	std::vector<CacheShape> caches;
	for (int i = 3; i < n; i++)
		caches.push_back(geometry(args[i]));
	for (const CacheFigures &f : figures(m, passes, shift, policy, kinds, caches)) {
		for (std::size_t k = 0; k < f.size(); k++)
			std::printf(k + 1 < f.size() ? "%lu " : "%lu\n", (unsigned long)f[k]);
	}
}

// S E B [verbose]
void print_lab(const Model &m, int passes, std::int64_t shift, char **args, int n)
{
	if (n != 3 && !(n == 4 && !std::strcmp(args[3], "verbose")))
		throw std::runtime_error("lab: want S E B [verbose]");
	int s = int(whole_number(args[0], "s", 0, LAB_MAX_BITS));
	int e = int(whole_number(args[1], "E", 1, LAB_MAX_WAYS));
	int b = int(whole_number(args[2], "b", 0, LAB_MAX_BITS));
	lab(m, passes, shift, s, e, b, n == 4, stdout);
}

// Per hierarchy of I1, D1 and LL, a line "report N" that counts the lines
// after it, each "EVENTS... LINE FUNCTION<tab>FILE".
void print_reports(const Model &m, int passes, std::int64_t shift, char **geos, int n)
{
	if (n == 0 || n % 3)
		throw std::runtime_error("report: want caches in threes, I1 D1 LL");
	check_run(m, passes, shift);
	std::vector<Levels> hierarchies;
	for (int k = 0; k < n; k += 3) {
		Levels h{geometry(geos[k]), geometry(geos[k + 1]), geometry(geos[k + 2])};
		for (const CacheShape &g : h)
			fits(m, g);
		hierarchies.push_back(h);
	}
	for (const std::vector<ReportRow> &rows : report(m, passes, shift, hierarchies)) {
		std::printf("report %zu\n", rows.size());
		for (const ReportRow &r : rows) {
			for (std::uint64_t v : r.events)
				std::printf("%lu ", (unsigned long)v);
			std::printf("%lu %s\t%s\n", r.line, r.function.c_str(), r.file.c_str());
		}
	}
}

void print_constants()
{
	// what the front end must agree with
	std::printf("format %d\nmax_shift %lld\nlimit %lld\nmin_line %u\nevents", FORMAT,
		    (long long)MAX_SHIFT, MAX_CACHE_NUMBER + 1, MIN_LINE);
	for (const char *e : EVENT_NAMES)
		std::printf(" %s", e);
	std::printf("\n");
}

// Each cache's sets, ways and line, or why not.
void print_caches(char **geos, int n)
{
	for (int i = 0; i < n; i++) {
		CacheShape g = geometry(geos[i]);
		std::printf("%lu %u %u\n", (unsigned long)g.sets, g.assoc, g.line);
	}
}

void answer(const Model &m, const std::string &cmd, int passes, const std::vector<std::int64_t> &shifts,
	    char **args, int n)
{
	std::int64_t shift = shifts[0];
	if (cmd == "trace") {
		print_trace(m, passes, shift, args, n);
	} else if (cmd == "misses") {
		print_misses(m, passes, shifts, args, n);
	} else if (cmd == "figures") {
		print_figures(m, passes, shift, args, n);
	} else if (cmd == "lab") {
		print_lab(m, passes, shift, args, n);
	} else if (cmd == "report") {
		print_reports(m, passes, shift, args, n);
	} else if (cmd == "indices") {
		for (long i : indices(m, passes, shift))
			std::printf("%ld\n", i);
	} else if (cmd == "accesses") {
		std::array<std::uint64_t, 2> n = accesses(m, passes, shift);
		std::printf("%lu %lu\n", (unsigned long)n[0], (unsigned long)n[1]);
	} else {
		throw std::runtime_error("unknown command '" + cmd + "'");
	}
}

} // namespace

int main(int argc, char **argv)
{
	try {
		if (argc == 2 && std::strcmp(argv[1], "constants") == 0) {
			print_constants();
			return std::fflush(stdout) ? 1 : 0;
		}
		if (argc > 1 && std::strcmp(argv[1], "cache") == 0) {
			print_caches(argv + 2, argc - 2);
			return std::fflush(stdout) ? 1 : 0;
		}
		if (argc < 5)
			throw std::runtime_error("usage: loadgrid-engine MODEL "
						 "trace|misses|accesses|indices PASSES SHIFT ...");
		Model m = load(argv[1]);
		std::string cmd = argv[2];
		int passes = int(whole_number(argv[3], "passes", 1, m.passes));
		std::vector<std::int64_t> shifts;
		for (const std::string &s : split(argv[4]))
			shifts.push_back(whole_number(s, "stack shift", -MAX_SHIFT, MAX_SHIFT));
		if (shifts.size() > 1 && cmd != "misses")
			throw std::runtime_error(cmd + ": one stack shift");
		if ((cmd == "indices" || cmd == "accesses") && argc > 5)
			throw std::runtime_error(cmd + ": takes nothing more");
		answer(m, cmd, passes, shifts, argv + 5, argc - 5);
		if (std::fflush(stdout))
			throw std::runtime_error(std::string("write: ") + std::strerror(errno));
	} catch (const std::exception &e) {
		std::fprintf(stderr, "loadgrid-engine: %s\n", e.what());
		return 1;
	}
	return 0;
}
