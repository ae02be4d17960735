// A kernel's run rebuilt from its access pattern and a learned model of
// the records around its reads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

enum : std::uint8_t {
	STACK = 1, // the address moves with the stack
	MAIN = 2,  // made by one of main's own instructions
	ARRAY = 4, // an array read: addr holds the array number
	CALL = 8,  // where main's next call out goes
};

struct Rec {
	char kind; // I, L, S or M, as lackey names them
	std::uint8_t flags;
	std::uint32_t size;
	std::uint64_t addr;
	std::uint32_t fn = 0; // the place of its instruction in Model::places
};

// A function of the executable, as the learner names it.
struct Function {
	std::uint64_t start, end;
	std::string name;
};

// A line of source, from the executable's line table: the instructions
// from start to before end were made from it.
struct Source {
	std::uint64_t start, end;
	unsigned long line;
	std::string file;
};

// Where cachegrind counts an instruction's events: its function and its
// line of source, each a number from 1, or 0 for none known.
struct Place {
	std::uint32_t function, source;
	bool operator<(const Place &o) const
	{
		return function != o.function ? function < o.function : source < o.source;
	}
};

using Segment = std::vector<Rec>;

// Where a record of a known address lies in a run with the stack shift
// bytes lower.
inline std::uint64_t place(const Rec &r, std::int64_t shift)
{
	return r.flags & STACK ? r.addr - std::uint64_t(shift) : r.addr;
}

struct Model {
	std::string kernel;
	int arrays = 0;                   // how many arrays a step reads
	long length = 0;                  // elements in each array
	long steps = 0;                   // steps in a pass
	int passes = 0;                   // passes in the whole run
	long stride = 0;                  // index = stride * step; 0: rand
	std::vector<std::uint64_t> reads; // step 0's array reads
	Segment head;                     // all before step 0's first read
	Segment body;                     // a step within a pass
	Segment boundary;                 // a pass's last step
	Segment final;                    // the run's last step, to the end
	std::vector<Segment> calls;       // the loop's calls, one period
	std::vector<Function> functions;  // by address; function k is functions[k - 1]
	std::vector<Source> sources;      // by address; source k is sources[k - 1]
	std::vector<Place> places;        // every record's, the first {0, 0}
};

constexpr int FORMAT = 4; // the model file's, on its first line
constexpr int MAX_ARRAYS = 64;
constexpr int ELEM = 4;
constexpr std::int64_t MAX_SHIFT = std::int64_t(1) << 30; // half the largest cache

// Reads a model written by the learner, checking every field; throws
// std::runtime_error saying "FILE: line N: reason".
Model load(const std::string &path);
// The same of a model's text, the reasons starting "NAME: ".
Model parse(std::string_view text, const std::string &name);

// Leaves only the data accesses.
void drop_fetches(Model &m);

// The run of a model for some passes, with the stack shift bytes lower,
// record by record into a sink: sink(kind, addr, size, main).
class Run {
      public:
	// passes from 1 to m.passes, shift a multiple of 16 within MAX_SHIFT:
	// both checked, throwing std::runtime_error.
	Run(const Model &m, int passes, std::int64_t shift);
	// The same checks alone.
	static void check(const Model &m, int passes, std::int64_t shift);

	// Whether every pass makes the same records from the same state.
	static bool periodic(const Model &m) { return m.calls.empty() && m.stride; }
	bool periodic() const { return periodic(m); }
	long steps() const { return long(passes) * m.steps; }

	template <class Sink> void head(Sink &out) { emit(m.head, 0, out); }

	template <class Sink> void step(long t, Sink &out)
	{
		const Segment &seg = last(t) ? m.final : ends_pass(t) ? m.boundary : m.body;
		emit(seg, index(t), out);
	}

	template <class Sink> void all(Sink &out)
	{
		head(out);
		for (long t = 0; t < steps(); t++)
			step(t, out);
	}

	bool last(long t) const { return t == steps() - 1; }
	bool ends_pass(long t) const { return (t + 1) % m.steps == 0; }
	// The index that step t reads, and array j's element i.
	long index(long t) const;
	std::uint64_t address(int j, long i) const { return base[j] + ELEM * i; }
	// Which of the calls of one period main's next call out makes, and
	// its records.
	std::size_t next_call() { return ncall++ % m.calls.size(); }

      private:
	const Model &m;
	int passes;
	std::uint64_t shift; // two's complement: a negative shift moves up
	std::vector<std::uint64_t> base; // each array's element 0, shifted
	std::vector<std::int32_t> draws;  // rand()'s results, where it is used
	std::size_t ncall = 0;

	template <class Sink> void emit(const Segment &seg, long i, Sink &out)
	{
		for (const Rec &r : seg) {
			if (r.flags & CALL) {
				emit(m.calls[next_call()], i, out);
				continue;
			}
			std::uint64_t a = r.flags & ARRAY ? address(r.addr, i) : place(r, shift);
			if constexpr (std::is_invocable_v<Sink &, char, std::uint64_t, std::uint32_t,
							  bool, std::uint32_t>)
				out(r.kind, a, r.size, (r.flags & MAIN) != 0, r.fn);
			else
				out(r.kind, a, r.size, (r.flags & MAIN) != 0);
		}
	}
};

// The C library's rand() from its unseeded state: the additive feedback
// generator of degree 31 that glibc seeds with 1.
std::vector<std::int32_t> glibc_rand(std::size_t n);
