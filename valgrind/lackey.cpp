#include "lackey.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "child.h"
#include "failure.h"
#include "valgrind.h"
#include "watch.h"

namespace loadgrid::valgrind {

using runs::Failure;

namespace {

constexpr auto GDB_GRACE = std::chrono::seconds(5);
const std::string PAD = "P"; // the shortest name: the smallest shift is then 16 bytes

std::string hex(std::uint64_t n)
{
	std::ostringstream out;
	out << "0x" << std::hex << n;
	return out.str();
}

std::string rstripped_newlines(std::string line)
{
	line.erase(line.find_last_not_of('\n') + 1);
	return line;
}

// gdb, poking through the gdb server of a run that waits for it; and the
// watch that ends the run should gdb end while the run still waits on it
// (orphaned).
class Gdb {
      public:
	Gdb(std::vector<std::string> argv, const runs::Run &run, const std::string &cwd, Child &vg,
	    const std::string &out)
	    : vg_(vg)
	{
		int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
		if (fd < 0)
			throw Failure(out + ": " + std::strerror(errno));
		try {
			gdb_ = std::make_unique<Child>(argv, run.entries(), cwd, Output{Output::File, fd},
						       Output{Output::Stdout}, Input::Null);
		} catch (...) {
			close(fd);
			throw;
		}
		close(fd);
		watch_ = std::thread([this] { watch(); });
	}

	~Gdb() { finish(); }

	// Waits a while for gdb to end with the run, then ends it.
	void finish()
	{
		if (!watch_.joinable())
			return;
		{
			std::unique_lock<std::mutex> hold(lock_);
			if (!ended_.wait_for(hold, GDB_GRACE, [this] { return done_; }))
				gdb_->kill();
		}
		watch_.join();
	}

	int returncode() const { return returncode_; }
	bool orphaned() const { return orphaned_; }

      private:
	void watch()
	{
		int code = gdb_->wait();
		{
			std::lock_guard<std::mutex> hold(lock_);
			returncode_ = code;
			done_ = true;
		}
		ended_.notify_all();
		auto deadline = std::chrono::steady_clock::now() + GDB_GRACE;
		while (!vg_.ended() && std::chrono::steady_clock::now() < deadline)
			std::this_thread::sleep_for(std::chrono::milliseconds(20));
		if (!vg_.ended()) {
			orphaned_ = true;
			vg_.kill();
		}
	}

