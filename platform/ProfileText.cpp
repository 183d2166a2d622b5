// The text form of the INI settings file (Profile.h): pure functions over
// the file's text, the same on every platform.
#include "platform/Profile.h"

#include <string>
#include <unordered_set>

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
    if (line.Begin == 0 && content.starts_with(ByteOrderMark)) content.remove_prefix(ByteOrderMark.size());
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
    if (value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\''))
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

// Calls visit(line) for each key line of the first section named section,
// in file order, until visit returns false. Later sections of the same name
// are not read, as the lookup has always done.
template <class Visit>
void ForEachKeyIn(std::string_view text, std::string_view section, Visit visit) {
    TLineReader reader(text);
    TLine line;
    bool inSection = false;
    while (reader.Next(line)) {
        const TParsedLine parsed = Parse(text, line);
        if (parsed.Kind == TLineKind::Section) {
            if (inSection) return;
            inSection = EqualNoCase(parsed.Name, section);
        } else if (inSection && parsed.Kind == TLineKind::Key && !visit(parsed)) {
            return;
        }
    }
}

}  // namespace

std::optional<std::string> ProfileLookup(std::string_view text, std::string_view section, std::string_view key) {
    std::optional<std::string> value;
    ForEachKeyIn(text, section, [&](const TParsedLine& parsed) {
        if (!EqualNoCase(parsed.Name, key)) return true;
        value = ValueAsRead(parsed.RawValue);
        return false;
    });
    return value;
}

std::vector<std::pair<std::string, std::string>> ProfileSectionKeys(std::string_view text, std::string_view section) {
    std::vector<std::pair<std::string, std::string>> keys;
    std::unordered_set<std::string> seen;
    ForEachKeyIn(text, section, [&](const TParsedLine& parsed) {
        if (seen.insert(FoldedCopy(parsed.Name)).second) keys.emplace_back(parsed.Name, ValueAsRead(parsed.RawValue));
        return true;
    });
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
                // to where the old value began. A value that is empty or
                // starts with blanks goes right after the '=': kept spacing
                // would make every write of it change the line again.
                const std::string_view oldValue = Trim(parsed.RawValue);
                const bool keepSpacing = !oldValue.empty() && !value.empty() && !IsBlank(value.front());
                const char* from = keepSpacing ? oldValue.data() : parsed.RawValue.data();
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

}  // namespace afp
