#pragma once
// A TCP connection for the network ports, behind the platform split: BSD
// sockets with poll() and an eventfd on Linux (NetSocketPosix.cpp), Winsock
// with event objects on Windows (NetSocketWin32.cpp).
//
// Plain sockets rather than a networking library: the backend needs one
// connection, non-blocking sends and receives and one wait that a second
// thread can interrupt; both systems offer that in a few calls, the
// MinGW cross-build needs nothing more, and there is no second event loop
// beside the backend's own thread.
//
// Connections are made with TCP_NODELAY (a typed character goes at once,
// not after the peer's delayed acknowledgement) and with keep-alive probes
// such that a peer that stops answering is given up after about
// KeepAliveLimit; on Linux TCP_USER_TIMEOUT applies the same limit to sent
// data that is never acknowledged.
//
// Thread rule: Wake() may be called from any thread; everything else belongs
// to one thread at a time (the opener, then the device's I/O thread).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace afp {

inline constexpr std::chrono::seconds KeepAliveLimit{10};

struct TNetResult {
    enum class TStatus { Done, WouldBlock, Closed, Failed };
    TStatus Status = TStatus::Done;
    std::size_t Count = 0;  // bytes sent or received, when Done
    int Error = 0;          // the system's error number, when Failed
};

class TNetSocket {
public:
    // Resolves host and connects to it within limit. On failure returns null
    // and says why in failure ("connection refused", "no answer within
    // 2000 ms", "no such host: ...").
    static std::unique_ptr<TNetSocket> Connect(const std::string& host, std::uint16_t port,
                                               std::chrono::milliseconds limit, std::string& failure);
    ~TNetSocket();
    TNetSocket(const TNetSocket&) = delete;
    TNetSocket& operator=(const TNetSocket&) = delete;

    // Never block. Receive reports Closed when the peer has closed its side.
    TNetResult Send(const std::uint8_t* data, std::size_t count);
    TNetResult Receive(std::uint8_t* data, std::size_t count);
    // Sleeps until the connection may have become readable (when wantRead)
    // or writable (wantWrite), or has failed, or Wake() was called, or
    // timeoutMs passed (negative: no limit). It may return early: callers
    // then try and meet WouldBlock.
    void Wait(bool wantRead, bool wantWrite, int timeoutMs);
    void Wake();
    // Closes the connection; Wait then waits for Wake() or the time-out alone.
    void Disconnect();

    // The system's text for an error number of Send or Receive.
    static std::string ErrorText(int error);

    struct TImpl;

private:
    friend class TNetListener;
    explicit TNetSocket(std::unique_ptr<TImpl> impl);
    std::unique_ptr<TImpl> impl_;
};

// A listening socket on the loopback address, for tests and benchmarks that
// play the server.
class TNetListener {
public:
    // port 0: a free port, which Port() then tells. Null on failure.
    static std::unique_ptr<TNetListener> Listen(std::uint16_t port = 0, int backlog = 8);
    ~TNetListener();
    TNetListener(const TNetListener&) = delete;
    TNetListener& operator=(const TNetListener&) = delete;

    std::uint16_t Port() const { return port_; }
    // The next connection, or null when none came within limit.
    std::unique_ptr<TNetSocket> Accept(std::chrono::milliseconds limit);

    struct TImpl;

private:
    TNetListener(std::unique_ptr<TImpl> impl, std::uint16_t port);
    std::unique_ptr<TImpl> impl_;
    std::uint16_t port_;
};

}  // namespace afp
