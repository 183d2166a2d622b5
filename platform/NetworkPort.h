#pragma once
// Network ports: a port map entry that names a server instead of a device.
//     COM5=rfc2217://lab-pi.local:7000    full line control (RFC 2217)
//     COM6=tcp://console.example:4001      raw bytes, no line control
//     COM7=rfc2217://[fe80::1]:7000        IPv6 addresses in brackets
// The scheme is read in any letter case; the port is a number from 1 to
// 65535; nothing may follow it.
//
// What a connection found out about its server stays known in this process
// for the port map's descriptions (the chooser's tool tips): a server that
// refused COM-PORT-OPTION gives raw bytes only, and the user is told so.
//
// Thread rule: every function may be called from any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace afp {

struct TNetworkPort {
    enum class TKind { Rfc2217, RawTcp };
    TKind Kind = TKind::Rfc2217;
    std::string Host;
    std::uint16_t Port = 0;
};

// Whether the name is meant as a network port (its scheme), well-formed or not.
bool IsNetworkPortName(std::string_view name);
std::optional<TNetworkPort> ParseNetworkPort(std::string_view name);

// The description of a network port for the user: its address, and what the
// last connection in this process found, if it is worth telling.
std::string NetworkPortDescription(const std::string& name);
// Records whether the server behind name took COM-PORT-OPTION.
void NoteComPortRefused(const std::string& name, bool refused);

}  // namespace afp
