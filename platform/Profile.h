#pragma once
// The INI settings file, with the Windows private-profile semantics the
// program's settings rely on:
//  - one key per call; the file is read (or rewritten) whole each time and
//    nothing is cached between calls;
//  - section and key names compare case-insensitively;
//  - a value read back loses the blanks around it and one pair of enclosing
//    quotation marks ("..." or '...'), and is cut to 2047 characters;
//  - writing a key keeps every other section, key, comment and line as it was;
//    a missing key is added at the end of its section, a missing section at
//    the end of the file; the file and its folder are created when missing;
//  - every write replaces the file atomically (a temporary file in the same
//    folder, flushed, then renamed over the old one), so a crash leaves
//    either the old or the new file, never a torn one.
// A file that is missing, unreadable or not text at all reads as empty: every
// key gives the caller's default.
//
// Files named without a folder ("c_28_zirk.ini") live in ConfigFolder().
//
// Thread rule: the functions may be called from any thread; concurrent writes
// to one file are not serialised against each other.

#include <optional>
#include <string>
#include <string_view>

namespace afp {

// The longest value a read returns.
inline constexpr std::size_t ProfileValueLimit = 2047;

// $XDG_CONFIG_HOME/kalvaro when that variable is set to an absolute path,
// else $HOME/.config/kalvaro. No trailing slash. Not created here.
std::string ConfigFolder();

// fileName as is when it holds a '/', else ConfigFolder() + "/" + fileName.
std::string ProfilePath(const std::string& fileName);

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& fileName);

// False when the file cannot be written; the old file is then untouched.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName);

// The pure text operations behind the two calls above (also used by the port
// map and the fuzzers). ProfileLookup gives the value as read (trimmed,
// unquoted, cut to the limit) or nothing when the key is absent.
std::optional<std::string> ProfileLookup(std::string_view text, std::string_view section,
                                         std::string_view key);
std::string ProfileReplace(std::string_view text, std::string_view section, std::string_view key,
                           std::string_view value);

}  // namespace afp
