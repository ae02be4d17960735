#include "signals.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace loadgrid::cli::signals {

namespace {

sigset_t set;
std::atomic<int> signal_taken{0};
std::mutex mutex;
std::condition_variable released;
std::map<int, std::function<void()>> stops;
std::map<int, std::function<void()>> last; // removals, run at the end
int next_id = 0;
int holds = 0;

// Runs, in the order they were asked for, the stops not run yet but the
// removals, which wait for the end.
void stop_work(std::unique_lock<std::mutex> &lock, std::set<int> &done)
{
	for (auto at = stops.begin(); at != stops.end();) {
		auto [id, what] = *at;
		if (last.count(id) || !done.insert(id).second) {
			++at;
			continue;
		}
		lock.unlock();
		what();
		lock.lock();
		at = stops.upper_bound(id); // stops may have come and gone meanwhile
	}
}

// First what stops the work (children killed, a tool asked to end), then,
// once every held step has finished (a tool's output moved out of its
// folder), the removals.  A stop asked for meanwhile, as by a tool that
// started as the signal came, runs as it comes.
[[noreturn]] void stop(int signum)
{
	std::set<int> done;
	{
		std::unique_lock<std::mutex> lock(mutex);
		stop_work(lock, done);
		while (holds) {
			released.wait(lock);
			stop_work(lock, done);
		}
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

int at_stop(std::function<void()> what, bool removal)
{
	int id;
	{
		std::lock_guard<std::mutex> lock(mutex);
		if (removal)
			last[next_id] = what;
		stops[next_id] = std::move(what);
		id = next_id++;
	}
	released.notify_all(); // a stop under way runs it too
	return id;
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
