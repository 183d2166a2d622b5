#pragma once
// A fresh set of the program's four windows for each test, created in the
// program's order on a fresh settings file, with the main window shown on the
// offscreen screen; ports mapped to virtual devices only; helpers to act as
// the user does (clicks, picks in drop-down lists) and to wait for conditions.

#include "about/Unit3.h"
#include "editor/Unit2.h"
#include "editor/editor1.h"
#include "monitor/Unit1.h"
#include "platform/VirtualCommDevice.h"
#include "tests/serial/GuiTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QTest>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kalvaro::test {

// The program's windows, created in its order and linked as main() does.
struct TWindows {
    TWindows() {
        Form1.SetCompanions(&Form3, &Editor, &Form2);
        Editor.SetPathFields(&Form1.EditPath, &Form1.EditFile);
        Editor.SetUserButtonDialog(&Form2);
    }

    TForm1 Form1;
    TForm3 Form3;
    TEditor Editor;
    TForm2 Form2;
};

// A settings file that maps COM numbers to these devices and lists nothing
// else of the machine; portKeys are more lines of [Ports], extra is
// appended as it is (more sections).
inline void WriteSettingsWithPorts(const std::vector<std::pair<int, std::string>>& ports, const std::string& extra = {},
                                   const std::string& portKeys = {}) {
    std::string text = "[Ports]\nScan=0\nDemoPair=0\n" + portKeys;
    for (const auto& [number, device] : ports) text += "COM" + std::to_string(number) + "=" + device + "\n";
    WriteSettings(text + extra);
}

// A virtual null-modem pair of its own for each use.
inline std::string FreshPair(const std::string& stem) {
    static std::atomic<int> serial{0};
    return stem + std::to_string(serial++);
}

inline void Click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); }

// Makes the settings file's folder unusable while it lives: a regular file
// stands where the folder should be.
class TUnwritableSettings {
public:
    TUnwritableSettings() {
        std::filesystem::remove_all(Folder());
        std::ofstream(Folder()) << "not a folder\n";
    }
    ~TUnwritableSettings() {
        std::filesystem::remove(Folder());
        ResetSettings();
    }
    TUnwritableSettings(const TUnwritableSettings&) = delete;
    TUnwritableSettings& operator=(const TUnwritableSettings&) = delete;

private:
    static std::filesystem::path Folder() { return SettingsFile().parent_path(); }
};

// Each test starts from the start state's settings file and its own windows.
class MainWindowTest : public testing::Test {
protected:
    void TearDown() override {
        Windows.reset();
        ResetSettings();
    }

    // Creates the windows on the settings file as it is now and shows the
    // main window, active.
    TForm1& Start() {
        Windows = std::make_unique<TWindows>();
        TForm1& form = Windows->Form1;
        form.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
        form.activateWindow();
        EXPECT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == &form; }));
        return form;
    }

    std::unique_ptr<TWindows> Windows;
};

}  // namespace kalvaro::test
