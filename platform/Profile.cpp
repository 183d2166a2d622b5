#include "platform/Profile.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace afp {

namespace {

// ---- the text form ---------------------------------------------------------

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

std::string FoldedCopy(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) c = FoldCase(c);
    return folded;
}

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

// One line of the file: Begin..ContentEnd is its text without the line end,
// ContentEnd..End the line end itself (LF, CR LF, or nothing on a last line
// without one).
struct TLine {
    std::size_t Begin = 0;
    std::size_t ContentEnd = 0;
    std::size_t End = 0;
};

enum class TLineKind { Blank, Comment, Section, Key, Other };

struct TParsedLine {
    TLineKind Kind = TLineKind::Other;
    std::string_view Name;      // section or key name
    std::string_view RawValue;  // a key's text after '=', untrimmed
};

class TLineReader {
public:
    explicit TLineReader(std::string_view text) : text_(text) {}

    bool Next(TLine& line) {
        if (position_ >= text_.size()) return false;
        line.Begin = position_;
        const std::size_t feed = text_.find('\n', position_);
        line.End = feed == std::string_view::npos ? text_.size() : feed + 1;
        line.ContentEnd = feed == std::string_view::npos ? text_.size() : feed;
        if (line.ContentEnd > line.Begin && text_[line.ContentEnd - 1] == '\r') --line.ContentEnd;
        position_ = line.End;
        return true;
    }

private:
    std::string_view text_;
    std::size_t position_ = 0;
};

TParsedLine Parse(std::string_view text, const TLine& line) {
    std::string_view content = text.substr(line.Begin, line.ContentEnd - line.Begin);
    if (line.Begin == 0 && content.starts_with(ByteOrderMark))
        content.remove_prefix(ByteOrderMark.size());
    const std::string_view trimmed = Trim(content);
    TParsedLine parsed;
    if (trimmed.empty()) {
        parsed.Kind = TLineKind::Blank;
    } else if (trimmed.front() == ';') {
        parsed.Kind = TLineKind::Comment;
    } else if (const std::size_t close = trimmed.rfind(']');
               trimmed.front() == '[' && close != std::string_view::npos) {
        // Text after the closing bracket is ignored, as Windows does.
        parsed.Kind = TLineKind::Section;
        parsed.Name = Trim(trimmed.substr(1, close - 1));
    } else if (const std::size_t equals = trimmed.find('='); equals != std::string_view::npos) {
        parsed.Kind = TLineKind::Key;
        parsed.Name = Trim(trimmed.substr(0, equals));
        parsed.RawValue = trimmed.substr(equals + 1);
    }
    return parsed;
}

std::string ValueAsRead(std::string_view raw) {
    std::string_view value = Trim(raw);
    if (value.size() >= 2 && value.front() == value.back() &&
        (value.front() == '"' || value.front() == '\''))
        value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, ProfileValueLimit));
}

// The line end a rewrite uses: the file's own style, LF for a new file.
std::string_view LineEndOf(std::string_view text) {
    const std::size_t feed = text.find('\n');
    if (feed != std::string_view::npos && feed > 0 && text[feed - 1] == '\r') return "\r\n";
    return "\n";
}

// True when the last line of text, which ends in a line end, is blank.
bool LastLineBlank(std::string_view text) {
    text.remove_suffix(1);
    const std::size_t feed = text.rfind('\n');
    return Trim(feed == std::string_view::npos ? text : text.substr(feed + 1)).empty();
}

// ---- files -----------------------------------------------------------------

