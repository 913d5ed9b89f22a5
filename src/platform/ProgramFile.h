// Where the running program file lives, so files installed beside it can be
// found whatever the working directory.
#pragma once

#include <string>

namespace platform {

// The directory of the program file (symbolic links resolved), or an empty
// string when the system does not tell.
std::string ProgramDirectory();

}  // namespace platform
