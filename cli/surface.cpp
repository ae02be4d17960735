#include "surface.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

namespace loadgrid::cli::surface {

ByLine geometries(const std::vector<std::uint64_t> &lines, Span sets, Span ways)
{
	ByLine out;
	std::size_t count = 0;
	for (std::uint64_t line : lines) {
		std::vector<Geometry> &here = out[line];
		for (std::uint64_t s = 1; s <= sets.second; s <<= 1) {
			if (s < sets.first)
				continue;
			for (std::uint64_t w = ways.first; w <= ways.second; w++) {
				unsigned __int128 size = (unsigned __int128)s * w * line;
				if (size >= cachegrind::LIMIT)
					break; // and so is every cache of more ways
				Geometry g{std::uint64_t(size), w, line};
				try {
					cachegrind::geometry(cachegrind::spelled(g));
				} catch (const cachegrind::Refused &) {
					continue;
				}
				here.push_back(g);
				if (++count > MOST)
					throw TooMany("more than " + std::to_string(MOST) + " caches");
			}
		}
	}
	return out;
}

namespace {

using Clock = std::chrono::steady_clock;

// The line sizes' counts, made on two threads and handed over in order.
class Work {
      public:
	Work(const ByLine &by_line, const Count &count, const std::function<void(const std::string &)> &say)
	    : by_line(by_line), count(count), say(say), start(Clock::now())
	{
		for (const auto &[line, geos] : by_line)
			if (!geos.empty())
				todo.push_back(line);
		lines = todo.size();
		for (const auto &[line, geos] : by_line)
			caches += geos.size();
	}

	void run()
	{
		std::thread timer([this] { first_word(); });
		std::thread a([this] { work(); }), b([this] { work(); });
		std::exception_ptr failed;
		try {
			print();
		} catch (...) {
			failed = std::current_exception();
		}
		{
			std::lock_guard<std::mutex> hold(mutex);
			stopping = true;
			todo.clear();
		}
		changed.notify_all();
		a.join(), b.join(), timer.join();
		if (failed)
			std::rethrow_exception(failed);
	}

      private:
	const ByLine &by_line;
	const Count &count;
	const std::function<void(const std::string &)> &say;
	Clock::time_point start;
	std::vector<std::uint64_t> todo;
	std::size_t lines = 0, caches = 0, done = 0;
	std::map<std::uint64_t, std::vector<Misses>> got;
	std::exception_ptr failure;
	bool stopping = false;
	std::mutex mutex;
	std::condition_variable changed;

	void tell(const std::string &what)
	{
		if (Clock::now() - start > std::chrono::seconds(1))
			say("surface: " + what);
	}

	void first_word()
	{
		std::unique_lock<std::mutex> hold(mutex);
		if (!changed.wait_for(hold, std::chrono::seconds(1), [this] { return stopping; }))
			say("surface: " + std::to_string(caches) + " caches in " + std::to_string(lines) +
			    " line sizes, two at a time");
	}

	void work()
	{
		for (;;) {
			std::uint64_t line;
			{
				std::lock_guard<std::mutex> hold(mutex);
				if (failure || todo.empty())
					return;
				line = todo.front();
				todo.erase(todo.begin());
			}
			try {
				auto counts = count(by_line.at(line));
				std::lock_guard<std::mutex> hold(mutex);
				got[line] = std::move(counts);
				tell(std::to_string(++done) + " of " + std::to_string(lines) +
				     " line sizes done (" + std::to_string(line) + "-byte lines)");
			} catch (...) {
				std::lock_guard<std::mutex> hold(mutex);
				failure = std::current_exception();
			}
			changed.notify_all();
		}
	}

	void print()
	{
		for (const auto &entry : by_line) {
			// Not a structured binding: clang++ 14 cannot capture one.
			const auto &line = entry.first;
			const auto &geos = entry.second;
			if (geos.empty())
				continue;
			std::vector<Misses> counts;
			{
				std::unique_lock<std::mutex> hold(mutex);
				changed.wait(hold, [&] { return got.count(line) || failure; });
				if (failure)
					std::rethrow_exception(failure);
				counts = std::move(got[line]);
				got.erase(line);
			}
			for (std::size_t k = 0; k < geos.size(); k++) {
				const Geometry &g = geos[k];
				const auto &c = counts.at(k);
				std::printf("%lu,%lu,%lu,%lu,%lu,%lu,%lu,%lu\n", (unsigned long)g.size,
					    (unsigned long)g.assoc, (unsigned long)g.line,
					    (unsigned long)(g.size / g.assoc / g.line),
					    (unsigned long)c.main_reads, (unsigned long)c.main_writes,
					    (unsigned long)c.trace_reads, (unsigned long)c.trace_writes);
			}
			std::fflush(stdout);
		}
	}
};

} // namespace

void rows(const ByLine &by_line, const Count &count, const std::function<void(const std::string &)> &say)
{
	std::printf("%s\n", HEAD);
	std::fflush(stdout);
	Work(by_line, count, say).run();
}

} // namespace loadgrid::cli::surface
