#pragma once
// Host lookup for the network ports, the same on both socket backends.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

struct addrinfo;

namespace afp {

using TAddresses = std::shared_ptr<addrinfo>;

// The host's TCP addresses, or null with failure set ("no such host: ...",
// "no address for ... within the connect limit"). Numeric addresses need no
// resolver; names are looked up on a thread of their own so that a slow
// resolver cannot hold the caller past the deadline. Throws
// std::system_error when that thread cannot be started. On Windows, Winsock
// must have been started.
TAddresses Resolve(const std::string& host, std::uint16_t port, std::chrono::steady_clock::time_point deadline,
                   std::string& failure);

}  // namespace afp
