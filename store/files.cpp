#include "files.h"

#include <fcntl.h>
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
	std::string bytes;
	char block[1 << 16];
	while (std::size_t got = read_some(file, path, block, sizeof block))
		bytes.append(block, got);
	return bytes;
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
