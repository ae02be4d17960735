#pragma once

#include <stdexcept>
#include <string>

namespace loadgrid::store {

// Why the store cannot do what is asked, in the words the command prints
// after "loadgrid-model: ".
class Error : public std::runtime_error {
      public:
	using std::runtime_error::runtime_error;
};

// A file the system would not read, write or make: "PATH: REASON", REASON
// being strerror's words for the error number.
class FileError : public Error {
      public:
	FileError(const std::string &path, int number);
	const std::string &reason() const { return reason_; }
	int number() const { return number_; }

      private:
	std::string reason_;
	int number_;
};

// The same for errno, as the last failed system call left it.
FileError system_error(const std::string &path);

// A sealed file that is not whole or not for what is asked; what() is only
// the reason ("its checksum does not match"): the caller names the file.
class Damaged : public std::runtime_error {
      public:
	using std::runtime_error::runtime_error;
};

} // namespace loadgrid::store
