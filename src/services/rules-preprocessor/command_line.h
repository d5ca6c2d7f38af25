#pragma once
// The service's command line: it runs without arguments; --help and
// --version answer and exit; anything else is refused before any work.

#include <optional>
#include <ostream>

namespace talvoro {

// The exit status when the command line asks for no service run (help,
// version, a refused argument), after answering on `out` or `err`; nothing
// when the service is to run.
std::optional<int> handleCommandLine(int argc, const char* const* argv, std::ostream& out,
                                     std::ostream& err);

}  // namespace talvoro
