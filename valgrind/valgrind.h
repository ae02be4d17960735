// Valgrind: finding it, knowing it, and what its runs leave behind.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "run.h"

namespace loadgrid::valgrind {

// valgrind's path in PATH; Failure "valgrind: not found".
std::string valgrind();
// valgrind --version, as its lines.
std::vector<std::string> version();
// Refuses a version that is not one line.
void one_line(const std::vector<std::string> &lines);
// What this Valgrind and this machine are: the files that answer for
// Valgrind (its launcher, as a script's binary too, and its cachegrind and
// memcheck tools) by path and identity; the processor as the kernel
// describes it (its clock rate aside), from which Valgrind makes what a
// program sees of it; and the kernel's release.
std::string identity();
// Start and end address of a function in an executable.
std::pair<std::uint64_t, std::uint64_t> symbol(const std::string &path, const std::string &name);

// The gdb server's pipes that Valgrind makes in its temporary folder
// (TMPDIR in the run's environment, else /tmp) unless told where: it
// removes them as it ends, but cannot when it is killed.  Made when a tool
// starts, this removes, once the tool has ended, those made since by a
// Valgrind that is gone.
class Pipes {
      public:
	explicit Pipes(const runs::Environment &env);
	void remove_left();

      private:
	std::set<std::string> mine() const;
	std::string folder_;
	std::set<std::string> before_;
};

// The process id in a pipe's name; empty if the name is not a pipe's.
std::string pipe_pid(const std::string &name);

} // namespace loadgrid::valgrind
