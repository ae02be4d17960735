#include "temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>

#include "error.h"

namespace loadgrid::store {

namespace {

// A handler may run between any two steps of the program: a slot's path is
// written before it is marked live, and marked free before it is reused.
enum State { kFree, kFilling, kLive };

struct Slot {
	std::atomic<int> state{kFree};
	char path[PATH_MAX];
};

// More than any one run keeps at once: a folder and a file being written.
Slot slots[16];
// Set by remove_temporaries(): the program is ending, and lists no more.
std::atomic<bool> closed{false};

// Removes what one pass over the folder fd finds in it, but folders with
// files; true if it removed anything.
bool removed_entries(int fd)
{
	bool removed = false;
	alignas(dirent64) char block[4096];
	lseek(fd, 0, SEEK_SET);
	for (ssize_t got; (got = getdents64(fd, block, sizeof block)) > 0;)
		for (ssize_t at = 0; at < got;) {
			auto *entry = reinterpret_cast<dirent64 *>(block + at);
			at += entry->d_reclen;
			const char *name = entry->d_name;
			if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
				continue;
			if (unlinkat(fd, name, 0) == 0 || unlinkat(fd, name, AT_REMOVEDIR) == 0)
				removed = true;
		}
	return removed;
}

void remove_path(const char *path)
{
	if (unlink(path) == 0 || (errno != EISDIR && errno != EPERM))
		return;
	int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0)
		return;
	// Entries removed while the folder is read may hide others from that pass.
	while (removed_entries(fd))
		;
	close(fd);
	rmdir(path);
}

} // namespace

Temporary::Temporary(const std::string &path) : slot_(-1)
{
	if (closed)
		throw Error(path + ": the program is stopping");
	if (path.size() >= PATH_MAX)
		throw FileError(path, ENAMETOOLONG);
	for (int k = 0; k < static_cast<int>(std::size(slots)); ++k) {
		int expected = kFree;
		if (!slots[k].state.compare_exchange_strong(expected, kFilling))
			continue;
		std::memcpy(slots[k].path, path.c_str(), path.size() + 1);
		slots[k].state = kLive;
		slot_ = k;
		return;
	}
	throw Error("more temporary files at once than the store keeps track of");
}

Temporary::~Temporary() { slots[slot_].state = kFree; }

void remove_temporaries() noexcept
{
	closed = true;
	for (Slot &slot : slots)
		if (slot.state == kLive)
			remove_path(slot.path);
}

namespace {

std::string made_folder()
{
	char name[] = "/tmp/loadgrid-model.XXXXXX";
	if (!mkdtemp(name))
		throw system_error("/tmp");
	return name;
}

// The folder just made at path, listed; or removed, where it cannot be.
Temporary listed_or_removed(const std::string &path)
{
	try {
		return Temporary(path);
	} catch (...) {
		rmdir(path.c_str());
		throw;
	}
}

} // namespace

TemporaryFolder::TemporaryFolder() : path_(made_folder()), listed_(listed_or_removed(path_)) {}

TemporaryFolder::~TemporaryFolder() { remove_path(path_.c_str()); }

} // namespace loadgrid::store
