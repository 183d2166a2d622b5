#pragma once
// Debian's ser2net serving a pty pair's slave with RFC 2217 on 127.0.0.1,
// for tests and benchmarks: the code under test connects to Address(), the
// test holds the pty master as the serial device's far end. Linux only.
//
// ser2net runs in the foreground as a child process with a configuration of
// its own in a temporary folder (never the machine's /etc/ser2net.yaml) on a
// port that was free a moment before; it is started, killed and started
// again by its process id.
//
// With modem lines, ser2net runs with the pty modem shim preloaded
// (tests/wine/ptymodem_shim.c): its DTR and RTS requests on the pty are kept
// in a file the test reads, and the lines the test sets on the far end come
// to ser2net as CTS, DSR and carrier, as over a null-modem cable.

#include "tests/support/TempFolder.h"

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace kalvaro::test {

class TSer2net {
public:
    // Where ser2net is, or empty when it is not installed.
    static std::string Program();
    // Whether ser2net can run with modem lines in this build (the shim is
    // built only where it can be preloaded into ser2net).
    static bool ModemLinesAvailable();

    // Starts serving device (a pty slave path); Running() tells whether it
    // came up, Problem() why not.
    explicit TSer2net(const std::string& device, bool modemLines = false);
    ~TSer2net();
    TSer2net(const TSer2net&) = delete;
    TSer2net& operator=(const TSer2net&) = delete;

    bool Running() const { return pid_ > 0; }
    const std::string& Problem() const { return problem_; }
    std::string Address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return pid_; }

    // Kills it at once (SIGKILL), as a crash or a pulled power cord would.
    void Kill();
    // Starts it again on the same port; false (with Problem()) if it did not come up.
    bool Start();

    // With modem lines: DTR and RTS as ser2net has set them on the pty (the
    // TIOCM_ bits), and the far end's own DTR and RTS, which ser2net sees.
    int DeviceLines() const;
    void SetFarLines(int lines);

private:
    bool Listening() const;

    TTempFolder folder_;
    const std::string device_;
    const bool modemLines_;
    int ptyNumber_ = -1;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
    std::string problem_;
};

}  // namespace kalvaro::test
