// Client networks.
#include "netacl.h"
#include "textutil.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace gw {

namespace {

constexpr int kMappedBits = 96; // ::ffff:0:0/96 holds the IPv4 addresses

Address16 mapped(const uint8_t v4[4])
{
    Address16 a{};
    a[10] = a[11] = 0xff;
    std::memcpy(a.data() + 12, v4, 4);
    return a;
}

bool prefix_equal(const Address16 &a, const Address16 &b, int bits)
{
    int whole = bits / 8;
    if (std::memcmp(a.data(), b.data(), static_cast<size_t>(whole)) != 0)
        return false;
    int rest = bits % 8;
    if (rest == 0)
        return true;
    uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
    return (a[static_cast<size_t>(whole)] & mask) == (b[static_cast<size_t>(whole)] & mask);
}

} // namespace

bool parse_address(const std::string &text, Address16 &out)
{
    uint8_t v4[4];
    if (inet_pton(AF_INET, text.c_str(), v4) == 1) {
        out = mapped(v4);
        return true;
    }
    return inet_pton(AF_INET6, text.c_str(), out.data()) == 1;
}

bool parse_network(const std::string &text, Network &out)
{
    std::string t = trim(text);
    size_t slash = t.find('/');
    std::string host = t.substr(0, slash);
    Address16 a;
    uint8_t v4[4];
    bool is_v4 = inet_pton(AF_INET, host.c_str(), v4) == 1;
    if (is_v4)
        a = mapped(v4);
    else if (inet_pton(AF_INET6, host.c_str(), a.data()) != 1)
        return false;
    int max = is_v4 ? 32 : 128;
    int bits = max;
    if (slash != std::string::npos) {
        std::string len = t.substr(slash + 1);
        if (len.empty() || len.size() > 3 ||
            !std::all_of(len.begin(), len.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        bits = std::stoi(len);
        if (bits > max)
            return false;
    }
    if (is_v4)
        bits += kMappedBits;
    // Host bits beyond the prefix usually mean a typo in the length.
    Address16 masked{};
    for (int i = 0; i < bits; ++i)
        masked[static_cast<size_t>(i / 8)] |= a[static_cast<size_t>(i / 8)] & (0x80 >> (i % 8));
    if (masked != a)
        return false;
    out.addr = a;
    out.bits = bits;
    return true;
}

bool parse_network_list(const std::string &text, std::vector<Network> &out, std::string &error)
{
    std::vector<Network> nets;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        Network n;
        if (!parse_network(item, n)) {
            error = "bad network \"" + trim(item) + "\" (expected ADDRESS or ADDRESS/BITS with no "
                                                        "host bits set)";
            return false;
        }
        nets.push_back(n);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    out = std::move(nets);
    return true;
}

std::string format_network(const Network &net)
{
    static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    char text[INET6_ADDRSTRLEN] = "";
    if (net.bits >= kMappedBits && std::memcmp(net.addr.data(), kMappedPrefix, 12) == 0) {
        inet_ntop(AF_INET, net.addr.data() + 12, text, sizeof text);
        return std::string(text) + "/" + std::to_string(net.bits - kMappedBits);
    }
    inet_ntop(AF_INET6, net.addr.data(), text, sizeof text);
    return std::string(text) + "/" + std::to_string(net.bits);
}

bool network_contains(const Network &net, const Address16 &addr)
{
    return prefix_equal(net.addr, addr, net.bits);
}

bool networks_contain(const std::vector<Network> &nets, const Address16 &addr)
{
    return std::any_of(nets.begin(), nets.end(),
                       [&](const Network &n) { return network_contains(n, addr); });
}

const std::vector<Network> &loopback_networks()
{
    static const std::vector<Network> nets = [] {
        std::vector<Network> v(2);
        parse_network("127.0.0.0/8", v[0]);
        parse_network("::1", v[1]);
        return v;
    }();
    return nets;
}

bool is_loopback_address(const Address16 &addr)
{
    return networks_contain(loopback_networks(), addr);
}

bool is_loopback_network(const Network &net)
{
    // A network lies inside loopback when a loopback network holds its
    // first address with a prefix no longer than its own.
    return std::any_of(loopback_networks().begin(), loopback_networks().end(),
                       [&](const Network &lo) {
                           return lo.bits <= net.bits && network_contains(lo, net.addr);
                       });
}

} // namespace gw