class TFd {
public:
    explicit TFd(int fd = -1) : fd_(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int Get() const { return fd_; }
    void Reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now, reporting what close() says (a delayed write error shows
    // up here on some file systems).
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Reads a regular file whole. Returns 0, or the errno of the failure
// (ENOENT for a missing file). Not-regular files (a folder, a FIFO that would
// block) count as unreadable.
int ReadWhole(const std::string& path, std::string& text, struct stat& info) {
    text.clear();
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.Get() < 0) return errno;
    if (::fstat(fd.Get(), &info) != 0) return errno;
    if (!S_ISREG(info.st_mode)) return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t put = ::write(fd, data.data(), data.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// mkdir -p; true when the whole path is a folder afterwards.
bool MakeFolders(const std::string& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    if (::stat(folder.c_str(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + "-" +
           std::to_string(static_cast<unsigned long long>(ticks) % 1000000007ULL);
}

// Writes text to a fresh file in target's folder and renames it over target.
// oldMode: the permissions to keep, or -1 for a new file.
bool ReplaceFile(const std::string& target, std::string_view text, int oldMode) {
    const std::string folder = FolderOf(target);
    if (!MakeFolders(folder)) return false;

    const std::string base = target.substr(target.rfind('/') + 1);
    std::string temporary;
    TFd fd;
    // O_EXCL: never write into a file someone else created under our name.
    for (int attempt = 0; attempt < 100 && fd.Get() < 0; ++attempt) {
        temporary = folder + "/." + base + ".tmp-" + UniqueSuffix();
        fd.Reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (fd.Get() < 0 && errno != EEXIST) return false;
    }
    if (fd.Get() < 0) return false;

    auto fail = [&temporary] {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return false;
    };
    if (oldMode >= 0 && ::fchmod(fd.Get(), static_cast<mode_t>(oldMode)) != 0) return fail();
    if (!WriteAll(fd.Get(), text)) return fail();
    if (::fsync(fd.Get()) != 0) return fail();
    if (!fd.Close()) return fail();
    if (::rename(temporary.c_str(), target.c_str()) != 0) return fail();

    // The rename is done and the new file complete; making the folder entry
    // durable is best effort: the call has succeeded either way.
    TFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() >= 0) ::fsync(directory.Get());
    return true;
}

// The file a write replaces: the target of a symbolic link, so the link
// itself survives.
std::string WriteTarget(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target(resolved);
    std::free(resolved);
    return target;
}

}  // namespace

// ---- public ------------------------------------------------------------------

std::string ConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/kalvaro";
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable && variable[0] == '/') {
        home = variable;
    } else {
        struct passwd entry {};
        struct passwd* found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found &&
            found->pw_dir)
            home = found->pw_dir;
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home == "/") home.clear();
    return home + "/.config/kalvaro";
}

std::string ProfilePath(const std::string& fileName) {
    if (fileName.find('/') != std::string::npos) return fileName;
    return ConfigFolder() + "/" + fileName;
}

std::optional<std::string> ProfileLookup(std::string_view text, std::string_view section,
                                         std::string_view key) {
    TLineReader reader(text);
    TLine line;
    bool inSection = false;
    while (reader.Next(line)) {
        const TParsedLine parsed = Parse(text, line);
        if (parsed.Kind == TLineKind::Section) {
            if (inSection) return std::nullopt;
            inSection = EqualNoCase(parsed.Name, section);
        } else if (inSection && parsed.Kind == TLineKind::Key && EqualNoCase(parsed.Name, key)) {
            return ValueAsRead(parsed.RawValue);
        }
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> ProfileSectionKeys(std::string_view text,
                                                                    std::string_view section) {
    std::vector<std::pair<std::string, std::string>> keys;
    std::unordered_set<std::string> seen;
    TLineReader reader(text);
    TLine line;
    bool inSection = false;
    while (reader.Next(line)) {
        const TParsedLine parsed = Parse(text, line);
        if (parsed.Kind == TLineKind::Section) {
            if (inSection) break;
            inSection = EqualNoCase(parsed.Name, section);
        } else if (inSection && parsed.Kind == TLineKind::Key &&
                   seen.insert(FoldedCopy(parsed.Name)).second) {
            keys.emplace_back(parsed.Name, ValueAsRead(parsed.RawValue));
        }
    }
    return keys;
}

std::string ProfileReplace(std::string_view text, std::string_view section, std::string_view key,
                           std::string_view value) {
    value = value.substr(0, value.find_first_of("\r\n"));
    const std::string_view lineEnd = LineEndOf(text);

    TLineReader reader(text);
    TLine line;
    bool inSection = false;
    bool sectionFound = false;
    std::size_t insertAt = 0;  // after the section's header or last key line
    while (reader.Next(line)) {
        const TParsedLine parsed = Parse(text, line);
        if (parsed.Kind == TLineKind::Section) {
            if (inSection) break;
            if (!sectionFound && EqualNoCase(parsed.Name, section)) {
                inSection = sectionFound = true;
                insertAt = line.End;
            }
        } else if (inSection && parsed.Kind == TLineKind::Key) {
            if (EqualNoCase(parsed.Name, key)) {
                // Keep the line's own spelling of the key and its spacing up
                // to where the old value began.
                const std::string_view oldValue = Trim(parsed.RawValue);
                const char* from = oldValue.empty() ? parsed.RawValue.data() : oldValue.data();
                const auto keep = static_cast<std::size_t>(from - text.data());
                std::string result;
                result.reserve(text.size() + value.size());
                result.append(text.substr(0, keep));
                result.append(value);
                result.append(text.substr(line.ContentEnd));
                return result;
            }
            insertAt = line.End;
        }
    }

    std::string result;
    result.reserve(text.size() + section.size() + key.size() + value.size() + 8);
    if (sectionFound) {
        result.append(text.substr(0, insertAt));
        if (!result.empty() && result.back() != '\n') result.append(lineEnd);
        result.append(key).append("=").append(value).append(lineEnd);
        result.append(text.substr(insertAt));
        return result;
    }
    result.append(text);
    if (!result.empty()) {
        if (result.back() != '\n') result.append(lineEnd);
        // One empty line between sections, unless the file ends in one.
        if (!LastLineBlank(result)) result.append(lineEnd);
    }
    result.append("[").append(section).append("]").append(lineEnd);
    result.append(key).append("=").append(value).append(lineEnd);
    return result;
}

std::string ProfileText(const std::string& fileName) {
    std::string text;
    struct stat info {};
    if (ReadWhole(ProfilePath(fileName), text, info) != 0) text.clear();
    return text;
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& fileName) {
    return ProfileLookup(ProfileText(fileName), section, key).value_or(defaultValue);
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName) {
    const std::string target = WriteTarget(ProfilePath(fileName));
    std::string text;
    struct stat info {};
    const int readError = ReadWhole(target, text, info);
    if (readError != 0 && readError != ENOENT) {
        errno = readError;
        return false;
    }
    const bool exists = readError == 0;
    const std::string replaced = ProfileReplace(text, section, key, value);
    if (exists && replaced == text) return true;
    return ReplaceFile(target, replaced, exists ? static_cast<int>(info.st_mode & 07777) : -1);
}

}  // namespace afp
