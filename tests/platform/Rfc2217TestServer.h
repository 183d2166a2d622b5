#pragma once
// A small RFC 2217 server on the loopback address, playing the far end of a
// network port in tests: what a pty or ser2net cannot do (modem-state and
// line-state notifications, flow-control suspension, a hung-up connection)
// and what a broken server does (garbage, truncated or endless
// subnegotiations, silence, refusals). A test fixture, not product code.
//
// One connection at a time, served by the server's own thread; the next
// connection is taken when the previous one has closed. Line settings are
// kept across connections and answered as a ser2net would: the value asked,
// now in force, or the value in force for a query. Every wait has a limit.

#include "platform/TelnetCodec.h"
#include "tests/platform/DeviceFixtures.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace afp {
class TNetListener;
class TNetSocket;
}  // namespace afp

namespace kalvaro::test {

struct TServerBehaviour {
    bool Negotiates = true;          // false: says nothing at all, ever
    bool TakesComPortOption = true;  // false: refuses it
    bool AnswersSettings = true;     // false: takes settings without a word
    Bytes Before;                    // sent on connect, before the negotiation
    // SET-* command code → the value always answered to it instead.
    std::map<std::uint8_t, std::uint32_t> Answers;
};

class TRfc2217TestServer {
public:
    explicit TRfc2217TestServer(TServerBehaviour behaviour = {});
    ~TRfc2217TestServer();
    TRfc2217TestServer(const TRfc2217TestServer&) = delete;
    TRfc2217TestServer& operator=(const TRfc2217TestServer&) = delete;

    bool Listening() const { return port_ != 0; }
    std::uint16_t Port() const { return port_; }
    std::string Address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

    // Data to the client, IAC doubled; false when it was not all sent in time.
    bool Write(const Bytes& data, milliseconds limit = ShortLimit);
    // Bytes exactly as given (commands, garbage).
    bool SendRaw(const Bytes& bytes, milliseconds limit = ShortLimit);
    bool SendComPort(std::uint8_t code, const Bytes& value, milliseconds limit = ShortLimit);
    // Data from the client, until count bytes came or limit passed.
    Bytes Read(std::size_t count, milliseconds limit = ShortLimit);
    // FLOWCONTROL-SUSPEND or -RESUME, sent before this returns.
    bool Suspend(bool suspended);
    // Closes the present connection.
    void HangUp();
    // Whether a client is connected, waiting up to limit for it to become so.
    bool WaitConnected(bool connected, milliseconds limit = ShortLimit);

    // COM-PORT-OPTION commands the client sent, in order, with their values.
    struct TCommand {
        std::uint8_t Code;
        Bytes Value;
    };
    std::vector<TCommand> Commands() const;
    // Waits until the client has sent a command for which match holds.
    template <class Match>
    bool WaitForCommand(Match match, milliseconds limit = ShortLimit) {
        return WaitUntil(
            [&] {
                for (const TCommand& command : Commands())
                    if (match(command)) return true;
                return false;
            },
            limit);
    }

private:
    void Run();
    void Serve(afp::TNetSocket& connection);
    void Handle(const afp::telnet::TComPortMessage& message, Bytes& out);
    // Queues bytes for the connection and waits until they have gone.
    bool Send(const Bytes& bytes, milliseconds limit);

    const TServerBehaviour behaviour_;
    std::unique_ptr<afp::TNetListener> listener_;
    std::uint16_t port_ = 0;
    mutable std::mutex lock_;  // guards everything below
    std::condition_variable changed_;
    afp::TNetSocket* connection_ = nullptr;  // the server thread's, for Wake()
    Bytes outbox_;
    std::uint64_t queued_ = 0;  // bytes ever queued, and ever handed to the socket
    std::uint64_t sent_ = 0;
    Bytes received_;
    std::vector<TCommand> commands_;
    bool hangUp_ = false;
    bool stop_ = false;
    // Settings in force: speed, data size, parity, stop size, outbound and
    // inbound flow, DTR, RTS, BREAK (the last ones as their SET-CONTROL values).
    std::uint32_t baud_ = 9600;
    std::map<std::uint8_t, std::uint8_t> settings_;
    std::map<std::uint8_t, std::uint8_t> controls_;
    std::thread thread_;  // last
};

}  // namespace kalvaro::test
