// What the programs say when a tool could not run, or a run is not what it
// should be; and a child's end in words.
#pragma once

#include <stdexcept>
#include <string>

namespace loadgrid::runs {

// what() is the text the command prints after "loadgrid-model: ".
class Failure : public std::runtime_error {
      public:
	using std::runtime_error::runtime_error;
};

// A child's end in words, from its return code: the exit status, or minus
// the signal that killed it ("exit status 1", "killed by SIGKILL").
std::string status(int returncode);
// The return code of a status that waitpid() gave.
int returncode(int wait_status);

} // namespace loadgrid::runs
