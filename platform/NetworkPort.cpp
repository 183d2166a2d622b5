#include "platform/NetworkPort.h"

#include <cctype>
#include <charconv>
#include <mutex>
#include <set>

namespace afp {

namespace {

constexpr std::string_view Rfc2217Scheme = "rfc2217://";
constexpr std::string_view TcpScheme = "tcp://";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

bool HostCharacter(char c) { return c > ' ' && c != '/' && c != ':' && c != '[' && c != ']' && c != 0x7f; }

std::mutex refusedLock;
std::set<std::string>& RefusedServers() {
    static std::set<std::string> refused;  // guarded by refusedLock
    return refused;
}

}  // namespace

bool IsNetworkPortName(std::string_view name) {
    return StartsWithNoCase(name, Rfc2217Scheme) || StartsWithNoCase(name, TcpScheme);
}

std::optional<TNetworkPort> ParseNetworkPort(std::string_view name) {
    TNetworkPort port;
    if (StartsWithNoCase(name, Rfc2217Scheme)) {
        name.remove_prefix(Rfc2217Scheme.size());
    } else if (StartsWithNoCase(name, TcpScheme)) {
        port.Kind = TNetworkPort::TKind::RawTcp;
        name.remove_prefix(TcpScheme.size());
    } else {
        return std::nullopt;
    }
    std::size_t colon = 0;
    if (!name.empty() && name.front() == '[') {
        const std::size_t close = name.find(']');
        if (close == std::string_view::npos || close == 1) return std::nullopt;
        port.Host = std::string(name.substr(1, close - 1));
        for (const char c : port.Host)
            if (!(std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.' || c == '%'))
                return std::nullopt;
        colon = close + 1;
        if (colon >= name.size() || name[colon] != ':') return std::nullopt;
    } else {
        colon = name.rfind(':');
        if (colon == std::string_view::npos || colon == 0) return std::nullopt;
        port.Host = std::string(name.substr(0, colon));
        for (const char c : port.Host)
            if (!HostCharacter(c)) return std::nullopt;
    }
    const std::string_view digits = name.substr(colon + 1);
    unsigned number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || number == 0 || number > 65535)
        return std::nullopt;
    port.Port = static_cast<std::uint16_t>(number);
    return port;
}

std::string NetworkPortDescription(const std::string& name) {
    std::lock_guard guard(refusedLock);
    if (RefusedServers().contains(name)) return name + " \u2014 the server refuses line control: raw bytes only";
    return name;
}

void NoteComPortRefused(const std::string& name, bool refused) {
    std::lock_guard guard(refusedLock);
    if (refused)
        RefusedServers().insert(name);
    else
        RefusedServers().erase(name);
}

}  // namespace afp
