// The program's name on Linux: the kernel's command name of the process.

#include "platform/ProgramInfo.h"

#include <fstream>

namespace afp {

std::string ProgramFileName() {
    std::string name;
    std::ifstream("/proc/self/comm") >> name;
    return name.empty() ? "kalvaro" : name;
}

}  // namespace afp
