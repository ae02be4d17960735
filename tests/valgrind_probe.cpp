// The runs and Valgrind layers as a command, for the tests that hold them to
// Valgrind run by the test itself and to what a run must be.  Each answer,
// or "refused: WHY", on stdout:
//   valgrind-probe exec ENVFILE PROGRAM ARG...  PROGRAM with the environment
//                                     ENVFILE holds, NUL-ended entries as
//                                     they are (any bytes, any repeats)
//   valgrind-probe key KERNEL [ENVFILE]  the canonical run's key; ENVFILE
//                                     holds NUL-ended names and values
//   valgrind-probe key-here KERNEL [TYPED]   the run here's key
//   valgrind-probe check PATH...      each file's kernel check
//   valgrind-probe identity | version | status CODE... | spoken
//   valgrind-probe main-sp KERNEL [here [TYPED]]
//   valgrind-probe shifted KERNEL SHIFT   the shifted run's key
//   valgrind-probe lackey KERNEL N    the first N records' lines
//   valgrind-probe poke KERNEL INSN ADDR VALUE   the records of a run that
//                                     gdb pokes, to one pass's reads
//   valgrind-probe cachegrind KERNEL SIZE,ASSOC,LINE   Dr Dw D1mr D1mw
//   valgrind-probe narrowest LEAST...
//   valgrind-probe pipes TMPDIR       "ready", then at a line on stdin
//                                     removes the pipes left, "done"
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cachegrind_runs.h"
#include "failure.h"
#include "kernel_check.h"
#include "kernels.h"
#include "lackey.h"
#include "run.h"
#include "valgrind.h"
#include "watch.h"

using namespace loadgrid;
using namespace loadgrid::valgrind;

static std::vector<std::string> entries(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream bytes;
	bytes << in.rdbuf();
	std::vector<std::string> out;
	std::string text = bytes.str();
	for (std::size_t at = 0, end; (end = text.find('\0', at)) != std::string::npos; at = end + 1)
		out.push_back(text.substr(at, end - at));
	return out;
}

static int exec(char **argv)
{
	std::vector<std::string> env = entries(argv[0]);
	std::vector<char *> envp;
	for (std::string &e : env)
		envp.push_back(&e[0]);
	envp.push_back(nullptr);
	execve(argv[1], argv + 1, envp.data());
	perror(argv[1]);
	return 127;
}

static runs::Run canonical(const std::string &kernel, const char *env_file)
{
	runs::Environment env;
	if (env_file) {
		std::vector<std::string> e = entries(env_file);
		for (std::size_t k = 0; k + 1 < e.size(); k += 2)
			env.emplace_back(e[k], e[k + 1]);
	}
	return runs::Run::canonical(kernel, env);
}

static void poke(const std::string &kernel, const Poke &poke)
{
	auto [lo, hi] = symbol(kernel, "main");
	Watch watch(lo, hi);
	auto too_long = [&](const Record &rec) {
		watch.see(rec);
		return watch.reads > runs::STEPS * runs::ARRAYS;
	};
	for (const Record &r : lackey(runs::Run::canonical(kernel), too_long, poke))
		std::printf("%c %llx %u\n", r.kind, (unsigned long long)r.addr, r.size);
}

static void pipes(const std::string &tmpdir)
{
	Pipes pipes({{"TMPDIR", tmpdir}});
	std::cout << "ready" << std::endl;
	std::string line;
	std::getline(std::cin, line);
	pipes.remove_left();
	std::cout << "done" << std::endl;
}

static bool answer(const std::string &mode, int n, char **a)
{
	if (mode == "key" && (n == 1 || n == 2))
		std::cout << canonical(a[0], n == 2 ? a[1] : nullptr).key() << "\n";
	else if (mode == "key-here" && (n == 1 || n == 2))
		std::cout << runs::Run::from_here(a[0], n == 2 ? a[1] : "").key() << "\n";
	else if (mode == "identity" && n == 0)
		std::cout << identity() << "\n";
	else if (mode == "version" && n == 0) {
		std::vector<std::string> lines = version();
		one_line(lines);
		std::cout << lines[0] << "\n";
	} else if (mode == "spoken" && n == 0)
		std::cout << runs::spoken() << "\n";
	else if (mode == "main-sp" && (n == 1 || (n >= 2 && n <= 3 && std::string(a[1]) == "here")))
		std::cout << main_sp(n == 1 ? runs::Run::canonical(a[0])
					    : runs::Run::from_here(a[0], n == 3 ? a[2] : ""))
			  << "\n";
	else if (mode == "shifted" && n == 2)
		std::cout << shifted(a[0], std::stoll(a[1])).key() << "\n";
	else if (mode == "lackey" && n == 2) {
		std::vector<std::string> text;
		std::size_t want = std::stoull(a[1]), got = 0;
		auto recs = lackey(
		    runs::Run::canonical(a[0]), [&](const Record &) { return ++got >= want; }, {}, {}, &text);
		for (std::size_t k = 0; k < recs.size(); k++)
			std::printf("%s|%c %llx %u\n", text[k].c_str(), recs[k].kind,
				    (unsigned long long)recs[k].addr, recs[k].size);
	} else if (mode == "poke" && n == 4)
		poke(a[0], {std::stoull(a[1], nullptr, 0), std::stoull(a[2], nullptr, 0), std::stoll(a[3])});
	else if (mode == "cachegrind" && n == 2) {
		MainCounts c = loadgrid::valgrind::cachegrind(runs::Run::canonical(a[0]),
							      loadgrid::cachegrind::geometry(a[1]));
		std::cout << c.dr << " " << c.dw << " " << c.d1mr << " " << c.d1mw << "\n";
	} else if (mode == "pipes" && n == 1)
		pipes(a[0]);
	else
		return false;
	return true;
}

static bool each(const std::string &mode, int n, char **a)
{
	if (mode != "check" && mode != "status" && mode != "narrowest")
		return false;
	for (int k = 0; k < n; k++) {
		try {
			if (mode == "check") {
				runs::check_kernel(a[k]);
				std::cout << "ok\n";
			} else if (mode == "status") {
				std::cout << runs::status(std::stoi(a[k])) << "\n";
			} else {
				std::cout << narrowest_line(std::stoull(a[k])) << "\n";
			}
		} catch (const runs::Failure &e) {
			std::cout << "refused: " << e.what() << "\n";
		}
	}
	return true;
}

int main(int argc, char **argv)
{
	std::string mode = argc > 1 ? argv[1] : "";
	if (mode == "exec" && argc >= 4)
		return exec(argv + 2);
	try {
		if (each(mode, argc - 2, argv + 2) || answer(mode, argc - 2, argv + 2))
			return 0;
	} catch (const runs::Failure &e) {
		std::cout << "refused: " << e.what() << "\n";
		return 0;
	}
	std::cerr << "usage: valgrind-probe MODE ARG... (see its source)\n";
	return 2;
}
