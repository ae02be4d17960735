// A child process: a program started with an environment and a folder of
// its own, its standard streams sent where asked.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

namespace loadgrid::valgrind {

// Where a child's stdout or stderr goes: nowhere, into a pipe this process
// reads (both may share it), into an open file, with stdout, or where this
// program's goes.
struct Output {
	enum Kind { Null, Pipe, File, Stdout, Inherited } kind = Null;
	int fd = -1;
};

// Its standard input: this program's, or /dev/null.
enum class Input { Inherited, Null };

// What a stop of this program does to it: kill it (kill_all()), or
// leave it to a stop of its own, as a tool that is asked to end first.
enum class AtStop { Killed, Own };

class Child {
      public:
	// argv[0] is the program's path; env holds NAME=VALUE strings.
	Child(const std::vector<std::string> &argv, const std::vector<std::string> &env,
	      const std::string &cwd, Output out, Output err, Input input = Input::Inherited,
	      AtStop at_stop = AtStop::Killed);
	// Kills and reaps it if that has not been done.
	~Child();
	Child(const Child &) = delete;
	Child &operator=(const Child &) = delete;

	pid_t pid() const { return pid_; }
	// The read end of its pipe.
	int pipe() const { return pipe_; }
	// Reads the pipe to its end.
	std::string read_all();
	// Waits for its end and reaps it; the return code as runs::returncode.
	int wait();
	// Whether it has ended, without reaping it.
	bool ended();
	// SIGKILL unless reaped; safe from any thread.
	void kill();

	// Kills every child that a stop kills, started and not yet gone, and
	// refuses to start any more (Failure): for a program that is stopping.
	static void kill_all();

      private:
	pid_t pid_ = -1;
	int pipe_ = -1;
	std::mutex lock_;
	bool reaped_ = false;
	int returncode_ = 0;
};

// Lines of a file descriptor, each without its newline.
class Lines {
      public:
	explicit Lines(int fd) : fd_(fd) {}
	bool next(std::string &line);

      private:
	int fd_;
	std::string buffer_;
	std::size_t at_ = 0;
	bool end_ = false;
};

} // namespace loadgrid::valgrind
