// The settings file survives a program killed while it writes: a child
// process writes keys, the test kills it with SIGKILL at a random moment, and
// the file must then be exactly what some whole number of the child's writes
// made of it — the write in flight either fully there or not at all, every
// other key as before, no torn or mixed text. The temporary files a killed
// write leaves behind never stand in for the settings file.
//
// The child reports each write that returned through a pipe, so the test
// knows that n writes were done and the file must show n or n + 1 of them
// (the last one may have been renamed into place just before the kill). A
// write is one key (WritePrivateProfileString) or a batch of keys written
// together (WritePrivateProfileStrings, as the close does), which shows
// whole or not at all. The expected text is replayed in memory with
// ProfileReplace, the text operation behind both.
// A killed write can leave its temporary file, which the next start removes.
#include "platform/Profile.h"

#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct TKey {
    std::string Section;
    std::string Name;
};

// One key of a write.
struct TWrite {
    TKey Key;
    std::string Value;
};
// One call of a sequence: a single key, or a batch of keys.
using TStep = std::vector<TWrite>;

std::vector<TStep> OneKeyEach(const std::vector<TWrite>& writes) {
    std::vector<TStep> steps;
    for (const TWrite& write : writes) steps.push_back({write});
    return steps;
}

bool Perform(const TStep& step, const fs::path& file) {
    if (step.size() == 1)
        return afp::WritePrivateProfileString(step[0].Key.Section, step[0].Key.Name, step[0].Value, file);
    std::vector<afp::TProfileEntry> entries;
    for (const TWrite& write : step) entries.push_back({write.Key.Section, write.Key.Name, write.Value});
    return afp::WritePrivateProfileStrings(entries, file);
}

// A value that changes in length and content with every write: 100 to
// 2000 characters (a value is read back whole up to 2047).
std::string BigValue(std::uint64_t tag, const TKey& key) {
    std::mt19937_64 random(tag * 1000003 + std::hash<std::string>{}(key.Section + "/" + key.Name));
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.:/";
    std::string value = key.Name + "#" + std::to_string(tag) + "#";
    const std::size_t length = 100 + random() % 1900;
    while (value.size() < length) value.push_back(alphabet[random() % (sizeof alphabet - 1)]);
    return value;
}

// The text the file holds after the first `count` steps, starting from
// `start`.
std::string Replay(std::string text, const std::vector<TStep>& steps, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        for (const TWrite& write : steps[i]) text = afp::ProfileReplace(text, write.Key.Section, write.Key.Name, write.Value);
    return text;
}

std::string FileText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// A child that performs steps in order, reporting each one that returned
// true with a byte on a pipe ('f' and exit 1 for a refused write), and a
// test-side handle that kills it at a chosen moment.
class TWriterChild {
public:
    TWriterChild(const fs::path& file, const std::vector<TStep>& steps) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::close(fds[0]);
            for (const TStep& step : steps) {
                const bool done = Perform(step, file);
                const char report = done ? 'w' : 'f';
                if (::write(fds[1], &report, 1) != 1 || !done) ::_exit(1);
            }
            // Every write done: wait to be killed like the others.
            ::pause();
            ::_exit(0);
        }
        ::close(fds[1]);
        reports_ = fds[0];
    }
    ~TWriterChild() {
        Kill();
        ::close(reports_);
    }
    TWriterChild(const TWriterChild&) = delete;
    TWriterChild& operator=(const TWriterChild&) = delete;

    // Blocks until count writes have been reported (or the child ended).
    bool AwaitWrites(std::size_t count) {
        while (done_ < count) {
            char report = 0;
            const ssize_t got = ::read(reports_, &report, 1);
            if (got < 0 && errno == EINTR) continue;
            if (got != 1) return false;
            if (report != 'w') refused_ = true;
            ++done_;
        }
        return !refused_;
    }

    // SIGKILL, then the writes reported before it died.
    std::size_t Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
            // The pipe now ends where the child stopped.
            char report = 0;
            ssize_t got = 0;
            while ((got = ::read(reports_, &report, 1)) == 1 || (got < 0 && errno == EINTR)) {
                if (got != 1) continue;
                if (report != 'w') refused_ = true;
                ++done_;
            }
        }
        return done_;
    }

    bool Refused() const { return refused_; }

private:
    pid_t pid_ = -1;
    int reports_ = -1;
    std::size_t done_ = 0;
    bool refused_ = false;
};

class ProfileCrashTest : public testing::Test {
protected:
    void SetUp() override {
        Folder = kalvaro::test::ConfigHome() /
                 ("crash-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(Folder);
        fs::create_directories(Folder);
        File = Folder / "c_28_zirk.ini";
    }
    void TearDown() override { fs::remove_all(Folder); }

    // Kills a child that performs writes at a random moment: after a random
    // number of reported writes (up to maxReported), then a random part of
    // the time one write takes. Checks the file against the writes' replay
    // and returns the number of writes the file shows.
    std::size_t KillMidway(const std::string& start, const std::vector<TStep>& writes, std::size_t maxReported) {
        TWriterChild child(File, writes);
        const std::size_t reported = std::uniform_int_distribution<std::size_t>(0, maxReported)(Random);
        EXPECT_TRUE(child.AwaitWrites(reported)) << "a write was refused";
        // Not a wait for anything: where the kill lands inside the next write
        // (reading, writing the temporary file, syncing, renaming).
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(Random)));
        const std::size_t done = child.Kill();
        EXPECT_FALSE(child.Refused()) << "a write was refused";

