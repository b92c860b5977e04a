// Where the phone reaches the agent server: a quick tunnel (a new address at every start), the
// owner's named tunnel (a fixed hostname routed by the tunnel provider), or an address the owner
// routes to 127.0.0.1:8787 themselves (a reverse proxy, a VPN, port forwarding).
#pragma once

#include <optional>
#include <string>

namespace zel {

struct PublicAddress {
    enum class Kind { quickTunnel, namedTunnel, own };
    Kind kind = Kind::quickTunnel;
    // namedTunnel: the tunnel token from the provider's dashboard and the public hostname it
    // routes to the agent server.
    std::string tunnelToken;
    std::string hostname;
    // own: the https address, without a trailing slash.
    std::string url;

    friend bool operator==(const PublicAddress&, const PublicAddress&) = default;
};

// The environment's choice, which wins over the window's: ZEL_PUBLIC_URL (an own address) or
// ZEL_TUNNEL_TOKEN with ZEL_TUNNEL_HOSTNAME (a named tunnel); nothing when none is set.
std::optional<PublicAddress> addressFromEnvironment();

// Throws AppError with a Chinese text the window shows when the choice cannot work (a missing
// or malformed token, hostname or address); returns it normalized otherwise (hostname lower-cased,
// the address without its trailing slash).
PublicAddress checkedAddress(PublicAddress address);

// The https address the pairing link names, once the choice is up: empty for a quick tunnel,
// whose address its client announces.
std::string fixedAddress(const PublicAddress& address);

} // namespace zel
