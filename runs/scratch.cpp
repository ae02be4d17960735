#include "scratch.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "failure.h"

namespace loadgrid::runs {

namespace {

std::mutex live_lock;
std::vector<std::string> live;
bool closed = false; // by remove_live_scratch(): the program is ending

std::string random_name()
{
	static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
	unsigned char bytes[8];
	if (getrandom(bytes, sizeof bytes, 0) != sizeof bytes)
		throw Failure(std::string("getrandom: ") + std::strerror(errno));
	std::string out = "/tmp/loadgrid-model.";
	for (unsigned char b : bytes)
		out += letters[b % (sizeof letters - 1)];
	return out;
}

int remove_one(const char *path, const struct stat *, int, struct FTW *)
{
	remove(path);
	return 0;
}

} // namespace

// Made and listed under the lock, so that a stop's removal sees every
// folder made before it, and none is made after.
Scratch::Scratch()
{
	std::lock_guard<std::mutex> hold(live_lock);
	if (closed)
		throw Failure("/tmp: the program is stopping");
	for (int tries = 0;; tries++) {
		std::string path = random_name();
		if (mkdir(path.c_str(), 0700) == 0) {
			path_ = path;
			break;
		}
		if (errno != EEXIST || tries > 100)
			throw Failure(path + ": " + std::strerror(errno));
	}
	live.push_back(path_);
}

Scratch::~Scratch()
{
	{
		std::lock_guard<std::mutex> hold(live_lock);
		live.erase(std::find(live.begin(), live.end(), path_));
	}
	remove_tree(path_);
}

std::vector<std::string> live_scratch()
{
	std::lock_guard<std::mutex> hold(live_lock);
	return live;
}

void remove_live_scratch()
{
	std::lock_guard<std::mutex> hold(live_lock);
	closed = true;
	for (const std::string &path : live)
		remove_tree(path);
}

void remove_tree(const std::string &path) { nftw(path.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS); }

} // namespace loadgrid::runs
