#pragma once

#include <stdexcept>

namespace loadgrid::binary {

// Why an executable cannot be read, in the words the command prints as
// "loadgrid-model: PATH: what()".
class Error : public std::runtime_error {
      public:
	using std::runtime_error::runtime_error;
};

} // namespace loadgrid::binary
