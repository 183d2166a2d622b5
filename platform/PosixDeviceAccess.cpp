#include "platform/DeviceAccess.h"

#include <cerrno>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace afp {

namespace {

std::string GroupName(std::uint32_t group) {
    std::vector<char> buffer(1024);
    for (;;) {
        struct group entry {};
        struct group* found = nullptr;
        const int error = ::getgrgid_r(static_cast<gid_t>(group), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (error == 0 && found && found->gr_name) return found->gr_name;
        return std::to_string(group);
    }
}

}  // namespace

TDeviceDenial DenialOf(std::uint32_t group, std::uint32_t mode) {
    return {GroupName(group), (mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)};
}

std::optional<TDeviceDenial> DeviceAccessDenied(const std::string& path) {
    if (path.empty() || path.front() != '/') return std::nullopt;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    if (::access(path.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return std::nullopt;
    return DenialOf(info.st_gid, info.st_mode);
}

}  // namespace afp
