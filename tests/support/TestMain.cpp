// The main of every test binary. Before any test runs it points the settings
// folder at a fresh temporary folder whose port map lists no device of this
// machine ([Ports] Scan=0, no demo pair), so no test can open a real serial
// port; tests add the ptys and virtual devices they need. (On Windows the
// system names its own ports: tests there open only the ports they are
// given, see TestCables().) It also keeps the limits of TCallLimit and of
// each test, so a test that hangs ends the program with its name.
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

namespace {

std::filesystem::path configHome;

using TClock = std::chrono::steady_clock;

// Far beyond what any test waits on its own (its longest limit is a minute)
// or takes on a busy machine under Wine, and within what the test runners
// allow a program.
constexpr std::chrono::seconds TestLimit{240};

// One thread watches every limit, started before the first test so that
// tests counting this process's threads never see it come.
class TWatchdog {
public:
    static TWatchdog& Instance() {
        // Never destroyed: its thread may still look at it while the
        // program exits.
        static TWatchdog* const watchdog = new TWatchdog;
        return *watchdog;
    }

    std::uint64_t Add(std::chrono::milliseconds limit, std::string message) {
        std::lock_guard guard(lock_);
        limits_[++lastId_] = TLimit{TClock::now() + limit, std::move(message)};
        changed_.notify_all();
        return lastId_;
    }

    void Remove(std::uint64_t id) {
        std::lock_guard guard(lock_);
        limits_.erase(id);
    }

    // The running test's name, for the messages.
    void SetTest(std::string name) {
        std::lock_guard guard(lock_);
        test_ = std::move(name);
    }
    std::string Test() {
        std::lock_guard guard(lock_);
        return test_;
    }

private:
    struct TLimit {
        TClock::time_point Deadline;
        std::string Message;
    };

    TWatchdog() {
        std::thread([this] { Run(); }).detach();
    }

    void Run() {
        std::unique_lock guard(lock_);
        for (;;) {
            const auto first = std::min_element(limits_.begin(), limits_.end(), [](const auto& a, const auto& b) {
                return a.second.Deadline < b.second.Deadline;
            });
            if (first == limits_.end()) {
                changed_.wait(guard);
            } else if (const TClock::time_point deadline = first->second.Deadline; TClock::now() < deadline) {
                // A copy: the entry may go while this waits.
                changed_.wait_until(guard, deadline);
            } else {
                const std::string message = first->second.Message;
                guard.unlock();
                kalvaro::test::EndStuckRun(message);
            }
        }
    }

    std::mutex lock_;  // guards limits_, lastId_ and test_
    std::condition_variable changed_;
    std::map<std::uint64_t, TLimit> limits_;
    std::uint64_t lastId_ = 0;
    std::string test_;
};

class TTestLimit : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& test) override {
        TWatchdog::Instance().SetTest(std::string(test.test_suite_name()) + "." + test.name());
        id_ = TWatchdog::Instance().Add(TestLimit,
                                        "the test did not finish within " + std::to_string(TestLimit.count()) + " s");
    }
    void OnTestEnd(const testing::TestInfo&) override {
        TWatchdog::Instance().Remove(id_);
        TWatchdog::Instance().SetTest({});
    }

    std::uint64_t id_ = 0;
};

}  // namespace

namespace kalvaro::test {

std::filesystem::path ConfigHome() { return configHome; }

std::filesystem::path SettingsFile() { return configHome / "kalvaro" / "c_28_zirk.ini"; }

void WriteSettings(const std::string& text) {
    std::filesystem::create_directories(SettingsFile().parent_path());
    std::ofstream(SettingsFile(), std::ios::binary | std::ios::trunc) << text;
}

void ResetSettings() { WriteSettings("[Ports]\nScan=0\nDemoPair=0\n"); }

void EndStuckRun(const std::string& message) {
    // Printed the way GoogleTest prints a failure, but not through it: the
    // thread that is stuck may hold its lock.
    const std::string test = TWatchdog::Instance().Test();
    std::printf("%s:%d: Failure\n%s%s%s; the test program ends here\n", __FILE__, __LINE__, test.c_str(),
                test.empty() ? "" : ": ", message.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(1);
}

TCallLimit::TCallLimit(std::chrono::milliseconds limit, std::string what)
    : id_(TWatchdog::Instance().Add(limit, what + " did not return within " + std::to_string(limit.count()) + " ms")) {}

TCallLimit::~TCallLimit() { TWatchdog::Instance().Remove(id_); }

std::vector<TCable> TestCables() {
    std::vector<TCable> cables;
    const char* variable = std::getenv("KALVARO_TEST_CABLES");
    std::string list = variable ? variable : "";
    list += ',';
    for (std::size_t start = 0, comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1) {
        const std::string item = list.substr(start, comma - start);
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == item.size()) continue;
        cables.push_back({item.substr(0, colon), item.substr(colon + 1)});
    }
    return cables;
}

}  // namespace kalvaro::test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    TWatchdog::Instance();
    testing::UnitTest::GetInstance()->listeners().Append(new TTestLimit);
    configHome = kalvaro::test::MakeIsolatedConfigHome();
    if (configHome.empty()) return 2;
    kalvaro::test::ResetSettings();
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(configHome, ignored);
    return result;
}
