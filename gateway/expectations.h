// Connections that modules expect: registered from a connection's
// `explist`, matched against every new IPv4 connection.
//
// Choices the gateway makes:
// - An expectation lives `lifetime` (120 s by default) from its
//   registration and is destroyed when that runs out.
// - EXPECTATION_FLAG_INVALIDATE withdraws it at its first match; without
//   it the expectation keeps matching until its lifetime ends (a
//   switchboard invitation may be answered by several connections).
// - A match hands `data` to the new connection's `expdata`, and the
//   connection is relayed through the module that registered it.
//   EXPECTATION_FLAG_DATA_ONLY hands over the data only: such a connection
//   goes through a module only when its port is an MSNP port.
// - Data stays valid while any connection that received it is alive, even
//   after the expectation itself is withdrawn or expired.
// - A listed expectation flagged both DATA_ONLY and INVALIDATE whose `data`
//   is set is a withdrawal, not a new expectation: the registered ones that
//   carry that same data are withdrawn (a connection took what they
//   offered), and the request itself is destroyed without its data.
#ifndef GW_EXPECTATIONS_H
#define GW_EXPECTATIONS_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "tqconn.h"

namespace gw {

using Clock = std::chrono::steady_clock;
using ExpectationRef = std::shared_ptr<tq3_expectation>;

struct ExpectationMatch {
    ExpectationRef expectation;
    void *owner = nullptr; // what registered it (the module host)
    bool data_only = false;
};

class ExpectationRegistry {
public:
    explicit ExpectationRegistry(std::chrono::seconds lifetime = std::chrono::seconds(120))
        : lifetime_(lifetime) {}

    // Takes ownership of `e` (destroyed with tq3_expectation_destroy).
    void add(tq3_expectation *e, void *owner, Clock::time_point now);
    // Moves every expectation of the list into the registry (or carries
    // out the withdrawals it holds) and empties it.
    void take_list(tqlist **list, void *owner, Clock::time_point now);
    // Withdraws every registered expectation whose data is `data`.
    void withdraw_data(const void *data);
    // All live expectations matching the connection, oldest first;
    // INVALIDATE ones are withdrawn. Addresses and ports in network order.
    std::vector<ExpectationMatch> match(uint32_t saddr, uint16_t sport, uint32_t daddr,
                                        uint16_t dport, Clock::time_point now);
    // Destroys what outlived its lifetime; returns how many.
    size_t expire(Clock::time_point now);
    // Withdraws every expectation of `owner` (all when null).
    void clear(void *owner = nullptr);
    size_t size() const;

private:
    struct Entry {
        ExpectationRef expectation;
        void *owner;
        Clock::time_point expires;
    };

    std::chrono::seconds lifetime_;
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
};

} // namespace gw

#endif
