#include "monitor/MonitorSettings.h"
#include "platform/Profile.h"
#include "tests/monitor/MainWindowFixture.h"
#include "widgets/ColorValue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace {

using namespace kalvaro::test;

struct TIntegerCase {
    const char* Text;
    std::int32_t Expected;
};

TEST(ProfileIntegerValue, ReadsDecimalDollarHexAndLongZeroXHex) {
    const TIntegerCase cases[] = {
        {"52224", 52224},
        {"0xFF", 255},
        {"0XFF", 255},
        {"$FF", 255},
        {"$ff", 255},
        {"0x1", 1},
        {"-5", -5},
        {"+7", 7},
        {"-$10", -16},
        {"$FFFFFFFF", -1},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(ProfileIntegerValue(text, 42), expected) << text;
}

TEST(ProfileIntegerValue, AnyOtherTextGivesTheDefault) {
    const char* const texts[] = {"red",  "",     "0x", "0X",         "$",          "-",  "12a",
                                 "0x-1", "0xG1", " 1", "2147483648", "$100000000", "1.5"};
    for (const char* text : texts) EXPECT_EQ(ProfileIntegerValue(text, 52224), 52224) << '"' << text << '"';
}

TEST(Separators, AreWrappedInXAndUnwrappedByDeletingFirstThenLast) {
    EXPECT_EQ(WrapSeparator(" - "), "x - x");
    EXPECT_EQ(WrapSeparator(""), "xx");
    EXPECT_EQ(UnwrapSeparator("x - x"), " - ");
    EXPECT_EQ(UnwrapSeparator("xx"), "");
    EXPECT_EQ(UnwrapSeparator("abc"), "b");
    EXPECT_EQ(UnwrapSeparator("a"), "");
    EXPECT_EQ(UnwrapSeparator(""), "");
    EXPECT_EQ(UnwrapSeparator("x-->>x"), "-->>");
}

TEST(ColorValue, KeepsRedInTheLowByteBothWays) {
    EXPECT_EQ(ColorToQColor(0x0000FF), QColor(255, 0, 0));
    EXPECT_EQ(ColorToQColor(0x00CC00), QColor(0, 204, 0));
    EXPECT_EQ(ColorToQColor(0xFF0000), QColor(0, 0, 255));
    EXPECT_EQ(ColorToQRgb(0x123456), qRgb(0x56, 0x34, 0x12));
    EXPECT_EQ(QColorToColor(QColor(0x56, 0x34, 0x12)), 0x123456);
    EXPECT_EQ(ColorToQColor(0x7F0000FF), QColor(255, 0, 0)) << "the byte above blue is not a colour";
    for (TColor color : {0x000000, 0xFFFFFF, 0x808000, 0xDBCDBF}) EXPECT_EQ(QColorToColor(ColorToQColor(color)), color);
}

class MonitorSettingsFile : public testing::Test {
protected:
    void TearDown() override { ResetSettings(); }
};

TEST_F(MonitorSettingsFile, MissingKeysGiveTheFirstStartValues) {
    const TMonitorSettings read = ReadMonitorSettings(SettingsFileName);
    EXPECT_EQ(read.Port1Color, 0x00CC00);
    EXPECT_EQ(read.Port2Color, 0xFFFFFF);
    EXPECT_EQ(read.SentColor, 0xFFFF00);
    EXPECT_EQ(read.Sep1, "");
    EXPECT_EQ(read.Sep2, "");
    EXPECT_EQ(read.EditPath + read.EditFile + read.LoadPath + read.LoadFile, "");
}

TEST_F(MonitorSettingsFile, WritesEveryKeyInOrderAndReadsThemBack) {
    TMonitorSettings written;
    written.Port1Color = 255;
    written.Port2Color = 0x808000;
    written.SentColor = 0x00CC00;
    written.Sep1 = " - ";
    written.Sep2 = ",";
    written.EditPath = "/home/user/scripts";
    written.EditFile = "one.cpo";
    written.LoadPath = "/home/user/played";
    written.LoadFile = "two.cpo";
    written.UserCaption = "Ping";
    written.UserHint = "Sends a ping";
    written.UserOut = "7F";
    WriteMonitorSettings(written, SettingsFileName);

    const std::string text = afp::ProfileText(SettingsFileName);
    EXPECT_NE(text.find("[ComPort1]\nColor=255\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[ComPort2]\nColor=8421376\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[ComPort3]\nColor=52224\nSep1=x - x\nSep2=x,x\nEditPath=/home/user/scripts\n"
                        "EditFile=one.cpo\nLoadPath=/home/user/played\nLoadFile=two.cpo\nUserCaption=Ping\n"
                        "UserHint=Sends a ping\nUserOut=7F\n"),
              std::string::npos)
        << text;
    EXPECT_LT(text.find("[ComPort1]"), text.find("[ComPort2]"));
    EXPECT_LT(text.find("[ComPort2]"), text.find("[ComPort3]"));
    EXPECT_NE(text.find("[Ports]"), std::string::npos) << "other sections stay";

    const TMonitorSettings read = ReadMonitorSettings(SettingsFileName);
    EXPECT_EQ(read.Port1Color, 255);
    EXPECT_EQ(read.Port2Color, 0x808000);
    EXPECT_EQ(read.SentColor, 0x00CC00);
    EXPECT_EQ(read.Sep1, " - ");
    EXPECT_EQ(read.Sep2, ",");
    EXPECT_EQ(read.EditPath, "/home/user/scripts");
    EXPECT_EQ(read.EditFile, "one.cpo");
    EXPECT_EQ(read.LoadPath, "/home/user/played");
    EXPECT_EQ(read.LoadFile, "two.cpo");
}

TEST_F(MonitorSettingsFile, KalvaroKeysAreWrittenOnlyOnceTheOptionsWereUsed) {
    WriteMonitorSettings(TMonitorSettings{}, SettingsFileName);
    const std::string classic = afp::ProfileText(SettingsFileName);
    EXPECT_EQ(classic.find("[Kalvaro]"), std::string::npos) << classic;
    EXPECT_EQ(ReadMonitorSettings(SettingsFileName).Session, TSessionOptions{});

    TMonitorSettings used;
    used.Session.Stamps = true;
    used.Session.StampGapMs = 250;
    used.Session.LogPath = "/home/user/logs";
    WriteMonitorSettings(used, SettingsFileName);
    std::string text = afp::ProfileText(SettingsFileName);
    EXPECT_EQ(text.substr(0, classic.size()), classic) << "the classic keys come first, unchanged";
    EXPECT_EQ(text.substr(classic.size()), "\n[Kalvaro]\nStamps=1\nStampGap=250\nLogPath=/home/user/logs\n");
    EXPECT_EQ(ReadMonitorSettings(SettingsFileName).Session, used.Session);

    // Keys the file has are written back at their defaults too; keys this
    // program does not know stay.
    afp::WritePrivateProfileString("Kalvaro", "Theme", "dark", SettingsFileName);
    WriteMonitorSettings(TMonitorSettings{}, SettingsFileName);
    text = afp::ProfileText(SettingsFileName);
    EXPECT_EQ(text.substr(classic.size()), "\n[Kalvaro]\nStamps=0\nStampGap=20\nLogPath=\nTheme=dark\n");

    afp::WritePrivateProfileString("Kalvaro", "StampGap", "0", SettingsFileName);
    EXPECT_EQ(ReadMonitorSettings(SettingsFileName).Session.StampGapMs, 1);
    afp::WritePrivateProfileString("Kalvaro", "StampGap", "99999", SettingsFileName);
    EXPECT_EQ(ReadMonitorSettings(SettingsFileName).Session.StampGapMs, 10000);
}

TEST_F(MonitorSettingsFile, ARefusedWriteThrowsUnableToWrite) {
    TUnwritableSettings unwritable;
    try {
        WriteMonitorSettings(TMonitorSettings{}, SettingsFileName);
        FAIL() << "the write went through";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Unable to write to c_28_zirk.ini");
    }
}

}  // namespace
