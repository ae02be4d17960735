#pragma once

#include <string>

namespace loadgrid::store {

// A file or folder that is the store's only while the program runs (a
// ".part" file being written, the folder of models kept for this run only),
// listed where a signal handler can find it until it goes.
class Temporary {
      public:
	explicit Temporary(const std::string &path);
	Temporary(const Temporary &) = delete;
	Temporary &operator=(const Temporary &) = delete;
	// Takes it off the list; removes nothing.
	~Temporary();

      private:
	int slot_;
};

// Removes every listed file, and every listed folder with the files in it,
// and lists no more (a Temporary made after throws Error).
// Async-signal-safe: for the command's handler of SIGTERM and the like,
// before it ends the program without running destructors.
void remove_temporaries() noexcept;

// A fresh folder /tmp/loadgrid-model.XXXXXX, listed, and removed with all
// in it when it goes.
class TemporaryFolder {
      public:
	TemporaryFolder();
	TemporaryFolder(const TemporaryFolder &) = delete;
	TemporaryFolder &operator=(const TemporaryFolder &) = delete;
	~TemporaryFolder();
	const std::string &path() const { return path_; }

      private:
	std::string path_;
	Temporary listed_;
};

} // namespace loadgrid::store
