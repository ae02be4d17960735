#include "cache_folder.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "error.h"
#include "files.h"

namespace loadgrid::store {

namespace {

std::string environment(const char *name)
{
	const char *value = std::getenv(name);
	return value ? value : "";
}

// ~/.cache as Python's os.path.expanduser makes it.
std::string home_cache()
{
	std::string home;
	if (const char *value = std::getenv("HOME")) {
		home = value;
	} else {
		struct passwd *entry = getpwuid(getuid());
		if (!entry)
			return "~/.cache";
		home = entry->pw_dir;
	}
	while (!home.empty() && home.back() == '/')
		home.pop_back();
	return home + "/.cache";
}

// mkdir -p folder; false with errno set where it fails.
bool made(const std::string &folder)
{
	if (mkdir(folder.c_str(), 0777) == 0)
		return true;
	if (errno == ENOENT) {
		std::size_t slash = folder.find_last_not_of('/');
		slash = slash == std::string::npos ? slash : folder.rfind('/', slash);
		if (slash != std::string::npos && slash > 0 && made(folder.substr(0, slash)))
			return mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST;
		return false;
	}
	if (errno != EEXIST)
		return false;
	struct stat status;
	if (stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
		return true;
	errno = ENOTDIR;
	return false;
}

// A nameless file in folder, as Python's tempfile.TemporaryFile makes it;
// false with errno set where it cannot be made.
bool can_make_file_in(const std::string &folder)
{
	int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
	if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
		std::string name = joined(folder, "tmpXXXXXX");
		std::vector<char> buffer(name.begin(), name.end());
		buffer.push_back('\0');
		fd = mkostemp(buffer.data(), O_CLOEXEC);
		if (fd >= 0)
			unlink(buffer.data());
	}
	if (fd < 0)
		return false;
	close(fd);
	return true;
}

std::string why(int number)
{
	return number == EEXIST || number == ENOTDIR ? "not a folder" : std::strerror(number);
}

// What is wrong with folder, as lstat sees it, for a folder of this user's own.
std::string why_not_private(const std::string &folder)
{
	struct stat status;
	if (lstat(folder.c_str(), &status) != 0)
		return std::strerror(errno);
	if (S_ISLNK(status.st_mode))
		return "a symbolic link, not a folder";
	if (!S_ISDIR(status.st_mode))
		return "not a folder";
	if (status.st_uid != geteuid())
		return "owned by another user";
	if ((status.st_mode & 07777) != 0700) {
		char mode[64];
		std::snprintf(mode, sizeof mode, "its mode is %04o, not 0700",
			      static_cast<unsigned>(status.st_mode & 07777));
		return mode;
	}
	return "";
}

} // namespace

std::string cache_dir()
{
	std::string chosen = environment("LOADGRID_MODEL_CACHE");
	if (!chosen.empty())
		return chosen;
	std::string caches = environment("XDG_CACHE_HOME");
	return joined(caches.empty() ? home_cache() : caches, "loadgrid-model");
}

std::string why_not_writable(const std::string &folder)
{
	if (!made(folder) || !can_make_file_in(folder))
		return why(errno);
	return "";
}

std::string per_user_folder() { return "/var/tmp/loadgrid-model-" + std::to_string(geteuid()); }

void make_private_folder(const std::string &folder)
{
	// umask may take bits from mkdir's mode; a folder just made is ours to set.
	if (mkdir(folder.c_str(), 0700) == 0)
		chmod(folder.c_str(), 0700);
	else if (errno != EEXIST)
		throw system_error(folder);
	std::string why = why_not_private(folder);
	if (why.empty() && !can_make_file_in(folder))
		why = std::strerror(errno);
	if (!why.empty())
		throw Error(folder + ": " + why);
}

} // namespace loadgrid::store
