// Feeds libFuzzer's inputs to the model reader through a memfd, so the reader
// is driven through its own file path as the engine drives it.
#include "model.h"
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int input_file()
{
	static const int fd = memfd_create("model", 0);
	if (fd < 0) {
		std::perror("memfd_create");
		std::abort();
	}
	return fd;
}

void write_input(int fd, const std::uint8_t *data, std::size_t size)
{
	if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
		std::perror("memfd");
		std::abort();
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const int fd = input_file();
	write_input(fd, data, size);
	const std::string path = "/proc/self/fd/" + std::to_string(fd);
	try {
		load(path);
	} catch (const std::runtime_error &e) {
		// Every refusal names the file first.
		if (std::string(e.what()).rfind(path + ": ", 0) != 0)
			std::abort();
	}
	return 0;
}
