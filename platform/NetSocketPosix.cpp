// TCP connections on Linux: a non-blocking socket, poll() over it and an
// eventfd through which another thread wakes the waiting one.

#include "platform/NetSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/NetResolve.h"

namespace afp {

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

void SetOption(int fd, int level, int name, int value) {
    // A refused option leaves the defaults, which still work.
    ::setsockopt(fd, level, name, &value, sizeof value);
}

// See NetSocket.h: idle 4 s, then 3 probes 2 s apart.
void Tune(int fd) {
    SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 4);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 2);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
    SetOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(std::chrono::milliseconds(KeepAliveLimit).count()));
}

// One address tried within the deadline: the connected socket, or -1 with
// failure set.
int ConnectOne(const addrinfo& address, std::chrono::steady_clock::time_point deadline, std::string& failure) {
    int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
    if (fd < 0) {
        failure = std::string("socket() failed: ") + TNetSocket::ErrorText(errno);
        return -1;
    }
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
        const int error = errno;
        failure = error == ECONNREFUSED ? "connection refused"
                                        : std::string("connect() failed: ") + TNetSocket::ErrorText(error);
        CloseFd(fd);
        return -1;
    }
    for (;;) {
        pollfd pending{fd, POLLOUT, 0};
        const int timeout = RemainingMs(deadline);
        const int ready = ::poll(&pending, 1, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            failure = "no answer within the connect limit";
            CloseFd(fd);
            return -1;
        }
        break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) {
        failure = error == ECONNREFUSED ? "connection refused"
                                        : std::string("connect() failed: ") + TNetSocket::ErrorText(error);
        CloseFd(fd);
        return -1;
    }
    Tune(fd);
    return fd;
}

}  // namespace

struct TNetSocket::TImpl {
    int Socket = -1;
    int WakeFd = -1;
    ~TImpl() {
        CloseFd(Socket);
        CloseFd(WakeFd);
    }
};

struct TNetListener::TImpl {
    int Socket = -1;
    ~TImpl() { CloseFd(Socket); }
};

TNetSocket::TNetSocket(std::unique_ptr<TImpl> impl) : impl_(std::move(impl)) {}
TNetSocket::~TNetSocket() = default;

std::unique_ptr<TNetSocket> TNetSocket::Connect(const std::string& host, std::uint16_t port,
                                                std::chrono::milliseconds limit, std::string& failure) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto impl = std::make_unique<TImpl>();
    impl->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->WakeFd < 0) {
        failure = std::string("eventfd() failed: ") + TNetSocket::ErrorText(errno);
        return nullptr;
    }
    TAddresses addresses;
    try {
        addresses = Resolve(host, port, deadline, failure);
    } catch (const std::system_error& error) {
        failure = std::string("no thread to resolve the host: ") + error.what();
    }
    if (!addresses) return nullptr;
    for (const addrinfo* address = addresses.get(); address; address = address->ai_next) {
        impl->Socket = ConnectOne(*address, deadline, failure);
        if (impl->Socket >= 0) return std::unique_ptr<TNetSocket>(new TNetSocket(std::move(impl)));
        if (RemainingMs(deadline) == 0) break;
    }
    return nullptr;
}

TNetResult TNetSocket::Send(const std::uint8_t* data, std::size_t count) {
    for (;;) {
        const ssize_t sent = ::send(impl_->Socket, data, count, MSG_NOSIGNAL);
        if (sent >= 0) return {TNetResult::TStatus::Done, static_cast<std::size_t>(sent), 0};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {TNetResult::TStatus::WouldBlock, 0, 0};
        return {TNetResult::TStatus::Failed, 0, errno};
    }
}

TNetResult TNetSocket::Receive(std::uint8_t* data, std::size_t count) {
    for (;;) {
        const ssize_t got = ::recv(impl_->Socket, data, count, 0);
        if (got > 0) return {TNetResult::TStatus::Done, static_cast<std::size_t>(got), 0};
        if (got == 0) return {TNetResult::TStatus::Closed, 0, 0};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {TNetResult::TStatus::WouldBlock, 0, 0};
        return {TNetResult::TStatus::Failed, 0, errno};
    }
}

void TNetSocket::Wait(bool wantRead, bool wantWrite, int timeoutMs) {
    pollfd fds[2] = {{impl_->WakeFd, POLLIN, 0}, {impl_->Socket, 0, 0}};
    if (wantRead) fds[1].events |= POLLIN;
    if (wantWrite) fds[1].events |= POLLOUT;
    // Without interest in the socket it stays out of the set: a closed peer
    // would report POLLHUP on every call and the caller would spin.
    const nfds_t count = impl_->Socket >= 0 && fds[1].events != 0 ? 2 : 1;
    if (::poll(fds, count, timeoutMs) > 0 && (fds[0].revents & POLLIN)) {
        std::uint64_t wakes = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(impl_->WakeFd, &wakes, sizeof wakes);
    }
}

void TNetSocket::Wake() {
    const std::uint64_t one = 1;
    // Fails only when the counter is already huge, and then a wake is due anyway.
    [[maybe_unused]] const ssize_t ignored = ::write(impl_->WakeFd, &one, sizeof one);
}

void TNetSocket::Disconnect() { CloseFd(impl_->Socket); }

std::string TNetSocket::ErrorText(int error) { return std::system_category().message(error); }

TNetListener::TNetListener(std::unique_ptr<TImpl> impl, std::uint16_t port) : impl_(std::move(impl)), port_(port) {}
TNetListener::~TNetListener() = default;

std::unique_ptr<TNetListener> TNetListener::Listen(std::uint16_t port, int backlog) {
    auto impl = std::make_unique<TImpl>();
    impl->Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (impl->Socket < 0) return nullptr;
    SetOption(impl->Socket, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (::bind(impl->Socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(impl->Socket, backlog) != 0 ||
        ::getsockname(impl->Socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return nullptr;
    return std::unique_ptr<TNetListener>(new TNetListener(std::move(impl), ntohs(address.sin_port)));
}

std::unique_ptr<TNetSocket> TNetListener::Accept(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const int fd = ::accept4(impl_->Socket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            auto impl = std::make_unique<TNetSocket::TImpl>();
            impl->Socket = fd;
            impl->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (impl->WakeFd < 0) return nullptr;
            Tune(fd);
            return std::unique_ptr<TNetSocket>(new TNetSocket(std::move(impl)));
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return nullptr;
        pollfd pending{impl_->Socket, POLLIN, 0};
        const int timeout = RemainingMs(deadline);
        if (timeout == 0) return nullptr;
        ::poll(&pending, 1, timeout);
    }
}

}  // namespace afp
