// Runs the module over the connections of a capture as the gateway would
// have: each stream's chunks through the same tasklet path, switchboard
// connections recognised by the expectations the module registers, the
// capture's timestamps as the module's clock. What the module's verdict
// trace says about each decided command is collected.
#ifndef TQREPLAY_REPLAY_H
#define TQREPLAY_REPLAY_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "capture_reader.h"
#include "module_host.h"

namespace tqreplay {

struct Decision {
    std::string contact, verdict, rule, owner, target;
    int position = 0;
    bool relation() const { return rule == "relation"; }
    // "OWNER #POSITION (TARGET)" for a relation, the rule otherwise.
    std::string by() const;
};

struct Verdict {
    size_t stream = 0;
    std::string client, server;
    std::string direction; // "out" or "in"
    uint64_t offset = 0;   // of the command in its direction of the stream
    time_t when = 0;
    std::string user, command, outcome;
    bool rewritten = false;
    std::vector<Decision> decisions;
    std::string json; // the same as one JSON line
};

// What the gateway's capture says about a connection beyond its packets.
struct ConnectionMeta {
    int socks_version = 0;
    std::string socks_user;
};

// Reads the connection lines of a capture's .jsonl file into `meta`, keyed
// by "CLIENT SERVER". Missing file: nothing, no error.
void read_connection_meta(const std::string &jsonl, std::map<std::string, ConnectionMeta> &meta);

struct ReplayOptions {
    std::vector<uint16_t> msnp_ports{1863};
    size_t max_held_bytes = 1048576;
    std::map<std::string, ConnectionMeta> meta;
};

// Replays `segments` (in time order) through `module`, whose policy is
// loaded; `warn` gets what could not be replayed faithfully.
std::vector<Verdict> replay(gw::ModuleHost &module, const std::vector<Segment> &segments, const ReplayOptions &o,
                            const std::function<void(const std::string &)> &warn);

} // namespace tqreplay

#endif
