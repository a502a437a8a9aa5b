#pragma once

#include <string>

namespace lobby {

// The folder the program file is in, with a trailing "/" ("./" when the system does not
// tell). UTF-8 on Windows, as every path in the lobby's strings.
std::string ProgramFolder();

} // namespace lobby
