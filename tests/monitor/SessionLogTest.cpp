// The log file on its own, with arrival times the test chooses: the merge of
// the sources by time, what waits for the window's mark, the lines' form and
// a backlog that outgrows its bound.
#include "monitor/SessionLog.h"
#include "tests/monitor/MainWindowFixture.h"

#include <gtest/gtest.h>

#include <QDateTime>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace kalvaro::test;

class SessionLogTest : public testing::Test {
protected:
    void SetUp() override {
        Folder = std::filesystem::temp_directory_path() / FreshPair("kalvaro-log-" + std::to_string(getpid()) + "-");
        std::filesystem::create_directories(Folder);
    }
    void TearDown() override { std::filesystem::remove_all(Folder); }

    QString PathOf(const std::string& name) const { return QString::fromStdString((Folder / name).string()); }
    static std::string Text(const QString& path) {
        std::ifstream file(path.toStdString(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    // The clock text of a time, as the log writes it.
    static std::string Clock(afp::TArrivalTime time) {
        return QDateTime::fromMSecsSinceEpoch(time / 1000).toString("hh:mm:ss.zzz").toStdString();
    }

    std::filesystem::path Folder;
};

TEST_F(SessionLogTest, SourcesAreMergedByTimeAndWaitForTheMark) {
    // Noon of a day, so that a few seconds never cross midnight.
    const afp::TArrivalTime t = QDateTime(QDate(2024, 5, 1), QTime(12, 0)).toMSecsSinceEpoch() * 1000;
    const QString path = PathOf("merge.log");
    {
        TSessionLog log(path, true, {});
        // Port 2's bytes are handed over after port 1's, but came earlier.
        log.Add(TLogSource::Port1, 3, "ABC", {{2, t + 5000}, {1, t + 5400}});
        log.Add(TLogSource::Port2, 4, "xy", {{1, t + 1000}, {1, t + 7000}});
        log.AddSent(3, "\r", t + 6000);
        log.CompleteBefore(t + 6500);
        // Handed over later, still older than the mark's next step.
        log.Add(TLogSource::Port1, 3, "D", {{1, t + 6600}});
        log.CompleteBefore(t + 6900);
        log.Add(TLogSource::Port2, 4, "z", {{1, t + 2'000'000}});
    }
    const std::string header = "# Kalvaro log, " + QDate::currentDate().toString(Qt::ISODate).toStdString() + "\n";
    EXPECT_EQ(Text(path), header + "# 2024-05-01\n" +                   //
                              Clock(t + 1000) + " COM4 < 78\n" +        //
                              Clock(t + 5000) + " COM3 < 41 42 43\n" +  // one millisecond, one line
                              Clock(t + 6000) + " COM3 > 0D\n" +        //
                              Clock(t + 6600) + " COM3 < 44\n" +        //
                              Clock(t + 7000) + " COM4 < 79\n" +        // the rest at the stop
                              Clock(t + 2'000'000) + " COM4 < 7A\n");
    EXPECT_EQ(Text(TSessionLog::RawPath(path, 1)), "ABCD");
    EXPECT_EQ(Text(TSessionLog::RawPath(path, 2)), "xyz");
    EXPECT_EQ(TSessionLog::RawPath(path, 2), PathOf("merge.port2.bin"));
}

TEST_F(SessionLogTest, ABacklogPastItsBoundEndsTheLogOnce) {
    std::vector<std::string> failures;
    std::mutex lock;
    {
        TSessionLog log(PathOf("behind.log"), false, [&](const std::string& message) {
            std::lock_guard guard(lock);
            failures.push_back(message);
        });
        // Never marked complete: everything waits.
        const std::string block(1 << 20, 'b');
        for (std::size_t i = 0; i <= TSessionLog::MaxBacklogBytes >> 20; ++i)
            log.Add(TLogSource::Port1, 1, block, {{static_cast<std::uint32_t>(block.size()), afp::ArrivalNow()}});
        ASSERT_TRUE(WaitUntil([&] {
            std::lock_guard guard(lock);
            return !failures.empty();
        }));
        log.Add(TLogSource::Port1, 1, "more", {{4, afp::ArrivalNow()}});
    }
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], "Cannot write to " + PathOf("behind.log").toStdString() +
                               ": more than 64 MiB waited to be written. The log has stopped");
}

}  // namespace
