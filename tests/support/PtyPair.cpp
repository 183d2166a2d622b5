#include "tests/support/PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace kalvaro::test {

TPtyPair::TPtyPair() {
    int slave = -1;
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave, name, &raw, nullptr) != 0) throw std::runtime_error("openpty failed");
    slavePath_ = name;
    // Only the test's own descriptor of the slave is needed to keep the raw
    // settings; close it so the code under test is the slave's only user.
    ::close(slave);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

TPtyPair::~TPtyPair() { CloseMaster(); }

std::size_t TPtyPair::Write(const std::vector<unsigned char>& data, std::chrono::milliseconds limit) {
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (done < data.size() && std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = ::write(master_, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("pty write failed");
        pollfd pfd{master_, POLLOUT, 0};
        ::poll(&pfd, 1, 100);
    }
    return done;
}

std::size_t TPtyPair::Write(const std::string& data) {
    return Write(std::vector<unsigned char>(data.begin(), data.end()));
}

std::vector<unsigned char> TPtyPair::Read(std::size_t count, std::chrono::milliseconds limit) {
    std::vector<unsigned char> result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (result.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pfd{master_, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
        unsigned char buffer[4096];
        const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - result.size()));
        if (n > 0)
            result.insert(result.end(), buffer, buffer + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return result;
}

void TPtyPair::CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

}  // namespace kalvaro::test
