#include "platform/Profile.h"

#include "tests/support/TempFolder.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using afp::ProfileLookup;
using afp::ProfileReplace;

using TempFolder = kalvaro::test::TTempFolder;

// A string literal with its NUL bytes.
template <std::size_t N>
std::string Bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// How many entries a folder holds: a failed or finished write leaves no
// temporary file behind.
int CountFiles(const fs::path& folder) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
    return count;
}

// ---- reading ---------------------------------------------------------------------

TEST(ProfileRead, NamesAreCaseInsensitiveBlanksAndOneQuotePairAreDropped) {
    const std::string text =
        "[ComPort1]\n"
        "  Color =  \" 52 \"  \n"
        "Single='x'\n"
        "Twice=''x''\n"
        "Unbalanced=\"x'\n"
        "Lone=\"\n"
        "Empty=\n"
        "Inner = a  b \t\n"
        "[Other]\n"
        "Away=1\n";
    EXPECT_EQ(ProfileLookup(text, "comport1", "COLOR"), " 52 ");
    EXPECT_EQ(ProfileLookup(text, "COMPORT1", "single"), "x");
    EXPECT_EQ(ProfileLookup(text, "ComPort1", "Twice"), "'x'");
    EXPECT_EQ(ProfileLookup(text, "ComPort1", "Unbalanced"), "\"x'");
    EXPECT_EQ(ProfileLookup(text, "ComPort1", "Lone"), "\"");
    EXPECT_EQ(ProfileLookup(text, "ComPort1", "Empty"), "");
    EXPECT_EQ(ProfileLookup(text, "ComPort1", "Inner"), "a  b");
    EXPECT_EQ(ProfileLookup(text, "ComPort1", "Away"), std::nullopt);
    EXPECT_EQ(ProfileLookup(text, "Other", "Away"), "1");
    EXPECT_EQ(ProfileLookup(text, "Missing", "Away"), std::nullopt);
}

TEST(ProfileRead, FirstSectionAndFirstKeyWin) {
    const std::string text =
        "Stray=0\n"
        "[A]\nK=first\nk=second\n"
        "[B]\nK=b\n"
        "[a]\nK=third\nOnlyHere=1\n";
    EXPECT_EQ(ProfileLookup(text, "A", "K"), "first");
    EXPECT_EQ(ProfileLookup(text, "A", "OnlyHere"), std::nullopt);
    EXPECT_EQ(ProfileLookup(text, "", "Stray"), std::nullopt);
}

TEST(ProfileRead, HeaderFormsLineEndsAndCommentsAreRecognised) {
    EXPECT_EQ(ProfileLookup("[S]\r\nK=v\r\n", "S", "K"), "v");
    EXPECT_EQ(ProfileLookup("[S]\nK=v", "S", "K"), "v");
    EXPECT_EQ(ProfileLookup("\xEF\xBB\xBF[S]\nK=v\n", "S", "K"), "v");
    EXPECT_EQ(ProfileLookup("  [ S ]  ; note\nK=v\n", "s", "k"), "v");
    EXPECT_EQ(ProfileLookup("[S]\n;K=commented\nK=v\n", "S", "K"), "v");
    EXPECT_EQ(ProfileLookup("[S]\n;K=commented\n", "S", "K"), std::nullopt);
    EXPECT_EQ(ProfileLookup("[S\nK=v\n", "S", "K"), std::nullopt);
    EXPECT_EQ(ProfileLookup("[S]\nK=a=b\n", "S", "K"), "a=b");
}

TEST(ProfileRead, GarbageLongValuesAndHugeFilesStillReadKnownKeys) {
    const std::string binary = Bytes(
        "\x00\x01\xff[\x00]\n=\x00=\nno equals sign here\n\x7f\x80\x00\n"
        "[S]\n\x00\x00garbage\nK=v\x00w\n\xfe\xff\n");
    EXPECT_EQ(ProfileLookup(binary, "S", "K"), Bytes("v\x00w"));

    std::string many;
    for (int i = 0; i < 100000; ++i) many += "[S" + std::to_string(i) + "]\nK=" + std::to_string(i) + "\n";
    EXPECT_EQ(ProfileLookup(many, "S99999", "k"), "99999");
    EXPECT_EQ(ProfileLookup(many, "S100000", "k"), std::nullopt);

    const std::string longValue(5000, 'x');
    const auto read = ProfileLookup("[S]\nK=\"" + longValue + "\"\n", "S", "K");
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, std::string(afp::ProfileValueLimit, 'x'));

    EXPECT_EQ(ProfileLookup("", "S", "K"), std::nullopt);
    EXPECT_EQ(ProfileLookup("\n\n\r\n", "S", "K"), std::nullopt);
}

// ---- rewriting the text -----------------------------------------------------------

