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

// Every byte of a file, mapped where it is a non-empty regular file (the
// kernel maps a file's cached pages several at a time, where a copy faults
// on each of its own), else read; FileError where it cannot be read.
class FileBytes {
      public:
	explicit FileBytes(const std::string &path);
	FileBytes(const FileBytes &) = delete;
	FileBytes &operator=(const FileBytes &) = delete;
	~FileBytes();
	std::string_view view() const { return mapped_ ? mapped_view_ : std::string_view(copy_); }

      private:
	bool mapped_ = false;
	std::string_view mapped_view_;
	std::string copy_;
};

// Makes path hold text and nothing else (store.py's write()).
void write_text(const std::string &path, std::string_view text);

// folder/name, as os.path.join puts them together.
std::string joined(const std::string &folder, const std::string &name);

} // namespace loadgrid::store