        // Exactly `done` writes, or one more renamed in just before the kill.
        const std::string text = FileText(File);
        for (std::size_t shown : {done, done + 1}) {
            if (shown > writes.size()) break;
            if (text == Replay(start, writes, shown)) {
                ExpectOnlyTemporariesBeside();
                return shown;
            }
        }
        ADD_FAILURE() << "after " << done << " reported writes the file is neither the state after them nor after one more ("
                      << text.size() << " bytes)";
        return done;
    }

    // Whatever else is in the folder is a temporary file of a write, named
    // so that nothing takes it for the settings file.
    void ExpectOnlyTemporariesBeside() {
        for (const auto& entry : fs::directory_iterator(Folder)) {
            const std::string name = entry.path().filename().string();
            if (name == File.filename().string()) continue;
            EXPECT_TRUE(name.starts_with(".c_28_zirk.ini.tmp-")) << name;
        }
    }

    fs::path Folder;
    fs::path File;
    std::mt19937 Random{20240611};
};

TEST_F(ProfileCrashTest, AWriterKilledAtRandomMomentsLeavesEveryKeyOldOrNew) {
    std::vector<TKey> keys;
    for (int i = 0; i < 16; ++i) keys.push_back({"Section" + std::to_string(i % 3), "Key" + std::to_string(i)});
    std::string first = "; written by hand\n[Ports]\nScan=0\n";
    for (const TKey& key : keys) first = afp::ProfileReplace(first, key.Section, key.Name, BigValue(0, key));
    std::ofstream(File, std::ios::binary) << first;

    std::size_t midway = 0;  // kills that left the sequence part-way through
    for (std::uint64_t round = 1; round <= 200; ++round) {
        const std::string start = FileText(File);
        // Rounds of keys, each with new values, more than the child gets to.
        std::vector<TWrite> writes;
        for (std::uint64_t pass = 0; pass < 4; ++pass)
            for (const TKey& key : keys) writes.push_back({key, BigValue(round * 100 + pass, key)});
        const std::size_t shown = KillMidway(start, OneKeyEach(writes), 8);
        if (HasFailure()) break;
        midway += shown % keys.size() != 0;

        // The file reads as it should: each key the value of its last write
        // shown, or its old value.
        for (const TKey& key : keys) {
            std::string expected = afp::ProfileLookup(start, key.Section, key.Name).value_or("");
            for (std::size_t i = 0; i < shown; ++i)
                if (writes[i].Key.Name == key.Name) expected = writes[i].Value;
            ASSERT_EQ(afp::GetPrivateProfileString(key.Section, key.Name, "?", File), expected) << key.Name;
        }
        EXPECT_EQ(afp::GetPrivateProfileString("Ports", "Scan", "?", File), "0");
    }
    EXPECT_GT(midway, 0u) << "no kill landed part-way through the writes";
}

TEST_F(ProfileCrashTest, AKillDuringTheCloseLeavesAllKeysOldOrAllNew) {
    // The main window's close writes these keys, in this order.
    const std::vector<TKey> keys = {
        {"ComPort1", "Color"},    {"ComPort2", "Color"},    {"ComPort3", "Color"},       {"ComPort3", "Sep1"},
        {"ComPort3", "Sep2"},     {"ComPort3", "EditPath"}, {"ComPort3", "EditFile"},    {"ComPort3", "LoadPath"},
        {"ComPort3", "LoadFile"}, {"ComPort3", "UserCaption"}, {"ComPort3", "UserHint"}, {"ComPort3", "UserOut"}};
    const std::vector<std::string> before = {"52224", "16777215", "16776960", "x - x", "xx",
                                             "/home/user/scripts", "modem.cpo", "/home/user/scripts/long/" + std::string(300, 'p'),
                                             "init.cpo", "User", "User defined value", "00"};
    const std::vector<std::string> after = {"255", "65280", "16711680", "x|x", "x;x",
                                            "/srv/other/" + std::string(1500, 'q'), "test.cpo", "/tmp", "run.cpo",
                                            "Reset", "Sends ESC", "1B"};
    std::string start = "[Ports]\nScan=0\nDemoPair=0\n";
    for (std::size_t i = 0; i < keys.size(); ++i) start = afp::ProfileReplace(start, keys[i].Section, keys[i].Name, before[i]);
    // The close writes them as one batch, into a file that has grown big
    // (other sections, other programs' keys), so that a kill has a long
    // write to land in.
    for (int i = 0; i < 20000; ++i) start += "Other" + std::to_string(i) + "=" + std::string(80, 'o') + "\n";
    TStep close;
    for (std::size_t i = 0; i < keys.size(); ++i) close.push_back({keys[i], after[i]});

    int shownNew = 0;
    for (int round = 0; round < 40 && !HasFailure(); ++round) {
        std::ofstream(File, std::ios::binary | std::ios::trunc) << start;
        const bool allNew = KillMidway(start, {close}, 0) == 1;
        if (HasFailure()) break;
        shownNew += allNew;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const std::string value = afp::GetPrivateProfileString(keys[i].Section, keys[i].Name, "?", File);
            ASSERT_EQ(value, allNew ? after[i] : before[i]) << keys[i].Section << "/" << keys[i].Name;
        }
    }
    EXPECT_LT(shownNew, 40) << "no kill landed before the close's write was done";

    // What the killed writes left behind goes at the next start.
    afp::RemoveStaleProfileTemporaries(File);
    EXPECT_EQ(std::distance(fs::directory_iterator(Folder), {}), 1);
}

}  // namespace
