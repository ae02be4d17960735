// A kernel's run under lackey: its records, and what they tell of where
// the stack stands.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "failure.h"
#include "record.h"
#include "run.h"

namespace loadgrid::valgrind {

// Stops the run at an instruction through Valgrind's gdb server and stores
// a 32-bit value at an address before it goes on.
struct Poke {
	std::uint64_t insn, addr;
	std::int64_t value;
};

// A run under lackey that went to its end with another status than 0.
class EndedBadly : public runs::Failure {
      public:
	using runs::Failure::Failure;
};

// The record of a line of lackey's trace; none for Valgrind's own lines;
// Failure for a line that starts as a record but is not one.
std::optional<Record> record(const std::string &line);

// A run's records as lackey prints them.  stop, if given, sees each record
// and returns true to end the run there.  args are arguments to give the
// kernel; text, if given, gets each record's line as lackey wrote it.
// EndedBadly for a run that went to its end and did not exit with 0.
std::vector<Record> lackey(const runs::Run &run, const std::function<bool(const Record &)> &stop = {},
			   const std::optional<Poke> &poke = {}, const std::vector<std::string> &args = {},
			   std::vector<std::string> *text = nullptr);

// Where the stack pointer stands as main starts in a run: just above main's
// first push, which lackey sees.
std::uint64_t main_sp(const runs::Run &run);

// The canonical run but for one variable in its environment, long enough to
// put main's stack shift bytes lower (shift >= 0).
runs::Run shifted(const std::string &kernel, std::int64_t shift);

} // namespace loadgrid::valgrind
