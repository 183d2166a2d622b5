#include "tests/platform/Rfc2217TestServer.h"

#include "platform/NetSocket.h"

#include <deque>

namespace kalvaro::test {

namespace {

using namespace afp::telnet;

constexpr milliseconds ServeTick{100};  // how often the thread looks at stop_ when idle

// SET-CONTROL values by the query that reads them back: outbound flow (0),
// BREAK (4), DTR (7), RTS (10), inbound flow (13).
std::uint8_t ControlClass(std::uint8_t value) {
    if (value <= 3 || value == 17 || value == 19) return 0;
    if (value <= 6) return 4;
    if (value <= 9) return 7;
    if (value <= 12) return 10;
    return 13;
}

void PushComPort(Bytes& out, std::uint8_t code, const Bytes& value) {
    TTelnetCodec::EncodeComPort(static_cast<TComPortCommand>(code), value, out);
}

}  // namespace

TRfc2217TestServer::TRfc2217TestServer(TServerBehaviour behaviour)
    : behaviour_(std::move(behaviour)), listener_(afp::TNetListener::Listen()) {
    if (!listener_) return;
    port_ = listener_->Port();
    settings_ = {{2, 8}, {3, 1}, {4, 1}};
    controls_ = {{0, 1}, {4, 6}, {7, 8}, {10, 11}, {13, 14}};
    thread_ = std::thread(&TRfc2217TestServer::Run, this);
}

TRfc2217TestServer::~TRfc2217TestServer() {
    {
        std::lock_guard guard(lock_);
        stop_ = true;
        if (connection_) connection_->Wake();
    }
    if (thread_.joinable()) thread_.join();
}

void TRfc2217TestServer::Run() {
    for (;;) {
        {
            std::lock_guard guard(lock_);
            if (stop_) return;
        }
        auto connection = listener_->Accept(ServeTick);
        if (!connection) continue;
        {
            std::lock_guard guard(lock_);
            connection_ = connection.get();
            hangUp_ = false;
        }
        changed_.notify_all();
        Serve(*connection);
        {
            std::lock_guard guard(lock_);
            connection_ = nullptr;
            // What was not sent is lost with the connection.
            outbox_.clear();
            sent_ = queued_;
        }
        changed_.notify_all();
    }
}

void TRfc2217TestServer::Serve(afp::TNetSocket& connection) {
    // Whole pieces in order; the test's own ones are counted when gone.
    struct TPiece {
        Bytes Data;
        bool Counted;
    };
    std::deque<TPiece> pending;
    std::size_t offset = 0;  // into pending.front()

    Bytes greeting = behaviour_.Before;
    if (behaviour_.Negotiates) {
        const bool takes = behaviour_.TakesComPortOption;
        greeting.insert(greeting.end(), {Iac, Will, 3, Iac, Do, 3, Iac, Will, 0, Iac, Do, 0, Iac,
                                         static_cast<std::uint8_t>(takes ? Do : Dont), OptionComPort});
        if (takes) PushComPort(greeting, 107, {0});
    }
    pending.push_back({greeting, false});

    TTelnetCodec parser;  // for the framing only: its own answers are not sent
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (;;) {
        {
            std::lock_guard guard(lock_);
            if (stop_ || hangUp_) return;
            if (!outbox_.empty()) pending.push_back({std::move(outbox_), true});
            outbox_.clear();
        }
        while (!pending.empty()) {
            Bytes& front = pending.front().Data;
            const afp::TNetResult sent = connection.Send(front.data() + offset, front.size() - offset);
            if (sent.Status == afp::TNetResult::TStatus::Failed) return;
            if (sent.Status == afp::TNetResult::TStatus::WouldBlock) break;
            offset += sent.Count;
            if (offset < front.size()) continue;
            if (pending.front().Counted) {
                std::lock_guard guard(lock_);
                sent_ += front.size();
            }
            changed_.notify_all();
            pending.pop_front();
            offset = 0;
        }

        const afp::TNetResult got = connection.Receive(buffer.data(), buffer.size());
        if (got.Status == afp::TNetResult::TStatus::Closed || got.Status == afp::TNetResult::TStatus::Failed) return;
        if (got.Status == afp::TNetResult::TStatus::Done) {
            Bytes data;
            Bytes ignored;
            std::vector<TComPortMessage> messages;
            if (!parser.Feed({buffer.data(), got.Count}, data, messages, ignored)) return;
            Bytes answers;
            for (const TComPortMessage& message : messages) Handle(message, answers);
            if (!answers.empty()) pending.push_back({answers, false});
            {
                std::lock_guard guard(lock_);
                received_.insert(received_.end(), data.begin(), data.end());
            }
            changed_.notify_all();
            continue;  // there may be more
        }
        connection.Wait(true, !pending.empty(), static_cast<int>(ServeTick.count()));
    }
}

void TRfc2217TestServer::Handle(const TComPortMessage& message, Bytes& out) {
    std::lock_guard guard(lock_);
    commands_.push_back({message.Code, message.Value});
    if (!behaviour_.AnswersSettings || message.Value.empty()) return;
    const std::uint8_t code = message.Code;
    const std::uint8_t first = message.Value[0];
    const auto answer = [&](std::uint32_t value) {
        if (const auto forced = behaviour_.Answers.find(code); forced != behaviour_.Answers.end())
            value = forced->second;
        return value;
    };
    switch (code) {
        case 1: {
            if (message.Value.size() < 4) return;
            const std::uint32_t asked = std::uint32_t{first} << 24 | std::uint32_t{message.Value[1]} << 16 |
                                        std::uint32_t{message.Value[2]} << 8 | message.Value[3];
            if (asked != 0) baud_ = asked;
            const std::uint32_t value = answer(baud_);
            PushComPort(out, 101,
                        {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                         static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
            return;
        }
        case 2:
        case 3:
        case 4:
            if (first != 0) settings_[code] = first;
            PushComPort(out, code + 100, {static_cast<std::uint8_t>(answer(settings_[code]))});
            return;
        case 5: {
            const std::uint8_t kind = ControlClass(first);
            if (first != kind) controls_[kind] = first;
            PushComPort(out, 105, {static_cast<std::uint8_t>(answer(controls_[kind]))});
            return;
        }
        case 10:
        case 11:
        case 12: PushComPort(out, code + 100, {first}); return;
        default: return;
    }
}

bool TRfc2217TestServer::Send(const Bytes& bytes, milliseconds limit) {
    std::unique_lock guard(lock_);
    if (!connection_) return false;
    outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
    queued_ += bytes.size();
    const std::uint64_t target = queued_;
    connection_->Wake();
    return changed_.wait_for(guard, limit, [&] { return sent_ >= target || !connection_; }) && connection_;
}

bool TRfc2217TestServer::Write(const Bytes& data, milliseconds limit) {
    Bytes encoded;
    TTelnetCodec().EncodeData(data, encoded);
    return Send(encoded, limit);
}

bool TRfc2217TestServer::SendRaw(const Bytes& bytes, milliseconds limit) { return Send(bytes, limit); }

bool TRfc2217TestServer::SendComPort(std::uint8_t code, const Bytes& value, milliseconds limit) {
    Bytes bytes;
    PushComPort(bytes, code, value);
    return Send(bytes, limit);
}

Bytes TRfc2217TestServer::Read(std::size_t count, milliseconds limit) {
    std::unique_lock guard(lock_);
    changed_.wait_for(guard, limit, [&] { return received_.size() >= count; });
    const std::size_t taken = std::min(count, received_.size());
    Bytes data(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(taken));
    received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(taken));
    return data;
}

bool TRfc2217TestServer::Suspend(bool suspended) { return SendComPort(suspended ? 108 : 109, {}); }

void TRfc2217TestServer::HangUp() {
    std::unique_lock guard(lock_);
    if (!connection_) return;
    hangUp_ = true;
    connection_->Wake();
    changed_.wait_for(guard, ShortLimit, [&] { return !connection_; });
}

bool TRfc2217TestServer::WaitConnected(bool connected, milliseconds limit) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return (connection_ != nullptr) == connected; });
}

std::vector<TRfc2217TestServer::TCommand> TRfc2217TestServer::Commands() const {
    std::lock_guard guard(lock_);
    return commands_;
}

}  // namespace kalvaro::test
