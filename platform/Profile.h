#pragma once
// The INI settings file, with the Windows private-profile semantics the
// program's settings rely on:
//  - one key per call (or one batch of keys, below); the file is read (or
//    rewritten) whole each time and nothing is cached between calls;
//  - section and key names compare case-insensitively (ASCII letters);
//  - a value read back loses the blanks around it and one pair of enclosing
//    quotation marks ("..." or '...'), and is cut to 2047 characters (bytes);
//  - the first section of a name counts, and the first key of a name in it:
//    later duplicates are neither read nor written;
//  - writing a key keeps every other section, key, comment and line as it was;
//    a missing key is added after the last key of its section, a missing
//    section at the end of the file; the file and its folders are created
//    when missing; a write that changes nothing leaves the file alone;
//  - every write replaces the file atomically (a temporary file in the same
//    folder, flushed, then renamed over the old one), so a crash leaves
//    either the old or the new file, never a torn one. A symbolic link to the
//    file stays a link: its target is replaced. The old file's permissions are
//    kept; a new file gets 0644 less the umask, new folders 0700;
//  - several keys that belong together (the settings a program keeps at its
//    close) are written by one call, as one replacement: the file then shows
//    all of them or none, never a mix of old and new values;
//  - a crash during a write can leave its temporary file behind (hidden,
//    named after the file); RemoveStaleProfileTemporaries clears those of
//    writers that are gone.
// The text form: lines end in LF or CR LF (both read; a write keeps the
// style of the file's first line end, and a new file uses LF, the Linux
// norm). A line '[' name ']' (blanks allowed around the brackets and the
// name) starts a section; "key=value" is a key (blanks around the key are not
// part of it); a line starting with ';' is a comment. Any other line —
// without '=', binary garbage — is skipped on reading and kept on writing.
// A UTF-8 byte-order mark before the first line is ignored (and kept).
// A file that is missing or unreadable reads as empty: every key gives the
// caller's default.
//
// Files named without a folder ("c_28_zirk.ini") live in ConfigFolder().
//
// On Windows the two calls are the system's own GetPrivateProfileStringA and
// WritePrivateProfileStringA, which keep these semantics except for the
// atomic replacement (a batch there is written key by key), and place bare
// names in the Windows directory.
//
// Thread rule: the functions may be called from any thread; concurrent writes
// to one file are not serialised against each other.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace afp {

// The longest value a read returns.
inline constexpr std::size_t ProfileValueLimit = 2047;

// $XDG_CONFIG_HOME/kalvaro when that variable is set to an absolute path,
// else $HOME/.config/kalvaro (the password database's home folder when HOME
// is not an absolute path). No trailing slash. Not created here.
// On Windows: the Windows directory.
std::string ConfigFolder();
// Makes folder the config folder for the rest of the run (the command line's
// --config, for several setups side by side); an empty folder gives the
// default back.
void SetConfigFolder(const std::string& folder);

// fileName as is when it holds a '/', else ConfigFolder() + "/" + fileName.
// On Windows a backslash, '/' or ':' makes a name a path, and the separator
// added is a backslash.
std::string ProfilePath(const std::string& fileName);

std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& fileName);

// False when the file cannot be written, with errno (GetLastError() on
// Windows) telling why; the old file is then untouched. An existing file that
// cannot be read is not overwritten.
// A line break in value would start a new line of the file: the value ends
// before it.
bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName);

// One key of a batch write.
struct TProfileEntry {
    std::string Section;
    std::string Key;
    std::string Value;
};

// Writes the keys in order, each as WritePrivateProfileString would, as one
// replacement of the file: afterwards it holds all of them, or, when the
// call fails (false, errno telling why) or the process dies during it, none
// of them. On Windows the keys go one by one through the system's call,
// stopping at the first it refuses (GetLastError() tells why).
bool WritePrivateProfileStrings(const std::vector<TProfileEntry>& entries, const std::string& fileName);

// Deletes the temporary files that writes of fileName left behind when their
// process died (or that have been left untouched for over an hour); those of
// a write still going on stay. Anything it cannot delete stays quietly. Does
// nothing on Windows, where the system writes the file.
void RemoveStaleProfileTemporaries(const std::string& fileName);

// The pure text operations behind the two calls above (also used by the port
// map and the fuzzers). ProfileLookup gives the value as read (trimmed,
// unquoted, cut to the limit) or nothing when the key is absent.
std::optional<std::string> ProfileLookup(std::string_view text, std::string_view section, std::string_view key);
std::string ProfileReplace(std::string_view text, std::string_view section, std::string_view key,
                           std::string_view value);

// The keys of the first section so named, in file order, each once (the
// first of a name), with their values as read.
std::vector<std::pair<std::string, std::string>> ProfileSectionKeys(std::string_view text, std::string_view section);

// The whole file, named as above; empty when it is missing or unreadable.
std::string ProfileText(const std::string& fileName);

}  // namespace afp
