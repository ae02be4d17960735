#include "kernel_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "failure.h"
#include "kernels.h"

namespace loadgrid::runs {

namespace {

constexpr std::size_t HEAD = 1 << 16;
constexpr std::uint32_t PT_INTERP = 3;

// The file's first HEAD bytes; the rest is read too, for its errors.
std::string head_of(const std::string &path)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		throw Failure(path + ": " + std::strerror(errno));
	struct stat st;
	if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
		close(fd);
		throw Failure(path + ": is a directory");
	}
	std::string head, block(HEAD, '\0');
	for (ssize_t got; (got = read(fd, &block[0], block.size())) != 0;) {
		if (got < 0) {
			int error = errno;
			close(fd);
			throw Failure(path + ": " + std::strerror(error));
		}
		head.append(block, 0, std::min<std::size_t>(got, HEAD - std::min(HEAD, head.size())));
	}
	close(fd);
	return head;
}

template <typename T> bool field(const std::string &data, std::uint64_t at, T &value)
{
	if (at > data.size() || data.size() - at < sizeof value)
		return false;
	std::memcpy(&value, data.data() + at, sizeof value);
	return true;
}

// Whether the program headers name an interpreter: a dynamic link.  Every
// header counted must lie in the bytes read.
bool dynamic(const std::string &path, const std::string &head)
{
	std::uint64_t phoff;
	std::uint16_t phentsize, phnum;
	bool inside = field(head, 0x20, phoff) && field(head, 0x36, phentsize) && field(head, 0x38, phnum);
	bool interp = false;
	for (unsigned k = 0; inside && !interp && k < phnum; k++) {
		std::uint32_t type;
		inside = phoff <= head.size() && field(head, phoff + std::uint64_t(k) * phentsize, type);
		interp = interp || (inside && type == PT_INTERP);
	}
	if (!inside)
		throw Failure(path + ": its program headers lie outside it");
	return interp;
}

} // namespace

void check_kernel(const std::string &path)
{
	std::string head = head_of(path);
	if (!kernel(path.substr(path.rfind('/') + 1)))
		throw Failure(path + ": not a loadgrid kernel: its name is not " + spoken());
	if (head.compare(0, 4,
			 "\x7f"
			 "ELF") != 0)
		throw Failure(path + ": not a loadgrid kernel: not an ELF executable");
	if (dynamic(path, head))
		throw Failure(path +
			      ": dynamically linked: its run would depend on the C library and the loader "
			      "too; the model answers for static kernels");
}

} // namespace loadgrid::runs
