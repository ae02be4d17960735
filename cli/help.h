// What the command says of itself: its usage lines, as they stand in its
// errors, and the help of each command.
#pragma once

#include <memory>
#include <string>

namespace CLI {
class FormatterBase;
}

namespace loadgrid::cli::help {

extern const char *const DESCRIPTION;
extern const char *const ABOUT;

// The usage line of a command, or of the program for ""; null for a name
// that is no command.
const char *usage(const std::string &name);
// What a command's help says after its options.
std::string epilog(const std::string &name);
// Help with these usage lines.
std::shared_ptr<CLI::FormatterBase> formatter();

} // namespace loadgrid::cli::help