TEST(ProfileReplaceText, ChangesOnlyTheValueOfAnExistingKey) {
    const std::string before =
        "; settings\n"
        "[ComPort1]\n"
        "Color = 52224   \n"
        "odd line\n"
        "\n"
        "[comport2]\n"
        "color=1\n";
    EXPECT_EQ(ProfileReplace(before, "ComPort1", "COLOR", "255"),
              "; settings\n"
              "[ComPort1]\n"
              "Color = 255\n"
              "odd line\n"
              "\n"
              "[comport2]\n"
              "color=1\n");
    EXPECT_EQ(ProfileReplace("[S]\r\nK=\r\nL=1", "S", "K", " a b "), "[S]\r\nK= a b \r\nL=1");
    EXPECT_EQ(ProfileReplace("[S]\nK=1\n", "S", "K", "two\nlines"), "[S]\nK=two\n");
}

TEST(ProfileReplaceText, WritingTheSameValueAgainChangesNothing) {
    // A value with blanks in front brings its own spacing; an empty one
    // leaves none behind. Kept spacing would grow or shrink at every write.
    const std::string spaced = ProfileReplace("[S]\nK = old\n", "S", "K", "  new");
    EXPECT_EQ(spaced, "[S]\nK =  new\n");
    EXPECT_EQ(ProfileReplace(spaced, "S", "K", "  new"), spaced);
    EXPECT_EQ(ProfileLookup(spaced, "S", "K"), "new");

    const std::string emptied = ProfileReplace("[S]\nK = old\n", "S", "K", "");
    EXPECT_EQ(emptied, "[S]\nK =\n");
    EXPECT_EQ(ProfileReplace(emptied, "S", "K", ""), emptied);

    const std::string plain = ProfileReplace("[S]\nK =\told\n", "S", "K", "new");
    EXPECT_EQ(plain, "[S]\nK =\tnew\n");
    EXPECT_EQ(ProfileReplace(plain, "S", "K", "new"), plain);
}

TEST(ProfileReplaceText, AddsAMissingKeyAfterTheLastKeyOfItsSection) {
    EXPECT_EQ(ProfileReplace("[A]\nX=1\n; about B\n\n[B]\nY=2\n", "a", "Z", "3"),
              "[A]\nX=1\nZ=3\n; about B\n\n[B]\nY=2\n");
    EXPECT_EQ(ProfileReplace("[A]\n\n[B]\n", "A", "Z", "3"), "[A]\nZ=3\n\n[B]\n");
    EXPECT_EQ(ProfileReplace("[A]\r\nX=1", "A", "Z", "3"), "[A]\r\nX=1\r\nZ=3\r\n");
    EXPECT_EQ(ProfileReplace("[A]\nX=1\n[A]\nZ=0\n", "A", "Z", "3"), "[A]\nX=1\nZ=3\n[A]\nZ=0\n");
}

TEST(ProfileReplaceText, AddsAMissingSectionAtTheEnd) {
    EXPECT_EQ(ProfileReplace("", "S", "K", "v"), "[S]\nK=v\n");
    EXPECT_EQ(ProfileReplace("[A]\nX=1", "S", "K", "v"), "[A]\nX=1\n\n[S]\nK=v\n");
    EXPECT_EQ(ProfileReplace("[A]\r\nX=1\r\n\r\n", "S", "K", "v"), "[A]\r\nX=1\r\n\r\n[S]\r\nK=v\r\n");
    const std::string binary = Bytes("\x00\xff junk\n");
    EXPECT_EQ(ProfileReplace(binary, "S", "K", "v"), binary + "\n[S]\nK=v\n");
}

// ---- files ---------------------------------------------------------------------------

TEST(ProfileFile, BareNamesLiveInTheConfigFolder) {
    EXPECT_EQ(afp::ConfigFolder(), (kalvaro::test::ConfigHome() / "kalvaro").string());
    EXPECT_EQ(afp::ProfilePath("c_28_zirk.ini"), kalvaro::test::SettingsFile().string());
    EXPECT_EQ(afp::ProfilePath("/x/y.ini"), "/x/y.ini");

    const fs::path file = kalvaro::test::ConfigHome() / "kalvaro" / "profile-test.ini";
    ASSERT_TRUE(afp::WritePrivateProfileString("S", "K", "v", "profile-test.ini"));
    EXPECT_EQ(ReadFile(file), "[S]\nK=v\n");
    EXPECT_EQ(afp::GetPrivateProfileString("s", "k", "d", "profile-test.ini"), "v");
    fs::remove(file);
}

TEST(ProfileFile, ConfigFolderFallsBackToHomeWithoutAnAbsoluteXdgFolder) {
    ASSERT_NE(std::getenv("XDG_CONFIG_HOME"), nullptr);
    const std::string xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    const std::string oldHome = home ? home : "";
    ::setenv("XDG_CONFIG_HOME", "relative/folder", 1);
    ::setenv("HOME", "/home/someone/", 1);
    const std::string folder = afp::ConfigFolder();
    ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    if (home)
        ::setenv("HOME", oldHome.c_str(), 1);
    else
        ::unsetenv("HOME");
    EXPECT_EQ(folder, "/home/someone/.config/kalvaro");
}

