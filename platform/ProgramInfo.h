#pragma once
// What the engine's worker threads need to describe an exception to the user:
// the program's file name and a readable class name.

#include <string>
#include <typeinfo>

namespace afp {

// The program file's name without its folder ("kalvaro" on Linux,
// "kalvaro.exe" on Windows); "kalvaro" when the system does not tell.
std::string ProgramFileName();

// The type's name as written in the source ("EAfComPortError"), demangled
// where the compiler mangles it; the raw name where it cannot be.
std::string ReadableTypeName(const std::type_info& type);

}  // namespace afp
