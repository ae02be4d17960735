#include "child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "failure.h"

namespace loadgrid::valgrind {

using runs::Failure;

namespace {

// The children that a stop kills, from their start until they go.
std::mutex listed_lock;
std::set<Child *> listed;
bool stopping = false;

std::vector<char *> pointers(const std::vector<std::string> &strings)
{
	std::vector<char *> out;
	for (const std::string &s : strings)
		out.push_back(const_cast<char *>(s.c_str()));
	out.push_back(nullptr);
	return out;
}

class Actions {
      public:
	Actions() { posix_spawn_file_actions_init(&actions); }
	~Actions() { posix_spawn_file_actions_destroy(&actions); }
	posix_spawn_file_actions_t actions;
};

// A child starts with no signal blocked, and with the signals that this
// program may ignore for itself (a closed pipe, a file too large) as they
// are by default.
class Attributes {
      public:
	Attributes()
	{
		posix_spawnattr_init(&attr);
		sigset_t none, defaults;
		sigemptyset(&none);
		sigemptyset(&defaults);
		sigaddset(&defaults, SIGPIPE);
		sigaddset(&defaults, SIGXFSZ);
		posix_spawnattr_setsigmask(&attr, &none);
		posix_spawnattr_setsigdefault(&attr, &defaults);
		posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
	}
	~Attributes() { posix_spawnattr_destroy(&attr); }
	posix_spawnattr_t attr;
};

void send(Actions &a, int target, const Output &to, int pipe_write)
{
	switch (to.kind) {
	case Output::Null:
		posix_spawn_file_actions_addopen(&a.actions, target, "/dev/null", O_WRONLY, 0);
		break;
	case Output::Pipe: posix_spawn_file_actions_adddup2(&a.actions, pipe_write, target); break;
	case Output::File: posix_spawn_file_actions_adddup2(&a.actions, to.fd, target); break;
	case Output::Stdout: posix_spawn_file_actions_adddup2(&a.actions, 1, target); break;
	case Output::Inherited: break;
	}
}

} // namespace

Child::Child(const std::vector<std::string> &argv, const std::vector<std::string> &env,
	     const std::string &cwd, Output out, Output err, Input input, AtStop at_stop)
{
	int ends[2] = {-1, -1};
	if ((out.kind == Output::Pipe || err.kind == Output::Pipe) && pipe2(ends, O_CLOEXEC))
		throw Failure(std::string("pipe: ") + std::strerror(errno));
	Actions a;
	if (input == Input::Null)
		posix_spawn_file_actions_addopen(&a.actions, 0, "/dev/null", O_RDONLY, 0);
	send(a, 1, out, ends[1]);
	send(a, 2, err, ends[1]);
	posix_spawn_file_actions_addchdir_np(&a.actions, cwd.c_str());
	Attributes attributes;
	std::vector<char *> args = pointers(argv), entries = pointers(env);
	int error = 0;
	bool refused;
	{
		// Listed as it starts, so that no stop can miss it.
		std::lock_guard<std::mutex> hold(listed_lock);
		refused = stopping;
		if (!refused) {
			if (at_stop == AtStop::Killed)
				listed.insert(this);
			error = posix_spawn(&pid_, argv[0].c_str(), &a.actions, &attributes.attr, args.data(),
					    entries.data());
			if (error)
				listed.erase(this);
		}
	}
	if (ends[1] >= 0)
		close(ends[1]);
	pipe_ = ends[0];
	if (refused || error) {
		if (pipe_ >= 0)
			close(pipe_);
		throw Failure(argv[0] + ": " +
			      (refused ? "not started, the program is stopping" : std::strerror(error)));
	}
}

Child::~Child()
{
	{
		std::lock_guard<std::mutex> hold(listed_lock);
		listed.erase(this);
	}
	kill();
	wait();
	if (pipe_ >= 0)
		close(pipe_);
}

std::string Child::read_all()
{
	std::string out;
	char block[1 << 14];
	for (ssize_t got; (got = read(pipe_, block, sizeof block)) != 0;) {
		if (got > 0)
			out.append(block, got);
		else if (errno != EINTR)
			break;
	}
	return out;
}

int Child::wait()
{
	siginfo_t info;
	while (!reaped_ && waitid(P_PID, pid_, &info, WEXITED | WNOWAIT) && errno == EINTR)
		;
	std::lock_guard<std::mutex> hold(lock_);
	if (!reaped_) {
		int st = 0;
		while (waitpid(pid_, &st, 0) < 0 && errno == EINTR)
			;
		returncode_ = runs::returncode(st);
		reaped_ = true;
	}
	return returncode_;
}

bool Child::ended()
{
	std::lock_guard<std::mutex> hold(lock_);
	if (reaped_)
		return true;
	siginfo_t info{};
	return waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
}

void Child::kill()
{
	std::lock_guard<std::mutex> hold(lock_);
	if (!reaped_)
		::kill(pid_, SIGKILL);
}

void Child::kill_all()
{
	std::lock_guard<std::mutex> hold(listed_lock);
	stopping = true;
	for (Child *child : listed)
		child->kill();
}

bool Lines::next(std::string &line)
{
	while (true) {
		std::size_t end = buffer_.find('\n', at_);
		if (end != std::string::npos || (end_ && at_ < buffer_.size())) {
			end = std::min(end, buffer_.size());
			line.assign(buffer_, at_, end - at_);
			at_ = end + 1;
			return true;
		}
		if (end_)
			return false;
		buffer_.erase(0, at_);
		at_ = 0;
		char block[1 << 16];
		ssize_t got = read(fd_, block, sizeof block);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0)
			end_ = true;
		else
			buffer_.append(block, got);
	}
}

} // namespace loadgrid::valgrind
