// What the gateway counts for Prometheus, and the text a scrape gets.
// Counting is a relaxed atomic add on the relay threads; the text is made
// only when asked for.
#ifndef GW_METRICS_H
#define GW_METRICS_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace gw {

// A histogram of durations with fixed buckets (seconds).
class Histogram {
public:
    static constexpr std::array<double, 12> kBounds = {0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025,
                                                        0.005,   0.01,   0.025,   0.05,   0.1,   1.0};
    void observe(std::chrono::nanoseconds d);
    // The histogram's lines under `name` (with `help`).
    void write(std::string &out, const std::string &name, const std::string &help) const;

private:
    std::array<std::atomic<uint64_t>, kBounds.size()> buckets_{};
    std::atomic<uint64_t> count_{0};
    std::atomic<uint64_t> sum_ns_{0};
};

// The front doors, in the order of their labels.
inline constexpr std::array<const char *, 3> kDoorLabels = {"socks", "http", "transparent"};

struct Metrics {
    std::array<std::atomic<uint64_t>, kDoorLabels.size()> connections_total{};
    std::atomic<uint64_t> bytes_from_client{0}, bytes_from_server{0};
    Histogram decision;  // the module's time for one chunk
    Histogram relay;     // a chunk from read to its bytes handed to the other side

    static size_t door_index(const std::string &door);
};

// Everything a scrape shows besides the counters above, gathered at the
// time of the scrape.
struct MetricsSnapshot {
    std::array<uint64_t, kDoorLabels.size()> connections_open{};
    uint64_t held_bytes = 0;
    uint64_t reloads_ok = 0, reloads_failed = 0;
    std::string module;                                           // the module's name
    std::vector<std::pair<std::string, std::string>> counters;   // the module's statistic counters
};

// The Prometheus text format (version 0.0.4).
std::string metrics_text(const Metrics &m, const MetricsSnapshot &s);

} // namespace gw

#endif
