// Where clients may go: `allow-destinations` and `deny-destinations` rules,
// read in the order written, the first that matches deciding, and after
// them the defaults that keep clients off the gateway host and the
// addresses no server lives at. Checked after name resolution, on every
// address a name resolves to.
#ifndef GW_DESTINATIONS_H
#define GW_DESTINATIONS_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "netacl.h"

namespace gw {

// The addresses of this host's interfaces and their broadcast addresses,
// as the kernel lists them now.
struct HostAddresses {
    std::vector<Address16> own;
    std::vector<Address16> broadcast;
    static HostAddresses read();
};

// The host's addresses as of a few seconds ago: interfaces come and go,
// and reading them for every connection would cost a netlink round trip.
class HostAddressCache {
public:
    std::shared_ptr<const HostAddresses> get();

private:
    std::mutex lock_;
    std::shared_ptr<const HostAddresses> now_;
    std::chrono::steady_clock::time_point read_at_{};
};

// A named class of addresses a rule may use besides networks. `own` and
// `broadcast` are this host's addresses as they are when the rule is used.
enum class AddressClass { Network, Any, Loopback, LinkLocal, Multicast, Broadcast, Unspecified, Own, Private };

struct DestinationRule {
    bool allow = true;
    struct Target {
        AddressClass cls = AddressClass::Network;
        Network net; // for AddressClass::Network
        bool operator==(const Target &) const = default;
    };
    std::vector<Target> to;
    std::vector<std::pair<uint16_t, uint16_t>> ports; // inclusive ranges; empty: every port
    std::vector<Network> from;                        // client networks; empty: every client
    std::vector<std::string> users;                   // proxy users whose password was checked; empty: anyone
    std::string origin;                               // "FILE:LINE", or "default"

    bool operator==(const DestinationRule &) const = default;
    // As a configuration line would write it.
    std::string text() const;
};

// Reads the value of an `allow-destinations`/`deny-destinations` line:
// `TARGET[,TARGET...] [port P[-Q][,...]] [from NETWORK[,...]] [user NAME[,...]]`,
// a TARGET being a network (ADDRESS or ADDRESS/BITS) or one of any,
// loopback, link-local, multicast, broadcast, unspecified, own, private.
bool parse_destination_rule(const std::string &value, bool allow, DestinationRule &out, std::string &error);

// The rules the gateway uses: the configured ones, then the defaults
// (loopback, link-local, multicast, broadcast, unspecified and own
// addresses denied; everything else allowed).
std::vector<DestinationRule> effective_destination_rules(const std::vector<DestinationRule> &configured);

// The first rule of `rules` that matches a connection to `dest`:`port`
// from `client`, by `user` (empty when no password was checked).
const DestinationRule *decide_destination(const std::vector<DestinationRule> &rules, const HostAddresses &host,
                                          const Address16 &dest, uint16_t port, const Address16 &client,
                                          const std::string &user);

} // namespace gw

#endif
