#include "platform/SysfsTty.h"

#include <fstream>

#include <sys/stat.h>

namespace afp {

std::string ReadSysfsAttribute(const std::filesystem::path& path) {
    // Attributes are short: read little.
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};
    std::string text(256, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    text = text.substr(0, text.find_first_of("\r\n"));
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::filesystem::path UsbDeviceFolder(const std::filesystem::path& ttyEntry) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::canonical(ttyEntry / "device", error);
    if (error) return {};
    for (int level = 0; level < 4 && folder.has_relative_path(); ++level, folder = folder.parent_path()) {
        struct stat info {};
        if (::stat((folder / "idVendor").c_str(), &info) == 0) return folder;
    }
    return {};
}

}  // namespace afp
