// Where the running program file lives, so files installed beside it can be
// found whatever the working directory.
#pragma once

#include <string>

namespace platform {

// The directory of the program file (symbolic links resolved), or an empty
// string when the system does not tell.
std::string ProgramDirectory();

// The program file's name without its extension ("tavrin-cli"), as a
// window's title names the application; empty when the system does not tell.
std::string ProgramName();

}  // namespace platform
