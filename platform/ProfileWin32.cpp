// The settings file on Windows: the system's private-profile functions, which
// are what the program's settings were written against. Bare names live in the
// Windows directory, where those functions put them, or in the folder the
// command line chose (they are then given the full path).

#include "platform/Profile.h"

#include "platform/Win32Types.h"

#include <fstream>
#include <iterator>
#include <mutex>

namespace afp {

namespace {
std::mutex chosenFolderLock;
std::string chosenFolder;  // guarded by chosenFolderLock; empty: the default
}  // namespace

void SetConfigFolder(const std::string& folder) {
    std::lock_guard guard(chosenFolderLock);
    chosenFolder = folder;
}

std::string ConfigFolder() {
    {
        std::lock_guard guard(chosenFolderLock);
        if (!chosenFolder.empty()) return chosenFolder;
    }
    char folder[MAX_PATH + 1] = {};
    const UINT length = GetWindowsDirectoryA(folder, sizeof folder);
    if (length == 0 || length >= sizeof folder) return "C:\\Windows";
    std::string result(folder, length);
    while (result.size() > 3 && (result.back() == '\\' || result.back() == '/')) result.pop_back();
    return result;
}

std::string ProfilePath(const std::string& fileName) {
    if (fileName.find_first_of("\\/:") != std::string::npos) return fileName;
    return ConfigFolder() + "\\" + fileName;
}

std::string ProfileText(const std::string& fileName) {
    std::ifstream file(ProfilePath(fileName), std::ios::binary);
    if (!file) return {};
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& fileName) {
    char value[ProfileValueLimit + 1] = {};
    const DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), value,
                                                  sizeof value, ProfilePath(fileName).c_str());
    return std::string(value, length);
}

bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName) {
    const std::string oneLine = value.substr(0, value.find_first_of("\r\n"));
    return WritePrivateProfileStringA(section.c_str(), key.c_str(), oneLine.c_str(), ProfilePath(fileName).c_str()) !=
           FALSE;
}

bool WritePrivateProfileStrings(const std::vector<TProfileEntry>& entries, const std::string& fileName) {
    for (const TProfileEntry& entry : entries)
        if (!WritePrivateProfileString(entry.Section, entry.Key, entry.Value, fileName)) return false;
    return true;
}

void RemoveStaleProfileTemporaries(const std::string&) {}

}  // namespace afp
