// Client networks in CIDR form. IPv4 networks and addresses are kept as
// IPv4-mapped IPv6, so one comparison serves both families and a v4 client
// on a dual-stack listener matches its v4 network.
#ifndef GW_NETACL_H
#define GW_NETACL_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace gw {

using Address16 = std::array<uint8_t, 16>;

struct Network {
    Address16 addr{}; // masked to `bits`
    int bits = 0;     // 0..128, counted on the mapped form
    bool operator==(const Network &) const = default;
};

// "10.0.0.0/8", "2001:db8::/32", or a bare address (one host). False on
// anything else, including host bits set beyond the prefix length.
bool parse_network(const std::string &text, Network &out);
// Comma-separated networks; false with `error` naming the bad item.
bool parse_network_list(const std::string &text, std::vector<Network> &out, std::string &error);

// "10.0.0.0/8", "::1/128": IPv4 networks in their own notation.
std::string format_network(const Network &net);

// The 16-byte form of a textual IPv4 or IPv6 address.
bool parse_address(const std::string &text, Address16 &out);

bool network_contains(const Network &net, const Address16 &addr);
bool networks_contain(const std::vector<Network> &nets, const Address16 &addr);

// 127.0.0.0/8 and ::1.
const std::vector<Network> &loopback_networks();
// Whether every address of `net` is a loopback address.
bool is_loopback_network(const Network &net);
bool is_loopback_address(const Address16 &addr);

} // namespace gw

#endif
