#pragma once

#include <string>
#include <string_view>

namespace loadgrid::store {

// A file descriptor, closed when it goes.
class Descriptor {
      public:
	explicit Descriptor(int fd) : fd_(fd) {}
	Descriptor(const Descriptor &) = delete;
	Descriptor &operator=(const Descriptor &) = delete;
	Descriptor(Descriptor &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
	~Descriptor();
	int fd() const { return fd_; }
	// Closes it now; false, with errno set, where that fails.
	bool close();

      private:
	int fd_;
};

// The file open for reading; FileError if it cannot be opened.
Descriptor open_to_read(const std::string &path);

// Up to size bytes into block, as many as one read gives; 0 at the end.
std::size_t read_some(const Descriptor &file, const std::string &path, char *block, std::size_t size);

// Every byte of a file.
std::string read_file(const std::string &path);

// Makes path hold text and nothing else (store.py's write()).
void write_text(const std::string &path, std::string_view text);

// folder/name, as os.path.join puts them together.
std::string joined(const std::string &folder, const std::string &name);

} // namespace loadgrid::store
