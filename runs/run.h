// A run of a kernel: how it is started, canonically or here.
//
// A run is everything that reaches the process: the binary's bytes, the
// path it is started by (argv[0], the exec name in the auxiliary vector and
// /proc/self/exe), its environment and its folder.  The path and the
// environment sit at the top of the stack, and the start-up code reads the
// executable's path, so all of them move what the caches see.
//
// The canonical run starts a copy of the kernel, CANONICAL/loadgridN in a
// fresh folder, with no arguments and an empty environment, from that
// folder.  The run "here" starts the kernel by its path as typed, with this
// process's environment exactly as received, from this folder.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scratch.h"

namespace loadgrid::runs {

// Names and values as bytes, in order.
using Environment = std::vector<std::pair<std::string, std::string>>;

// A folder of a run's own (for Valgrind's gdb-server pipes), the path to
// start the kernel by and the folder to start it from; the folder goes
// with the object.
struct Started {
	std::unique_ptr<Scratch> scratch;
	std::string folder, path, cwd;
};

struct Run {
	std::string kernel; // the file
	std::string name;   // its base name
	bool here = false;
	std::string path;
	Environment env;
	std::string cwd;

	// The canonical run, with env in place of the empty environment.
	static Run canonical(const std::string &kernel, const Environment &env = {});
	// The run here; typed is the path the user started it by, where that
	// differs from kernel.
	static Run from_here(const std::string &kernel, const std::string &typed = "");

	// The run's definition but for the binary and the tool, as JSON.
	std::string key() const;
	// The canonical run's copy of the kernel (mode 0755) in a fresh folder.
	Started started() const;
	// The environment as execve() takes it: NAME=VALUE strings.
	std::vector<std::string> entries() const;
};

// This process's environment exactly as it was started with, from
// /proc/self/environ: every byte and in order.
Environment received_environment();
// A program's path as found in this process's PATH (the C library's
// default path when PATH is unset); empty if it is nowhere.
std::string which(const std::string &program);
// The same in a PATH of folders parted by colons.
std::string which(const std::string &program, const std::string &path);

} // namespace loadgrid::runs
