#include "signals.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace loadgrid::cli::signals {

namespace {

sigset_t set;
std::atomic<int> signal_taken{0};
std::mutex mutex;
std::condition_variable released;
std::map<int, std::function<void()>> stops;
std::map<int, std::function<void()>> last; // run again at the end
int next_id = 0;
int holds = 0;

[[noreturn]] void stop(int signum)
{
	std::map<int, std::function<void()>> now;
	{
		std::lock_guard<std::mutex> lock(mutex);
		now = stops;
	}
	for (auto &[id, what] : now)
		what();
	{
		std::unique_lock<std::mutex> lock(mutex);
		released.wait(lock, [] { return holds == 0; });
		for (auto &[id, what] : stops)
			if (!now.count(id))
				what();
		// What the program made while the stops ran.
		for (auto &[id, what] : last)
			what();
	}
	std::fflush(stdout);
	std::fprintf(stderr, "loadgrid-model: SIG%s: stopped\n", sigabbrev_np(signum));
	_exit(128 + signum);
}

} // namespace

void take()
{
	sigemptyset(&set);
	for (int s : {SIGINT, SIGTERM, SIGHUP})
		sigaddset(&set, s);
	pthread_sigmask(SIG_BLOCK, &set, nullptr);
	std::thread([] {
		int signum = 0;
		while (sigwait(&set, &signum) != 0)
			;
		signal_taken = signum;
		stop(signum);
	}).detach();
}

int at_stop(std::function<void()> what, bool again)
{
	std::lock_guard<std::mutex> lock(mutex);
	if (again)
		last[next_id] = what;
	stops[next_id] = std::move(what);
	return next_id++;
}

void forget(int id)
{
	std::lock_guard<std::mutex> lock(mutex);
	stops.erase(id);
	last.erase(id);
}

Hold::Hold()
{
	std::lock_guard<std::mutex> lock(mutex);
	holds++;
}

Hold::~Hold()
{
	{
		std::lock_guard<std::mutex> lock(mutex);
		holds--;
	}
	released.notify_all();
}

int stopping() { return signal_taken; }

const sigset_t &taken() { return set; }

} // namespace loadgrid::cli::signals
