// Destination rules.
#include "destinations.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "textutil.h"

namespace gw {

namespace {

struct ClassName {
    AddressClass cls;
    const char *name;
    const char *networks; // the fixed part; own and broadcast add the host's
};

const ClassName kClasses[] = {
    {AddressClass::Any, "any", "0.0.0.0/0,::/0"},
    {AddressClass::Loopback, "loopback", "127.0.0.0/8,::1"},
    {AddressClass::LinkLocal, "link-local", "169.254.0.0/16,fe80::/10"},
    {AddressClass::Multicast, "multicast", "224.0.0.0/4,ff00::/8"},
    {AddressClass::Broadcast, "broadcast", "255.255.255.255"},
    // 0.0.0.0/8 and :: reach this host on Linux.
    {AddressClass::Unspecified, "unspecified", "0.0.0.0/8,::"},
    {AddressClass::Own, "own", ""},
    {AddressClass::Private, "private", "10.0.0.0/8,172.16.0.0/12,192.168.0.0/16,100.64.0.0/10,fc00::/7"},
};

const std::vector<Network> &fixed_networks(AddressClass cls)
{
    static const auto table = [] {
        std::vector<std::pair<AddressClass, std::vector<Network>>> t;
        for (const auto &c : kClasses) {
            std::vector<Network> nets;
            std::string error;
            if (*c.networks)
                parse_network_list(c.networks, nets, error);
            t.emplace_back(c.cls, std::move(nets));
        }
        return t;
    }();
    for (const auto &[c, nets] : table)
        if (c == cls)
            return nets;
    static const std::vector<Network> none;
    return none;
}

const char *class_name(AddressClass cls)
{
    for (const auto &c : kClasses)
        if (c.cls == cls)
            return c.name;
    return "?";
}

Address16 address_of(const sockaddr *sa)
{
    Address16 a{};
    if (sa->sa_family == AF_INET) {
        a[10] = a[11] = 0xff;
        std::memcpy(a.data() + 12, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, 4);
    } else {
        std::memcpy(a.data(), &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, 16);
    }
    return a;
}

bool target_matches(const DestinationRule::Target &t, const HostAddresses &host, const Address16 &a)
{
    switch (t.cls) {
    case AddressClass::Network: return network_contains(t.net, a);
    case AddressClass::Own: return std::find(host.own.begin(), host.own.end(), a) != host.own.end();
    case AddressClass::Broadcast:
        if (std::find(host.broadcast.begin(), host.broadcast.end(), a) != host.broadcast.end())
            return true;
        [[fallthrough]];
    default: return networks_contain(fixed_networks(t.cls), a);
    }
}

std::vector<std::string> split_list(const std::string &text)
{
    std::vector<std::string> out;
    std::string item;
    std::stringstream ss(text);
    while (std::getline(ss, item, ','))
        if (!trim(item).empty())
            out.push_back(trim(item));
    return out;
}

bool parse_port_range(const std::string &text, std::pair<uint16_t, uint16_t> &out)
{
    size_t dash = text.find('-');
    std::string lo = text.substr(0, dash), hi = dash == std::string::npos ? lo : text.substr(dash + 1);
    if (!is_decimal(lo) || !is_decimal(hi) || lo.size() > 5 || hi.size() > 5 || lo[0] == '-' || hi[0] == '-')
        return false;
    long a = std::stol(lo), b = std::stol(hi);
    if (a < 1 || b > 65535 || a > b)
        return false;
    out = {static_cast<uint16_t>(a), static_cast<uint16_t>(b)};
    return true;
}

} // namespace

HostAddresses HostAddresses::read()
{
    HostAddresses h;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return h;
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6))
            continue;
        h.own.push_back(address_of(i->ifa_addr));
        if (i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr)
            h.broadcast.push_back(address_of(i->ifa_broadaddr));
    }
    freeifaddrs(list);
    return h;
}

std::shared_ptr<const HostAddresses> HostAddressCache::get()
{
    constexpr auto kFresh = std::chrono::seconds(5);
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> g(lock_);
    if (!now_ || now - read_at_ > kFresh) {
        now_ = std::make_shared<const HostAddresses>(HostAddresses::read());
        read_at_ = now;
    }
    return now_;
}

