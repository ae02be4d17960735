// The commands that start programs of the user's: run, and shift's gdb.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "arguments.h"
#include "child.h"
#include "commands.h"
#include "failure.h"
#include "kernel_check.h"
#include "lackey.h"
#include "output.h"
#include "run.h"
#include "signals.h"
#include "valgrind.h"

namespace loadgrid::cli {

namespace {

namespace fs = std::filesystem;

std::string last_line(const std::string &text)
{
	std::string t = text.substr(0, text.find_last_not_of(" \n") + 1);
	if (t.empty())
		return "?";
	return t.substr(t.rfind('\n') + 1);
}

std::string current_folder()
{
	std::error_code e;
	std::string here = fs::current_path(e).string();
	if (e)
		throw runs::Failure("the current folder: " + e.message());
	return here;
}

// Moves what a tool wrote into folder into here, under a new name where
// here has the name already.
void move_outputs(const std::string &folder, const std::string &here, const std::string &skip)
{
	std::vector<std::string> names;
	for (const fs::directory_entry &e : fs::directory_iterator(folder))
		names.push_back(e.path().filename().string());
	std::sort(names.begin(), names.end());
	for (const std::string &name : names) {
		if (name == skip || name.rfind("vgdb-pipe", 0) == 0)
			continue;
		std::string target = here + "/" + name;
		int n = 0;
		std::error_code e;
		while (fs::symlink_status(target, e).type() != fs::file_type::not_found)
			target = here + "/" + name + "." + std::to_string(++n);
		fs::rename(folder + "/" + name, target, e);
		if (e) { // another file system: copied, then removed
			fs::copy(folder + "/" + name, target, fs::copy_options::recursive);
			fs::remove_all(folder + "/" + name);
		}
		if (n)
			say(name + ": exists here; the tool's is " + target);
	}
}

// The stack pointer at main's entry in the run without Valgrind,
// randomisation off, from gdb.
std::uint64_t native_entry(const runs::Run &run)
{
	std::string gdb = runs::which("gdb");
	if (gdb.empty())
		throw runs::Failure("gdb: not found");
	runs::Run started = run;
	for (auto &[name, value] : started.env)
		if (name == "_")
			value = run.path;
	std::vector<std::string> argv{gdb, "-batch", "-nx"};
	for (const char *c :
	     {"set startup-with-shell off", "set disable-randomization on", "unset environment LINES",
	      "unset environment COLUMNS", "break *main", "run", "printf \"sp %lx\\n\", $sp", "kill"})
		argv.insert(argv.end(), {"-ex", c});
	argv.insert(argv.end(), {"--args", run.path});
	valgrind::Child child(argv, started.entries(), run.cwd, {valgrind::Output::Pipe},
			      {valgrind::Output::Pipe}, valgrind::Input::Null);
	std::string said = child.read_all();
	if (int rc = child.wait(); rc != 0)
		throw runs::Failure("gdb: " + runs::status(rc) + ": " + last_line(said));
	// Where the system refuses it (a container's seccomp, say), gdb warns
	// and runs the program at a random address.
	std::smatch m;
	if (std::regex_search(said, m, std::regex("Error disabling address space randomization[^\n]*")))
		throw runs::Failure("gdb: address randomisation stays on: " + m.str());
	if (!std::regex_search(said, m, std::regex("(^|\n)sp ([0-9a-f]+)\n")))
		throw runs::Failure("gdb: no stack pointer at main: " + last_line(said));
	return std::stoull(m[2], nullptr, 16);
}

// The program a tool names, as the run's environment finds it: by its PATH,
// or the system's default one where it has none.
std::string tool_path(const std::string &name, const runs::Environment &env)
{
	std::string path = "/bin:/usr/bin";
	for (const auto &[key, value] : env)
		if (key == "PATH")
			path = value;
	std::string found = runs::which(name, path);
	return found.empty() ? name : found;
}

// Stops a tool as a signal stops this program: asked to end, then killed
// if it has not within ten seconds.
void stop_tool(int pid)
{
	kill(pid, SIGTERM);
	for (int k = 0; k < 100 && kill(pid, 0) == 0; k++)
		usleep(100000);
	kill(pid, SIGKILL);
}

} // namespace

int run_tool(const Arguments &a, const runs::Run &run)
{
	runs::check_kernel(run.kernel);
	std::string here = current_folder();
	valgrind::Pipes pipes(run.env);
	runs::Started started = run.started();
	std::vector<std::string> argv = a.tool;
	argv.push_back(started.path);
	int code;
	{
		signals::Hold finishing; // a signal stops the tool, then waits for its output to move
		argv[0] = tool_path(argv[0], run.env);
		valgrind::Child tool(argv, run.entries(), started.cwd, {valgrind::Output::Inherited},
				     {valgrind::Output::Inherited}, valgrind::Input::Inherited,
				     valgrind::AtStop::Own);
		int pid = tool.pid();
		int stop = signals::at_stop([pid] { stop_tool(pid); });
		code = tool.wait();
		signals::forget(stop);
		pipes.remove_left();
		if (started.cwd == started.folder)
			move_outputs(started.folder, here, run.name);
	}
	if (code < 0) {
		say(a.tool[0] + ": " + runs::status(code));
		return 128 - code;
	}
	return code;
}

int shift(const Arguments &a, const std::string &kernel)
{
	runs::check_kernel(kernel);
	runs::Run here = runs::Run::from_here(kernel, a.kernel);
	std::int64_t canonical = std::int64_t(valgrind::main_sp(runs::Run::canonical(kernel)));
	std::int64_t mine = std::int64_t(a.native ? native_entry(here) : valgrind::main_sp(here));
	// Natively the stack lies far away from Valgrind's; no cache the model
	// takes tells a shift from the same one modulo LIMIT.
	std::int64_t limit = std::int64_t(cachegrind::LIMIT), half = cachegrind::MAX_SHIFT;
	std::int64_t shift = ((canonical - mine + half) % limit + limit) % limit - half;
	std::printf("%lld\n", (long long)shift);
	return 0;
}

} // namespace loadgrid::cli