TEST(ProfileFile, MissingFileGivesDefaultsAndWritingCreatesFolders) {
    TempFolder temp;
    const fs::path file = temp.Path() / "a" / "b" / "settings.ini";
    EXPECT_EQ(afp::GetPrivateProfileString("S", "K", "default", file), "default");
    EXPECT_EQ(afp::ProfileText(file), "");

    ASSERT_TRUE(afp::WritePrivateProfileString("Colors", "Port1", "52224", file));
    ASSERT_TRUE(afp::WritePrivateProfileString("Colors", "Port2", " spaced ", file));
    ASSERT_TRUE(afp::WritePrivateProfileString("Paths", "EditPath", "/home/u/scripts", file));
    EXPECT_EQ(ReadFile(file), "[Colors]\nPort1=52224\nPort2= spaced \n\n[Paths]\nEditPath=/home/u/scripts\n");
    EXPECT_EQ(afp::GetPrivateProfileString("COLORS", "port2", "d", file), "spaced");
    EXPECT_EQ(afp::GetPrivateProfileString("Colors", "Port3", "d", file), "d");
    EXPECT_EQ(fs::status(file.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST(ProfileFile, WriteKeepsEverythingElseByteForByte) {
    TempFolder temp;
    const fs::path file = temp.Path() / "settings.ini";
    const std::string head = "\xEF\xBB\xBF; kept\r\n[ComPort1]\r\nColor=1\r\n";
    const std::string tail = Bytes("\r\n[Other] ; x\r\nodd\x00line\r\n  K = v \r\nlast");
    WriteFile(file, head + tail);
    ASSERT_TRUE(afp::WritePrivateProfileString("comport1", "Separ", "x;x", file));
    EXPECT_EQ(ReadFile(file), head + "Separ=x;x\r\n" + tail);
    EXPECT_EQ(afp::GetPrivateProfileString("Other", "k", "d", file), "v");
}

TEST(ProfileFile, WriteReplacesTheFileByRenameKeepingItsMode) {
    TempFolder temp;
    const fs::path file = temp.Path() / "settings.ini";
    const fs::path hardLink = temp.Path() / "old-copy";
    WriteFile(file, "[S]\nK=old\n");
    ::chmod(file.c_str(), 0640);
    fs::create_hard_link(file, hardLink);

    ASSERT_TRUE(afp::WritePrivateProfileString("S", "K", "new", file));
    EXPECT_EQ(ReadFile(file), "[S]\nK=new\n");
    EXPECT_EQ(ReadFile(hardLink), "[S]\nK=old\n");
    EXPECT_EQ(fs::hard_link_count(file), 1u);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask, fs::perms(0640));
    EXPECT_EQ(CountFiles(temp.Path()), 2);  // no temporary file left behind
}

TEST(ProfileFile, WriteThroughASymbolicLinkReplacesItsTarget) {
    TempFolder temp;
    fs::create_directory(temp.Path() / "real");
    const fs::path target = temp.Path() / "real" / "settings.ini";
    const fs::path link = temp.Path() / "link.ini";
    WriteFile(target, "[S]\nK=old\n");
    fs::create_symlink(target, link);

    ASSERT_TRUE(afp::WritePrivateProfileString("S", "K", "new", link));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(target), "[S]\nK=new\n");
}

TEST(ProfileFile, FailedWritesLeaveTheOldFileUntouched) {
    TempFolder temp;
    // A folder that cannot be created: a file stands where it would go.
    const fs::path blocker = temp.Path() / "blocker";
    WriteFile(blocker, "not a folder");
    errno = 0;
    EXPECT_FALSE(afp::WritePrivateProfileString("S", "K", "v", blocker / "settings.ini"));
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(ReadFile(blocker), "not a folder");

    // A target that is not a readable file is not overwritten.
    fs::create_directory(temp.Path() / "folder.ini");
    EXPECT_FALSE(afp::WritePrivateProfileString("S", "K", "v", temp.Path() / "folder.ini"));
    EXPECT_TRUE(fs::is_directory(temp.Path() / "folder.ini"));

    // A write that fails half-way (the file size limit is hit even by root).
    const fs::path file = temp.Path() / "settings.ini";
    const std::string old = "[S]\nK=old\n";
    WriteFile(file, old);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4096;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    errno = 0;
    const bool written = afp::WritePrivateProfileString("S", "K", std::string(10000, 'x'), file);
    const int error = errno;
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(ReadFile(file), old);
    EXPECT_EQ(CountFiles(temp.Path()), 3);  // blocker, folder.ini, settings.ini
}

TEST(ProfileFile, UnchangedWriteLeavesTheFileAlone) {
    TempFolder temp;
    const fs::path file = temp.Path() / "settings.ini";
    WriteFile(file, "[S]\nK=v\n");
    struct stat before {
    }, after{};
    ::stat(file.c_str(), &before);
    ASSERT_TRUE(afp::WritePrivateProfileString("s", "k", "v", file));
    ::stat(file.c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

}  // namespace
