#include "atomic_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "error.h"
#include "temporaries.h"

namespace loadgrid::store {

namespace {

const std::string kPart = ".part";

// A new empty file of mode 0600 beside path; its name.
std::string made_beside(const std::string &path)
{
	std::string folder = path.substr(0, path.rfind('/') + 1);
	std::string name = folder + ".XXXXXX" + kPart;
	std::vector<char> buffer(name.begin(), name.end());
	buffer.push_back('\0');
	int fd = mkostemps(buffer.data(), static_cast<int>(kPart.size()), O_CLOEXEC);
	if (fd < 0)
		throw system_error(folder.size() > 1 ? folder.substr(0, folder.size() - 1)
				   : folder.empty()  ? "."
						     : folder);
	close(fd);
	return buffer.data();
}

} // namespace

void write_atomically(const std::string &path, const std::function<void(const std::string &)> &make)
{
	std::string temporary = made_beside(path);
	try {
		Temporary listed(temporary);
		make(temporary);
		if (std::rename(temporary.c_str(), path.c_str()) != 0)
			throw system_error(temporary);
	} catch (...) {
		unlink(temporary.c_str());
		throw;
	}
}

} // namespace loadgrid::store
