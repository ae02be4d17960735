// A kernel's run rebuilt from its access pattern and a learned model of
// the records around its reads.
#pragma once

#include <cstdint>
#include <string>
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
};

using Segment = std::vector<Rec>;

struct Model {
	std::string kernel;
	std::vector<std::uint64_t> reads; // step 0's array reads
	Segment head;                     // all before step 0's first read
	Segment body;                     // a step within a pass
	Segment boundary;                 // a pass's last step
	Segment final;                    // the run's last step, to the end
	std::vector<Segment> calls;       // the loop's calls, one period
};

constexpr int ARRAYS = 20;
constexpr int STEPS = 600;
constexpr int PASSES = 1000;
constexpr int ELEM = 4;

// Reads a model written by the learner; throws std::runtime_error.
Model load(const std::string &path);

// Leaves only the data accesses.
void drop_fetches(Model &m);

// The run of a model for some passes, with the stack shift bytes lower,
// record by record into a sink: sink(kind, addr, size, main).
class Run {
      public:
	Run(const Model &m, int passes, std::uint64_t shift);

	// Whether every pass makes the same records from the same state.
	bool periodic() const { return m.calls.empty() && m.kernel != "loadgrid2"; }
	long steps() const { return long(passes) * STEPS; }

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
	static bool ends_pass(long t) { return (t + 1) % STEPS == 0; }
	// The index that step t reads, and array j's element i.
	long index(long t) const;
	std::uint64_t address(int j, long i) const { return base[j] + ELEM * i; }
	// Which of the calls of one period main's next call out makes, and
	// its records.
	std::size_t next_call() { return ncall++ % m.calls.size(); }

      private:
	const Model &m;
	int passes;
	std::uint64_t shift;
	std::vector<std::uint64_t> base; // each array's element 0, shifted
	std::vector<std::int32_t> draws;  // rand()'s results, for loadgrid2
	std::size_t ncall = 0;

	template <class Sink> void emit(const Segment &seg, long i, Sink &out)
	{
		for (const Rec &r : seg) {
			if (r.flags & CALL) {
				emit(m.calls[next_call()], i, out);
				continue;
			}
			std::uint64_t a = r.flags & ARRAY ? address(r.addr, i)
					  : r.flags & STACK ? r.addr - shift
							    : r.addr;
			out(r.kind, a, r.size, (r.flags & MAIN) != 0);
		}
	}
};

// The C library's rand() from its unseeded state: the additive feedback
// generator of degree 31 that glibc seeds with 1.
std::vector<std::int32_t> glibc_rand(std::size_t n);
