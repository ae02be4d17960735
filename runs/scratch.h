// Scratch folders: /tmp/loadgrid-model.XXXXXXXX, eight random characters so
// that every run's path has the canonical run's length.
#pragma once

#include <string>
#include <vector>

namespace loadgrid::runs {

constexpr const char *CANONICAL = "/tmp/loadgrid-model.XXXXXXXX";

// A fresh folder, removed with all it holds when the object goes.  Every
// live one is listed, for the command's signal path (remove_live()).
class Scratch {
      public:
	Scratch();
	~Scratch();
	Scratch(const Scratch &) = delete;
	Scratch &operator=(const Scratch &) = delete;

	const std::string &path() const { return path_; }

      private:
	std::string path_;
};

// The scratch folders now live, in the order they were made.
std::vector<std::string> live_scratch();
// Removes every live scratch folder, and refuses any more (Failure); for a
// program ending on a signal.  Not async-signal-safe: call it from a thread
// that takes signals with sigwait(), or after the handler has only set a
// flag.
void remove_live_scratch();

// Removes a file or a folder with all it holds; errors are ignored.
void remove_tree(const std::string &path);

} // namespace loadgrid::runs
