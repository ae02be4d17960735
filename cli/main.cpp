// loadgrid-model: a loadgrid kernel's exact data trace and cache misses,
// from a model of its access pattern.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "arguments.h"
#include "child.h"
#include "commands.h"
#include "failure.h"
#include "help.h"
#include "kernels.h"
#include "lackey.h"
#include "model_answers.h"
#include "output.h"
#include "run.h"
#include "scratch.h"
#include "signals.h"
#include "temporaries.h"

using namespace loadgrid;
using namespace loadgrid::cli;

namespace {

// The folder this program lies in, whose kernels bare names mean.
std::string own_folder()
{
	std::error_code e;
	std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", e);
	return e ? "" : self.parent_path().string();
}

// A bare kernel name is the kernel beside this program, else the one in
// PATH; for the run here, the one in PATH, as valgrind finds it.  Anything
// else is a path.
std::string find_kernel(const std::string &name, bool here)
{
	if (name.find('/') != std::string::npos || !runs::kernel(name))
		return name;
	if (here) {
		std::string path = runs::which(name);
		if (path.empty())
			throw runs::Failure(name +
					    ": not in PATH, where valgrind would look for it; give its path");
		return path;
	}
	std::string beside = own_folder() + "/" + name;
	if (!own_folder().empty() && std::filesystem::is_regular_file(beside))
		return beside;
	std::string path = runs::which(name);
	if (path.empty())
		throw runs::Failure(name + ": not installed beside " + PROG + ", nor in PATH; give its path");
	return path;
}

int usage(const std::string &what, int argc, char **argv)
{
	std::fprintf(stderr, "%s\n%s: %s\n", usage_for(argc, argv).c_str(), PROG, what.c_str());
	return 2;
}

int command(Answers &answers, const Arguments &a, const std::string &kernel)
{
	runs::Run run = a.here ? runs::Run::from_here(kernel, a.kernel) : runs::Run::canonical(kernel);
	if (a.shift && (a.command == "run" || a.command == "check")) {
		say("finding an environment that puts the stack " + std::to_string(a.shift) +
		    " bytes lower (a few short Valgrind runs)");
		run = valgrind::shifted(kernel, a.shift);
	}
	if (a.command == "run")
		return run_tool(a, run);
	taken(a.geometries, a.geometries.empty() ? 0 : answers.narrowest_line());
	if (a.command == "check")
		return a.geometries.empty() ? check_report(answers, a, run) : check(answers, a, run);
	if (a.command == "predict")
		return predict(answers, a, run);
	if (a.command == "trace")
		return trace(answers, a, run);
	if (a.command == "lab")
		return lab(answers, a, run);
	if (a.command == "surface")
		return surface_command(answers, a, run);
	if (a.command == "facts")
		return facts(answers, a, run);
	return misses(answers, a, run);
}

// The status of a program whose standard output could not be written:
// 141 for a reader that went, as a shell pipeline's, else 1.
int output_failed(int error)
{
	if (error == EPIPE)
		return 141;
	std::fprintf(stderr, "%s: write: %s\n", PROG, std::strerror(error));
	return 1;
}

int run(int argc, char **argv)
{
	Parsed parsed;
	try {
		parsed = parse(argc, argv, LOADGRID_VERSION);
	} catch (const Usage &e) {
		return usage(e.what(), argc, argv);
	}
	if (parsed.done)
		return std::fflush(stdout) ? output_failed(errno) : 0;
	const Arguments &a = parsed.args;
	try {
		Answers answers;
		std::string kernel = find_kernel(a.kernel, a.command == "shift" || a.here);
		int status = a.command == "shift" ? shift(a, kernel) : command(answers, a, kernel);
		if (std::fflush(stdout) || std::ferror(stdout))
			return output_failed(errno ? errno : EIO);
		return status;
	} catch (const Usage &e) {
		return usage(e.what(), argc, argv);
	} catch (const std::exception &e) {
		if (signals::stopping())
			pause(); // what failed was stopped: the signal's thread ends the program
		if (std::ferror(stdout) && std::strstr(e.what(), std::strerror(EPIPE)))
			return output_failed(EPIPE); // the reader went: as a shell pipeline ends
		std::fprintf(stderr, "%s: %s\n", PROG, e.what());
		return 1;
	}
}

} // namespace

int main(int argc, char **argv)
{
	signals::take();
	signals::at_stop(valgrind::Child::kill_all);
	signals::at_stop(runs::remove_live_scratch, true);
	signals::at_stop(store::remove_temporaries, true);
	std::signal(SIGPIPE, SIG_IGN);
	int status = run(argc, argv);
	if (signals::stopping())
		pause(); // the signal's thread ends the program
	return status;
}
