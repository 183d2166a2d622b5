// TCP connections on Windows: Winsock with the socket's network events
// (WSAEventSelect) and an event of our own for waking the waiting thread,
// both waited for in one WSAWaitForMultipleEvents.
//
// WSAEventSelect reports FD_READ again only after the next recv and FD_WRITE
// only after a send that met WSAEWOULDBLOCK; the backend's loop always tries
// both when it wants to, so no report is needed twice. The event is reset
// (WSAEnumNetworkEvents) after each wait, so a report nobody acts on yet
// (input while the queue is full) cannot make the loop spin.

#include "platform/NetResolve.h"
#include "platform/NetSocket.h"

// winsock2.h first: the other two build on it.
#include <winsock2.h>

#include <mstcpip.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>
#include <system_error>
#include <utility>

namespace afp {

namespace {

// Windows' TCP_MAXRT (ws2ipdef.h of newer SDKs): seconds of retransmission
// before a connection is given up.
constexpr int TcpMaxRetransmitSeconds = 5;

void StartWinsock() {
    static std::once_flag started;
    std::call_once(started, [] {
        WSADATA data{};
        // Stays up until the process ends; a failure shows in the first call.
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

void CloseSocket(SOCKET& socket) {
    if (socket != INVALID_SOCKET) ::closesocket(socket);
    socket = INVALID_SOCKET;
}

DWORD RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<DWORD>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

void SetOption(SOCKET socket, int level, int name, int value) {
    ::setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

// See NetSocket.h: idle 5 s, then Windows' ten probes 0.5 s apart.
void Tune(SOCKET socket) {
    SetOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
    tcp_keepalive keepAlive{1, 5000, 500};
    DWORD returned = 0;
    ::WSAIoctl(socket, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned, nullptr, nullptr);
    SetOption(socket, IPPROTO_TCP, TcpMaxRetransmitSeconds, static_cast<int>(KeepAliveLimit.count()));
}

std::string ErrorString(int error) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

SOCKET ConnectOne(const addrinfo& address, std::chrono::steady_clock::time_point deadline, std::string& failure) {
    SOCKET socket = ::WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0,
                                 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        failure = "socket() failed: " + ErrorString(::WSAGetLastError());
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(socket, FIONBIO, &nonBlocking);
    if (::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
        const int error = ::WSAGetLastError();
        failure = error == WSAECONNREFUSED ? "connection refused" : "connect() failed: " + ErrorString(error);
        CloseSocket(socket);
        return INVALID_SOCKET;
    }
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    const DWORD left = RemainingMs(deadline);
    timeval timeout{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
    if (::select(0, nullptr, &writable, &failed, &timeout) <= 0) {
        failure = "no answer within the connect limit";
        CloseSocket(socket);
        return INVALID_SOCKET;
    }
    int error = 0;
    int length = sizeof error;
    ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    if (FD_ISSET(socket, &failed) || error != 0) {
        failure = error == WSAECONNREFUSED ? "connection refused" : "connect() failed: " + ErrorString(error);
        CloseSocket(socket);
        return INVALID_SOCKET;
    }
    Tune(socket);
    return socket;
}

}  // namespace

struct TNetSocket::TImpl {
    SOCKET Socket = INVALID_SOCKET;
    WSAEVENT NetEvent = WSA_INVALID_EVENT;
    HANDLE WakeEvent = nullptr;
    ~TImpl() {
        CloseSocket(Socket);
        if (NetEvent != WSA_INVALID_EVENT) ::WSACloseEvent(NetEvent);
        if (WakeEvent) ::CloseHandle(WakeEvent);
    }
    // Takes a connected socket; false when the events cannot be had.
    bool Adopt(SOCKET socket) {
        Socket = socket;
        NetEvent = ::WSACreateEvent();
        WakeEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        return NetEvent != WSA_INVALID_EVENT && WakeEvent &&
               ::WSAEventSelect(Socket, NetEvent, FD_READ | FD_WRITE | FD_CLOSE) == 0;
    }
};

struct TNetListener::TImpl {
    SOCKET Socket = INVALID_SOCKET;
    ~TImpl() { CloseSocket(Socket); }
};

TNetSocket::TNetSocket(std::unique_ptr<TImpl> impl) : impl_(std::move(impl)) {}
TNetSocket::~TNetSocket() = default;

std::unique_ptr<TNetSocket> TNetSocket::Connect(const std::string& host, std::uint16_t port,
                                                std::chrono::milliseconds limit, std::string& failure) {
    StartWinsock();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    try {
        const TAddresses addresses = Resolve(host, port, deadline, failure);
        if (!addresses) return nullptr;
        for (const addrinfo* address = addresses.get(); address; address = address->ai_next) {
            const SOCKET socket = ConnectOne(*address, deadline, failure);
            if (socket != INVALID_SOCKET) {
                auto impl = std::make_unique<TImpl>();
                if (!impl->Adopt(socket)) {
                    failure = "WSAEventSelect() failed: " + ErrorString(::WSAGetLastError());
                    return nullptr;
                }
                return std::unique_ptr<TNetSocket>(new TNetSocket(std::move(impl)));
            }
            if (RemainingMs(deadline) == 0) break;
        }
    } catch (const std::system_error& error) {
        failure = std::string("no thread to resolve the host: ") + error.what();
    }
    return nullptr;
}

TNetResult TNetSocket::Send(const std::uint8_t* data, std::size_t count) {
    const int chunk = static_cast<int>(std::min<std::size_t>(count, 1u << 30));
    const int sent = ::send(impl_->Socket, reinterpret_cast<const char*>(data), chunk, 0);
    if (sent >= 0) return {TNetResult::TStatus::Done, static_cast<std::size_t>(sent), 0};
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return {TNetResult::TStatus::WouldBlock, 0, 0};
    return {TNetResult::TStatus::Failed, 0, error};
}

TNetResult TNetSocket::Receive(std::uint8_t* data, std::size_t count) {
    const int chunk = static_cast<int>(std::min<std::size_t>(count, 1u << 30));
    const int got = ::recv(impl_->Socket, reinterpret_cast<char*>(data), chunk, 0);
    if (got > 0) return {TNetResult::TStatus::Done, static_cast<std::size_t>(got), 0};
    if (got == 0) return {TNetResult::TStatus::Closed, 0, 0};
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return {TNetResult::TStatus::WouldBlock, 0, 0};
    return {TNetResult::TStatus::Failed, 0, error};
}

void TNetSocket::Wait(bool wantRead, bool wantWrite, int timeoutMs) {
    const DWORD timeout = timeoutMs < 0 ? WSA_INFINITE : static_cast<DWORD>(timeoutMs);
    const bool watch = impl_->Socket != INVALID_SOCKET && (wantRead || wantWrite);
    const WSAEVENT events[2] = {impl_->WakeEvent, impl_->NetEvent};
    ::WSAWaitForMultipleEvents(watch ? 2 : 1, events, FALSE, timeout, FALSE);
    if (watch) {
        WSANETWORKEVENTS happened{};
        ::WSAEnumNetworkEvents(impl_->Socket, impl_->NetEvent, &happened);
    }
}

void TNetSocket::Wake() { ::SetEvent(impl_->WakeEvent); }

void TNetSocket::Disconnect() { CloseSocket(impl_->Socket); }

std::string TNetSocket::ErrorText(int error) { return ErrorString(error); }

TNetListener::TNetListener(std::unique_ptr<TImpl> impl, std::uint16_t port) : impl_(std::move(impl)), port_(port) {}
TNetListener::~TNetListener() = default;

std::unique_ptr<TNetListener> TNetListener::Listen(std::uint16_t port, int backlog) {
    StartWinsock();
    auto impl = std::make_unique<TImpl>();
    impl->Socket = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (impl->Socket == INVALID_SOCKET) return nullptr;
    u_long nonBlocking = 1;
    ::ioctlsocket(impl->Socket, FIONBIO, &nonBlocking);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int length = sizeof address;
    if (::bind(impl->Socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(impl->Socket, backlog) != 0 ||
        ::getsockname(impl->Socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return nullptr;
    return std::unique_ptr<TNetListener>(new TNetListener(std::move(impl), ntohs(address.sin_port)));
}

std::unique_ptr<TNetSocket> TNetListener::Accept(std::chrono::milliseconds limit) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(impl_->Socket, &readable);
    const auto ms = limit.count();
    timeval timeout{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
    if (::select(0, &readable, nullptr, nullptr, &timeout) <= 0) return nullptr;
    const SOCKET socket = ::accept(impl_->Socket, nullptr, nullptr);
    if (socket == INVALID_SOCKET) return nullptr;
    Tune(socket);
    auto impl = std::make_unique<TNetSocket::TImpl>();
    if (!impl->Adopt(socket)) return nullptr;
    return std::unique_ptr<TNetSocket>(new TNetSocket(std::move(impl)));
}

}  // namespace afp
