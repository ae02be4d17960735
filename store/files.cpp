#include "files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "error.h"

namespace loadgrid::store {

Descriptor::~Descriptor() { close(); }

bool Descriptor::close()
{
	int fd = fd_;
	fd_ = -1;
	return fd < 0 || ::close(fd) == 0;
}

Descriptor open_to_read(const std::string &path)
{
	Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
	if (file.fd() < 0)
		throw system_error(path);
	return file;
}

std::size_t read_some(const Descriptor &file, const std::string &path, char *block, std::size_t size)
{
	for (;;) {
		ssize_t got = read(file.fd(), block, size);
		if (got >= 0)
			return static_cast<std::size_t>(got);
		if (errno != EINTR)
			throw system_error(path);
	}
}

std::string read_file(const std::string &path)
{
	Descriptor file = open_to_read(path);
	// Read into room for the whole file and a byte more, which finds its
	// end: each page of a model's text is touched once, not at every
	// doubling of a growing string.
	struct stat status;
	bool regular = fstat(file.fd(), &status) == 0 && S_ISREG(status.st_mode);
	std::string bytes(regular ? static_cast<std::size_t>(status.st_size) + 1 : 1 << 16, '\0');
	std::size_t have = 0;
	while (std::size_t got = read_some(file, path, bytes.data() + have, bytes.size() - have)) {
		have += got;
		if (have == bytes.size())
			bytes.resize(2 * have);
	}
	bytes.resize(have);
	return bytes;
}

FileBytes::FileBytes(const std::string &path)
{
	Descriptor file = open_to_read(path);
	struct stat status;
	if (fstat(file.fd(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
		std::size_t size = static_cast<std::size_t>(status.st_size);
		void *at = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.fd(), 0);
		if (at != MAP_FAILED) {
			mapped_ = true;
			mapped_view_ = std::string_view(static_cast<const char *>(at), size);
			return;
		}
	}
	copy_ = read_file(path);
}

FileBytes::~FileBytes()
{
	if (mapped_)
		munmap(const_cast<char *>(mapped_view_.data()), mapped_view_.size());
}

void write_text(const std::string &path, std::string_view text)
{
	Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
	if (file.fd() < 0)
		throw system_error(path);
	while (!text.empty()) {
		ssize_t put = write(file.fd(), text.data(), text.size());
		if (put < 0 && errno == EINTR)
			continue;
		if (put < 0)
			throw system_error(path);
		text.remove_prefix(static_cast<std::size_t>(put));
	}
	// A full disk may only show when the file is closed.
	if (!file.close())
		throw system_error(path);
}

std::string joined(const std::string &folder, const std::string &name)
{
	if (!name.empty() && name.front() == '/')
		return name;
	if (folder.empty() || folder.back() == '/')
		return folder + name;
	return folder + "/" + name;
}

} // namespace loadgrid::store
