// What the engine answers about a learned model, as data, for the command
// that links it.
//
// Every function checks its arguments and throws std::runtime_error saying
// what is wrong, in the words the command prints after its name.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "cache.h"
#include "d1.h"
#include "model.h"
#include "policy_cache.h"
#include "record.h"
#include "replay.h"
#include "trace_count.h"

namespace loadgrid::engine {

// A whole decimal number from lo to hi, or "WHAT 'TEXT': want a number
// from LO to HI".
long long whole_number(const std::string &text, const char *what, long long lo, long long hi);

// A run's passes (1 to the model's) and stack shift (a multiple of 16
// within MAX_SHIFT).
void check_run(const Model &m, int passes, std::int64_t shift);

// Refuses caches whose lines are narrower than the model's widest data
// access: cachegrind cuts such an access short, by a rule not followed
// here.
void fits(const Model &m, const std::vector<CacheShape> &caches);

// Per stack shift, per cache: main's D1 read and write misses as
// cachegrind counts them, and the din trace's.
std::vector<std::vector<Misses>> misses_at(const Model &m, int passes,
					   const std::vector<std::int64_t> &shifts,
					   const std::vector<CacheShape> &caches);

// I1, D1 and LL.
using Levels = std::array<CacheShape, 3>;

// A line of source's events, as cachegrind counts them; line 0 and "???"
// where not known.
struct ReportRow {
	Cost events;
	unsigned long line;
	std::string function, file;
};

// Per hierarchy: a row for each place of the model that made any event,
// in the model's order.  Places of different functions or addresses can
// share a line of source: by_place() sums them.
std::vector<std::vector<ReportRow>> report(const Model &m, int passes, std::int64_t shift,
					   const std::vector<Levels> &hierarchies);

// Events by (file, function, line): cachegrind::Places, which is this
// same type.
using Places = std::map<std::tuple<std::string, std::string, std::uint64_t>, Cost>;
Places by_place(const std::vector<ReportRow> &rows);

// A replacement policy as the figures command names it (lru, fifo, plru or
// random:SEED; policy_table.h), writing back or through.
struct Policy {
	std::size_t replacement; // its row in REPLACEMENTS
	PolicyOptions options;
};
Policy named_policy(const std::string &name, bool write_back);

// trace_count.h's figures, then the lines left dirty.
using CacheFigures = std::array<std::uint64_t, FIGURES + 1>;

// Per cache: the din trace's figures under a policy, with the kinds of
// miss if asked for; and, where mains is given, main's misses in each
// cache as misses_at() counts them, on the same two threads.
std::vector<CacheFigures> figures(const Model &m, int passes, std::int64_t shift, const Policy &policy,
				  bool kinds, const std::vector<CacheShape> &caches,
				  std::vector<Misses> *mains = nullptr);

struct TraceOptions {
	bool fetches = false; // the instructions' fetches too
	bool low32 = false;   // only the addresses' low 32 bits
	bool lackey = false;  // as lackey prints records, not as a din trace
};

// Writes the run's trace to out.
void trace(const Model &m, int passes, std::int64_t shift, TraceOptions options, std::FILE *out);

// The lab's cache: 2^s sets of e ways of 2^b-byte blocks, at most
// 2^LAB_LINE_BITS lines in all.
constexpr int LAB_MAX_BITS = 30;
constexpr int LAB_MAX_WAYS = 1 << 16;
constexpr int LAB_LINE_BITS = 28;

// Writes the lab's hits, misses and evictions over the lackey trace's data
// records to out, each record and how its accesses went first if verbose.
void lab(const Model &m, int passes, std::int64_t shift, int s, int e, int b, bool verbose, std::FILE *out);

// Main's data reads and writes as cachegrind counts them: a modify is a
// read.
std::array<std::uint64_t, 2> accesses(const Model &m, int passes, std::int64_t shift);

// The index that each step reads.
std::vector<long> indices(const Model &m, int passes, std::int64_t shift);

// Where two traces first differ: the record's number from 0, and the
// record of each there, nullopt where that trace has ended.
struct Difference {
	std::size_t k;
	std::optional<Record> mine, real;
};

// The model's run of some passes at shift 0, fetches and all, against
// records seen in a real one: all of the model's if whole, else as many as
// were seen.  nullopt where they agree.
std::optional<Difference> first_difference(const Model &m, int passes, const std::vector<Record> &seen,
					   bool whole);

} // namespace loadgrid::engine
