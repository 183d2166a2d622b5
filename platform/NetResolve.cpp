#include "platform/NetResolve.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <system_error>

#include "platform/RunWithin.h"

namespace afp {

namespace {

std::string LookupErrorText(int error) {
#ifdef _WIN32
    // getaddrinfo's errors are Winsock error numbers there.
    return std::system_category().message(error);
#else
    return ::gai_strerror(error);
#endif
}

}  // namespace

TAddresses Resolve(const std::string& host, std::uint16_t port, std::chrono::steady_clock::time_point deadline,
                   std::string& failure) {
    struct TLookup {
        TAddresses Addresses;
        int Error = 0;
    };
    const std::string service = std::to_string(port);
    auto lookup = [host, service](int flags) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        hints.ai_flags = flags | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        TLookup result;
        result.Error = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
        if (result.Error == 0) result.Addresses = TAddresses(found, ::freeaddrinfo);
        return result;
    };
    TLookup numeric = lookup(AI_NUMERICHOST);
    if (numeric.Error == 0) return numeric.Addresses;
    const auto named = RunWithin<TLookup>(deadline, [lookup] { return lookup(0); });
    if (!named) {
        failure = "no address for " + host + " within the connect limit";
        return nullptr;
    }
    if (named->Error != 0) failure = "no such host: " + host + " (" + LookupErrorText(named->Error) + ")";
    return named->Addresses;
}

}  // namespace afp
