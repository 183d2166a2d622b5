// The program's name on Windows: its module file, without the folder.

#include "platform/ProgramInfo.h"

#include "platform/Win32Types.h"

namespace afp {

std::string ProgramFileName() {
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "kalvaro";
    const std::string full(path, length);
    const std::size_t slash = full.find_last_of("\\/");
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

}  // namespace afp
