// What only the Windows build does: names go to the system as they are, the
// kernel objects are the system's own, thread priorities are passed through,
// the settings file is the system's private profile in the Windows
// directory, and the program describes itself by its module's name. The
// behaviour every backend shares is in CommDeviceContractTest.
#include "platform/CommBackends.h"
#include "platform/CommDevice.h"
#include "platform/KernelObjects.h"
#include "platform/Profile.h"
#include "platform/ProgramInfo.h"
#include "platform/ThreadPriority.h"
#include "platform/VirtualCommDevice.h"
#include "tests/platform/DeviceFixtures.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>

namespace kalvaro::test {
namespace {

using afp::LastError;

std::string FileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// ---- opening by name ----

TEST(Win32OpenByName, CablePortsOpenThroughTheSystemAndOtherNamesAreNotFound) {
    const auto cables = TestCables();
    if (cables.empty()) GTEST_SKIP() << "no null-modem cable lent to tests (KALVARO_TEST_CABLES=COMa:COMb)";
    auto device = afp::OpenCommDevice(cables.front().Device);
    ASSERT_TRUE(device) << cables.front().Device << ": error " << LastError();
    DCB state{};
    EXPECT_TRUE(device->GetCommState(state)) << LastError();

    // A file is no serial port, whatever its name; a name of nothing is not found.
    const std::filesystem::path file = ConfigHome() / "not-a-port.txt";
    std::ofstream(file) << "text";
    for (const std::string& name : {file.string(), (ConfigHome() / "missing").string(), std::string()}) {
        afp::SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(afp::OpenCommDevice(name), nullptr) << name;
        EXPECT_EQ(LastError(), ERROR_FILE_NOT_FOUND) << name;
    }
}

TEST(Win32OpenByName, VirtualNamesStillReachTheVirtualDevices) {
    const std::string end = afp::virt::EndName("win32names", afp::virt::TEnd::A);
    auto device = afp::OpenCommDevice(end);
    ASSERT_TRUE(device) << LastError();
    EXPECT_EQ(afp::OpenVirtualCommDevice(end), nullptr);
    EXPECT_EQ(LastError(), ERROR_ACCESS_DENIED);
}

// ---- kernel objects ----

TEST(Win32KernelObjects, EventsAreSystemEventsThatOthersCanSignal) {
    afp::TKernelEvent manual(true), automatic(false);
    // Signalled from outside the platform layer, as the kernel does when an
    // overlapped operation completes.
    ASSERT_TRUE(SetEvent(automatic.State().Handle));
    EXPECT_TRUE(automatic.IsSignalled());
    EXPECT_TRUE(automatic.IsSignalled()) << "looking consumed the auto-reset event";
    EXPECT_EQ(afp::WaitForAny({&manual, &automatic}, 0), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(automatic.IsSignalled());

    std::thread setter([&] { SetEvent(manual.State().Handle); });
    EXPECT_TRUE(afp::WaitForEvent(manual, static_cast<DWORD>(ShortLimit.count())));
    setter.join();
    EXPECT_EQ(WaitForSingleObject(manual.State().Handle, 0), WAIT_OBJECT_0);
}

// ---- thread priorities ----

TEST(Win32ThreadPriority, TheSevenStepsArePassedThrough) {
    std::thread worker([] {
        const auto self = afp::CurrentThreadId();
        EXPECT_EQ(static_cast<DWORD>(self), GetCurrentThreadId());
        for (const int priority :
             {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
              THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_TIME_CRITICAL}) {
            ASSERT_TRUE(afp::SetThreadPriority(self, priority)) << priority << ": error " << GetLastError();
            EXPECT_EQ(GetThreadPriority(GetCurrentThread()), priority);
        }
    });
    worker.join();
    EXPECT_FALSE(afp::SetThreadPriority(0, THREAD_PRIORITY_NORMAL));
}

// ---- the settings file ----

TEST(Win32Profile, BareNamesLiveInTheWindowsDirectory) {
    char windows[MAX_PATH + 1] = {};
    const UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(afp::ConfigFolder(), std::string(windows, length));
    EXPECT_EQ(afp::ProfilePath("c_28_zirk.ini"), std::string(windows, length) + "\\c_28_zirk.ini");
    EXPECT_EQ(afp::ProfilePath("C:\\x\\y.ini"), "C:\\x\\y.ini");
    EXPECT_EQ(afp::ProfilePath("sub/y.ini"), "sub/y.ini");
}

TEST(Win32Profile, ReadsAndWritesWithThePrivateProfileRules) {
    const std::string file = (ConfigHome() / "profile.ini").string();
    std::ofstream(file, std::ios::binary) << "; kept\r\n[ComPort1]\r\nColor = \"52224\" \r\n\r\n[Other]\r\nKey=1\r\n";

    EXPECT_EQ(afp::GetPrivateProfileString("comport1", "COLOR", "none", file), "52224");
    EXPECT_EQ(afp::GetPrivateProfileString("ComPort1", "Missing", "default", file), "default");
    EXPECT_EQ(afp::GetPrivateProfileString("Nowhere", "Color", "default", file), "default");

    ASSERT_TRUE(afp::WritePrivateProfileString("ComPort1", "Color", "255", file)) << GetLastError();
    ASSERT_TRUE(afp::WritePrivateProfileString("ComPort3", "Sep1", "x - x", file)) << GetLastError();
    EXPECT_EQ(afp::GetPrivateProfileString("ComPort1", "Color", "", file), "255");
    EXPECT_EQ(afp::GetPrivateProfileString("ComPort3", "Sep1", "", file), "x - x");
    EXPECT_EQ(afp::GetPrivateProfileString("Other", "Key", "", file), "1");
    const std::string text = FileText(file);
    EXPECT_NE(text.find("; kept"), std::string::npos) << text;

    // A value longer than the limit comes back cut; a line break ends a value.
    ASSERT_TRUE(afp::WritePrivateProfileString("Long", "Value", std::string(3000, 'v'), file));
    EXPECT_EQ(afp::GetPrivateProfileString("Long", "Value", "", file), std::string(afp::ProfileValueLimit, 'v'));
    ASSERT_TRUE(afp::WritePrivateProfileString("Long", "Lines", "first\r\nSecond=line", file));
    EXPECT_EQ(afp::GetPrivateProfileString("Long", "Lines", "", file), "first");
    EXPECT_EQ(afp::GetPrivateProfileString("Long", "Second", "none", file), "none");
}

TEST(Win32Profile, UnwritableFileFails) {
    const std::string folder = (ConfigHome() / "is-a-folder.ini").string();
    std::filesystem::create_directories(folder);
    EXPECT_FALSE(afp::WritePrivateProfileString("S", "K", "V", folder));
}

// ---- describing the program ----

class TSampleError : public std::runtime_error {
public:
    TSampleError() : std::runtime_error("sample") {}
};

TEST(Win32ProgramInfo, ModuleNameAndReadableClassNames) {
    char path[MAX_PATH + 1] = {};
    ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    const std::string name = afp::ProgramFileName();
    EXPECT_EQ(name, std::filesystem::path(path).filename().string());
    EXPECT_EQ(name.substr(name.size() - 4), ".exe");
    EXPECT_EQ(afp::ReadableTypeName(typeid(TSampleError)), "kalvaro::test::(anonymous namespace)::TSampleError");
}

}  // namespace
}  // namespace kalvaro::test
