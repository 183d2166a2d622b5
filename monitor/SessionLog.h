#pragma once
// The log of everything: every byte received on port 1 and port 2 and sent
// to port 1, from the log's start to its stop, in the order it arrived,
// whatever the views show or drop.
//
// The file (UTF-8 text, LF line ends, replaced when it exists):
//     # Kalvaro log, 2024-05-01
//     12:34:56.789 COM3 < 41 42 43 0D 0A
//     12:34:56.790 COM3 > 06
//     # 2024-05-02
// One line per run: the bytes of one port and direction that arrived within
// one millisecond with nothing else between them, always in hexadecimal.
// "<" is received, ">" sent; the time is local (TimeStamps.h) and a line
// "# <date>" starts every new day. With raw files the received bytes of each
// port also go, as they are, to RawPath(path, 1) and RawPath(path, 2).
//
// Order: the window hands over what it reads from each port (with the times
// the bytes arrived) and what it sends (with the time it sent them), and
// marks with CompleteBefore up to which time it has handed over everything
// (it noted the time, then read both ports empty). The worker writes what
// is older than the mark, merged by time; newer entries wait for the next
// mark. The stop writes everything.
//
// Writing: a worker thread formats and writes; the window's calls only copy
// the bytes. The worker writes at least once a second and at the stop. The
// first write that fails (a full disk, a file grown past its limit, a
// medium gone) ends the log: the files close, later hand-overs are dropped
// and the failure handler runs once, on the worker thread, with the message
// "Cannot write to <path>: <reason>. The log has stopped". More than
// MaxBacklogBytes waiting for the worker ends it the same way.
//
// Threads: the worker is started by the constructor and stopped by the
// destructor, which writes what is left and waits for it; everything else is
// called by one thread, the window's. The hand-over (inbox_, mark_ and the
// flags below) is guarded by lock_; the files and the text being formatted
// belong to the worker.

#include "monitor/TimeStamps.h"
#include "platform/ArrivalTime.h"

#include <QFile>
#include <QString>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

enum class TLogSource : std::uint8_t { Port1, Port2, Sent };

class TSessionLog {
public:
    using TFailureHandler = std::function<void(const std::string& message)>;
    static constexpr std::size_t MaxBacklogBytes = std::size_t{64} << 20;

    // Creates the files (the log's first line is written at once) and starts
    // the worker. Throws std::runtime_error "Cannot create file <path>" when
    // a file cannot be created; nothing runs then.
    TSessionLog(const QString& path, bool rawFiles, TFailureHandler onFailure);
    ~TSessionLog();
    TSessionLog(const TSessionLog&) = delete;
    TSessionLog& operator=(const TSessionLog&) = delete;

    // NAME.port1.bin for port 1 of the log NAME.log (NAME: the path without
    // its suffix).
    static QString RawPath(const QString& path, int port);
    const QString& Path() const { return path_; }

    // Bytes read from a port (Port1, Port2), chunks telling when each run
    // arrived, from COM<comNumber>.
    void Add(TLogSource source, int comNumber, std::string_view bytes, const afp::TArrivalChunks& chunks);
    // Bytes sent to COM<comNumber> at time.
    void AddSent(int comNumber, std::string_view bytes, afp::TArrivalTime time);
    // Everything that arrived or was sent before time has been handed over.
    void CompleteBefore(afp::TArrivalTime time);

private:
    struct TEntry {
        afp::TArrivalTime Time;
        TLogSource Source;
        int ComNumber;
        std::string Bytes;
    };

    void Hand(TEntry entry);
    void Run();
    // Worker: merges what came, formats what is older than mark.
    void Take(std::vector<TEntry>& incoming, afp::TArrivalTime mark);
    void Format(const TEntry& entry);
    void EndLine();
    // Worker: writes the formatted text; false once a write failed.
    bool WriteOut();
    void Fail(const QString& file, const QString& reason);

    const QString path_;
    const TFailureHandler onFailure_;
    // The worker's.
    std::unique_ptr<QFile> file_;
    std::array<std::unique_ptr<QFile>, 2> raw_;
    std::string text_;
    std::array<std::string, 2> rawText_;
    std::vector<TEntry> pending_;  // sorted by time
    std::size_t pendingBytes_ = 0;
    TClockText clock_;
    std::int64_t dateSecond_ = -1;
    std::string date_;
    bool lineOpen_ = false;
    TLogSource lineSource_ = TLogSource::Port1;
    int lineCom_ = 0;
    std::int64_t lineMillisecond_ = 0;
    bool failed_ = false;

    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<TEntry> inbox_;
    std::size_t inboxBytes_ = 0;
    afp::TArrivalTime mark_ = 0;
    bool stopping_ = false;
    bool overflow_ = false;
    bool dead_ = false;   // the worker has failed: nothing more is taken
    std::thread worker_;  // last: starts once the rest exists
};
