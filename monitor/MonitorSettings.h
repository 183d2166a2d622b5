#pragma once
// The monitor's keys in the settings file c_28_zirk.ini, and the value forms
// they are stored in. Plain functions over the profile module
// (platform/Profile.h); nothing is cached between calls.
//
// Value forms:
//  - integers (the colours) are written as decimal text; reading takes
//    "0x"/"0X" + hex digits (only when the text is longer than two
//    characters), a decimal number or "$" + hex digits, each optionally
//    signed; any other text, an out-of-range number and a missing key give
//    the default;
//  - the two separators are written with one "x" before and after them;
//    reading deletes the first character and then the last one, so a value
//    edited by hand without the x's loses its own ends ("abc" -> "b");
//  - other texts are written as they are (UTF-8 on this platform).
//
// Thread rule: any thread; the window calls them on the GUI thread.

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr char SettingsFileName[] = "c_28_zirk.ini";

std::int32_t ProfileIntegerValue(std::string_view text, std::int32_t defaultValue);
std::string WrapSeparator(std::string_view separator);
std::string UnwrapSeparator(std::string stored);

std::int32_t ReadProfileInteger(const std::string& section, const std::string& key, std::int32_t defaultValue,
                                const std::string& fileName);

// The options that go beyond the classic window, kept in the section
// [Kalvaro]: time stamps in the views and the log of everything.
struct TSessionOptions {
    bool Stamps = false;           // Stamps: the upper view stamps its bursts
    bool SentStamps = false;       // SentStamps: the lower view stamps what is sent
    std::int32_t StampGapMs = 20;  // StampGap: a quiet gap longer than this starts a stamped line
    bool LogRaw = false;           // LogRaw: a log also writes each port's raw bytes
    std::string LogPath;           // LogPath: the folder the last log went to
    bool operator==(const TSessionOptions&) const = default;
};
inline constexpr std::int32_t MinStampGapMs = 1;
inline constexpr std::int32_t MaxStampGapMs = 10000;

// Everything the main window keeps in the file. The defaults are those of a
// first start.
struct TMonitorSettings {
    std::int32_t Port1Color = 0x00CC00;
    std::int32_t Port2Color = 0xFFFFFF;
    std::int32_t SentColor = 0xFFFF00;
    std::string Sep1;
    std::string Sep2;
    std::string EditPath;
    std::string EditFile;
    std::string LoadPath;
    std::string LoadFile;
    // Read by the user-defined button dialog, written by the main window.
    std::string UserCaption = "User";
    std::string UserHint = "User defined value";
    std::string UserOut = "00";
    TSessionOptions Session;
};

// The keys the main window reads at its creation: the three colours, the two
// separators, the four script paths and the [Kalvaro] options (a flag is on
// when its number is not 0; the gap is kept within MinStampGapMs and
// MaxStampGapMs). The user-button fields keep their defaults here (the
// dialog reads those keys itself).
TMonitorSettings ReadMonitorSettings(const std::string& fileName);

// Writes every key, in this order: Color of ComPort1, ComPort2 and ComPort3,
// then Sep1, Sep2, EditPath, EditFile, LoadPath, LoadFile, UserCaption,
// UserHint, UserOut of ComPort3, then the [Kalvaro] keys (flags as 1 or 0).
// A [Kalvaro] key is written only when its value is not the default or the
// file has it already, so a file whose user never touched the options stays
// as the classic window leaves it. All of it is one write of the file, so
// that a program killed meanwhile leaves all the old values or all the new
// ones. When the
// platform refuses the write it throws std::runtime_error "Unable to write
// to <fileName>" and the file keeps its old values (on Windows, where the
// system writes key by key, the keys before the refused one stay written).
void WriteMonitorSettings(const TMonitorSettings& settings, const std::string& fileName);
