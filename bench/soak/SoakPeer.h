#pragma once
// The far end of one soak port: a child process that owns a copy of a pty
// master, floods it with a reproducible random stream and, for the output
// port, reads back what the window sends and checks it.
//
// The stream: byte p of stream `seed` is StreamByte(seed, p), so any stretch
// of it can be rebuilt later (StreamBytes) to check what the window shows.
// A stream made without line ends has every 10 and 13 replaced by 0x8A and
// 0x8D: port 2 leaves line ends that become line breaks out of its count, a
// rule that depends on the display mode at the moment each byte arrives,
// and without them every byte port 2 receives is counted in every mode.
//
// The peer starts paused. Resume lets it write, up to a byte position or
// without end; Pause stops it between two writes. Sent() is the exact number
// of stream bytes the pty has taken; while Paused() holds, it does not move,
// so a caller can wait until the window has counted exactly that many.
// With an expected cycle the peer reads the master from the first Resume on
// (the window must have opened the slave by then), paused or not, until the
// line hangs up, and compares byte i with cycle[i % size]: Received() and
// Mismatches() tell how that went.
//
// Threads and processes: the object lives on one thread of the parent; the
// child is forked in the constructor, so make peers before the program starts
// threads. The child only waits in poll(): on its control socket and, as
// needed, on the master. Stop (or the destructor) ends it and gives its exit
// status: 0, or 1 when a write or read of the master failed (Error() holds
// that errno).

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace kalvaro::bench {

std::uint8_t StreamByte(unsigned seed, std::uint64_t position, bool noLineEnds);
std::string StreamBytes(unsigned seed, std::uint64_t from, std::size_t count, bool noLineEnds);

class TSoakPeer {
public:
    // masterFd stays the caller's; the child works on its own copy.
    TSoakPeer(int masterFd, unsigned seed, bool noLineEnds, std::string expectedCycle = {});
    ~TSoakPeer();
    TSoakPeer(const TSoakPeer&) = delete;
    TSoakPeer& operator=(const TSoakPeer&) = delete;

    // Writes on from Sent(), up to the stream position `until` (0: no end);
    // on reaching it the peer pauses by itself.
    void Resume(std::uint64_t until = 0);
    void Pause();
    // Ends the child; its exit status (-1 when it did not exit normally).
    int Stop();

    bool Paused() const { return shared_->Paused; }
    std::uint64_t Sent() const { return shared_->Sent; }
    std::uint64_t Received() const { return shared_->Received; }
    std::uint64_t Mismatches() const { return shared_->Mismatches; }
    int Error() const { return shared_->Error; }

private:
    struct TShared {
        std::atomic<bool> Paused{true};
        std::atomic<std::uint64_t> Sent{0};
        std::atomic<std::uint64_t> Received{0};
        std::atomic<std::uint64_t> Mismatches{0};
        std::atomic<int> Error{0};
    };
    struct TCommand {
        char Op = 0;  // 'r' resume, 'p' pause, 'q' quit
        std::uint64_t Until = 0;
    };

    void Send(TCommand command);
    [[noreturn]] static void Run(int master, int control, unsigned seed, bool noLineEnds, const std::string& cycle,
                                 TShared& shared);

    TShared* shared_ = nullptr;
    int control_ = -1;
    pid_t child_ = -1;
    int status_ = -1;
};

}  // namespace kalvaro::bench