	Child &vg_;
	std::unique_ptr<Child> gdb_;
	std::thread watch_;
	std::mutex lock_;
	std::condition_variable ended_;
	bool done_ = false;
	int returncode_ = 0;
	std::atomic<bool> orphaned_{false};
};

// Waits for the gdb server to stand ready, then has gdb poke.  gdb and vgdb
// get the run's environment: vgdb finds the server's pipes by names made of
// USER, LOGNAME and HOST, as the run sees them.
std::unique_ptr<Gdb> attach(const runs::Run &run, const std::string &cwd, Child &vg,
			    const std::string &prefix, const Poke &poke, Lines &lines)
{
	std::string line;
	bool ready = false;
	while (!ready && lines.next(line))
		ready = line.find("target remote") != std::string::npos;
	if (!ready)
		throw Failure("valgrind: its gdb server did not start");
	std::string vgdb = runs::which("vgdb");
	if (vgdb.empty())
		vgdb = "vgdb";
	std::vector<std::string> commands{"set confirm off",
					  "target remote | " + vgdb + " --vgdb-prefix=" + prefix +
					      " --pid=" + std::to_string(vg.pid()),
					  "break *" + hex(poke.insn),
					  "continue",
					  "set {int}" + hex(poke.addr) + " = " + std::to_string(poke.value),
					  "echo poked\\n",
					  "delete",
					  "continue"};
	std::vector<std::string> argv{runs::which("gdb"), "-batch", "-nx"};
	for (const std::string &c : commands) {
		argv.push_back("-ex");
		argv.push_back(c);
	}
	return std::make_unique<Gdb>(argv, run, cwd, vg, prefix.substr(0, prefix.rfind('/')) + "/gdb.out");
}

std::string file_text(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream text;
	text << in.rdbuf();
	if (!in)
		throw Failure(path + ": " + std::strerror(errno));
	return text.str();
}

// gdb's last words, for a poke that did not happen.
std::string last_line(const std::string &said, int returncode)
{
	std::istringstream lines(said);
	const char *space = " \t\r\v\f";
	std::string last;
	int seen = 0;
	for (std::string line; std::getline(lines, line);)
		if (line.find_first_not_of(space) != std::string::npos)
			last = line, seen++;
	last.erase(last.find_last_not_of(space) + 1);
	if (seen == 1) // the text is stripped as a whole
		last.erase(0, last.find_first_not_of(space));
	return last.empty() ? runs::status(returncode) : last;
}

} // namespace

std::optional<Record> record(const std::string &line)
{
	char kind;
	if (line.compare(0, 3, "I  ") == 0)
		kind = 'I';
	else if (line.size() >= 2 && line[0] == ' ' && (line[1] == 'L' || line[1] == 'S' || line[1] == 'M'))
		kind = line[1];
	else
		return std::nullopt;
	std::string rest = line.substr(std::min<std::size_t>(3, line.size()));
	std::size_t comma = rest.find(',');
	char *end = nullptr;
	std::uint64_t addr = std::strtoull(rest.c_str(), &end, 16);
	bool good = comma != std::string::npos && rest.find(',', comma + 1) == std::string::npos &&
		    end == rest.c_str() + comma && comma > 0;
	const char *size_text = rest.c_str() + comma + 1;
	unsigned long size = good ? std::strtoul(size_text, &end, 10) : 0;
	if (!good || end == size_text)
		throw Failure("lackey: a record unread: " + line);
	return Record{kind, addr, std::uint32_t(size)};
}

std::vector<Record> lackey(const runs::Run &run, const std::function<bool(const Record &)> &stop,
			   const std::optional<Poke> &poke, const std::vector<std::string> &args,
			   std::vector<std::string> *text)
{
	// The gdb run keeps Valgrind's default --vgdb=yes: under --vgdb=full
	// every instruction is translated on its own, and a load that a plain
	// run drops (g++'s "mov -0x3b8(%rbp),%rsp" at main's end, whose %rsp the
	// next instruction overwrites) would appear in the trace.
	std::vector<std::string> argv{"", "--tool=lackey", "--trace-mem=yes", "--log-fd=1"};
	if (poke && runs::which("gdb").empty())
		throw Failure("gdb: not found");
	std::vector<Record> out;
	{
		runs::Started started = run.started();
		std::string prefix = started.folder + "/vgdb-pipe";
		argv.push_back("--vgdb-prefix=" + prefix);
		if (poke)
			argv.push_back("--vgdb-error=0");
		argv[0] = valgrind();
		argv.push_back(started.path);
		argv.insert(argv.end(), args.begin(), args.end());
		Child vg(argv, run.entries(), started.cwd, {Output::Pipe}, {Output::Null});
		Lines lines(vg.pipe());
		std::unique_ptr<Gdb> gdb;
		bool ended = false; // the run went to its end, not stopped
		try {
			if (poke)
				gdb = attach(run, started.cwd, vg, prefix, *poke, lines);
			ended = true;
			for (std::string line; lines.next(line);) {
				std::optional<Record> rec = record(line);
				if (!rec)
					continue;
				if (text)
					text->push_back(rstripped_newlines(line));
				out.push_back(*rec);
				if (stop && stop(*rec)) {
					ended = false;
					break;
				}
			}
		} catch (...) {
			vg.kill();
			vg.wait();
			throw;
		}
		if (!ended)
			vg.kill();
		int code = vg.wait();
		if (gdb) {
			gdb->finish();
			std::string said = file_text(started.folder + "/gdb.out");
			if (said.find("poked") == std::string::npos || gdb->orphaned())
				throw Failure("gdb: the pass counter was not set: " +
					      last_line(said, gdb->returncode()));
		}
		if (ended && code)
			throw EndedBadly("lackey: " + run.name + ": " + runs::status(code));
	}
	if (out.empty())
		throw Failure(run.kernel + ": lackey traced nothing");
	return out;
}

std::uint64_t main_sp(const runs::Run &run)
{
	auto [lo, hi] = symbol(run.kernel, "main");
	Watch watch(lo, hi);
	std::optional<std::uint64_t> push;
	lackey(run, [&](const Record &rec) {
		watch.see(rec);
		if (watch.inside && (rec.kind == 'S' || rec.kind == 'M'))
			push = push.value_or(rec.addr);
		return bool(push);
	});
	if (!push)
		throw Failure(run.kernel + ": main never stores to its stack");
	return *push + 8;
}

runs::Run shifted(const std::string &kernel, std::int64_t shift)
{
	if (shift == 0)
		return runs::Run::canonical(kernel);
	std::uint64_t top = main_sp(runs::Run::canonical(kernel));
	std::int64_t size = std::max<std::int64_t>(shift - 16, 0);
	for (int tries = 0; tries < 8; tries++) {
		runs::Run run = runs::Run::canonical(kernel, {{PAD, std::string(size, 'x')}});
		std::int64_t moved = std::int64_t(top - main_sp(run));
		if (moved == shift)
			return run;
		size = std::max<std::int64_t>(size + shift - moved, 0);
	}
	throw Failure(kernel + ": no length of " + PAD + " moves the stack " + std::to_string(shift) +
		      " bytes");
}

} // namespace loadgrid::valgrind