std::string DestinationRule::text() const
{
    std::string out = allow ? "allow-destinations = " : "deny-destinations = ";
    for (size_t i = 0; i < to.size(); ++i)
        out += (i ? "," : "") + (to[i].cls == AddressClass::Network ? format_network(to[i].net)
                                                                    : std::string(class_name(to[i].cls)));
    if (!ports.empty()) {
        out += " port ";
        for (size_t i = 0; i < ports.size(); ++i) {
            out += (i ? "," : "") + std::to_string(ports[i].first);
            if (ports[i].second != ports[i].first)
                out += "-" + std::to_string(ports[i].second);
        }
    }
    if (!from.empty()) {
        out += " from ";
        for (size_t i = 0; i < from.size(); ++i)
            out += (i ? "," : "") + format_network(from[i]);
    }
    if (!users.empty()) {
        out += " user ";
        for (size_t i = 0; i < users.size(); ++i)
            out += (i ? "," : "") + users[i];
    }
    return out;
}

bool parse_destination_rule(const std::string &value, bool allow, DestinationRule &out, std::string &error)
{
    // Words are split at blanks; a keyword starts a part, and the items of
    // a part may be separated by commas, blanks or both.
    DestinationRule r;
    r.allow = allow;
    std::istringstream in(value);
    std::string word, part = "to";
    bool any_item = false;
    auto item = [&](const std::string &text) {
        if (part == "to") {
            DestinationRule::Target t;
            auto named = std::find_if(std::begin(kClasses), std::end(kClasses),
                                      [&](const ClassName &c) { return text == c.name; });
            if (named != std::end(kClasses))
                t.cls = named->cls;
            else if (!parse_network(text, t.net)) {
                error = "bad destination \"" + text +
                        "\" (expected ADDRESS, ADDRESS/BITS with no host bits set, or one of any, loopback, "
                        "link-local, multicast, broadcast, unspecified, own, private)";
                return false;
            }
            r.to.push_back(t);
        } else if (part == "port") {
            std::pair<uint16_t, uint16_t> range;
            if (!parse_port_range(text, range)) {
                error = "bad port \"" + text + "\" (expected PORT or FIRST-LAST, 1 to 65535)";
                return false;
            }
            r.ports.push_back(range);
        } else if (part == "from") {
            Network n;
            if (!parse_network(text, n)) {
                error = "bad client network \"" + text + "\"";
                return false;
            }
            r.from.push_back(n);
        } else {
            r.users.push_back(text);
        }
        any_item = true;
        return true;
    };
    std::vector<std::string> seen;
    while (in >> word) {
        if (word == "port" || word == "from" || word == "user") {
            if (!any_item) {
                error = "nothing before \"" + word + "\"";
                return false;
            }
            if (std::find(seen.begin(), seen.end(), word) != seen.end()) {
                error = "\"" + word + "\" given twice";
                return false;
            }
            seen.push_back(word);
            part = word;
            any_item = false;
            continue;
        }
        for (const auto &i : split_list(word))
            if (!item(i))
                return false;
    }
    if (!any_item) {
        error = part == "to" ? "expected TARGET[,TARGET...] [port PORTS] [from NETWORKS] [user NAMES]"
                             : "nothing after \"" + part + "\"";
        return false;
    }
    out = std::move(r);
    return true;
}

std::vector<DestinationRule> effective_destination_rules(const std::vector<DestinationRule> &configured)
{
    std::vector<DestinationRule> out = configured;
    for (AddressClass c : {AddressClass::Loopback, AddressClass::LinkLocal, AddressClass::Multicast,
                           AddressClass::Broadcast, AddressClass::Unspecified, AddressClass::Own}) {
        DestinationRule r;
        r.allow = false;
        r.to.push_back({c, {}});
        r.origin = "default";
        out.push_back(r);
    }
    DestinationRule rest;
    rest.to.push_back({AddressClass::Any, {}});
    rest.origin = "default";
    out.push_back(rest);
    return out;
}

const DestinationRule *decide_destination(const std::vector<DestinationRule> &rules, const HostAddresses &host,
                                          const Address16 &dest, uint16_t port, const Address16 &client,
                                          const std::string &user)
{
    for (const auto &r : rules) {
        if (!std::any_of(r.to.begin(), r.to.end(), [&](const auto &t) { return target_matches(t, host, dest); }))
            continue;
        if (!r.ports.empty() && !std::any_of(r.ports.begin(), r.ports.end(), [&](const auto &p) {
                return port >= p.first && port <= p.second;
            }))
            continue;
        if (!r.from.empty() && !networks_contain(r.from, client))
            continue;
        if (!r.users.empty() &&
            (user.empty() || std::find(r.users.begin(), r.users.end(), user) == r.users.end()))
            continue;
        return &r;
    }
    return nullptr;
}

} // namespace gw
