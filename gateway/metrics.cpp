// The Prometheus text the metrics listener serves.
#include "metrics.h"

#include <algorithm>
#include <cstdio>

namespace gw {

namespace {

std::string number(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

void head(std::string &out, const std::string &name, const char *type, const std::string &help)
{
    out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// A label value as the format wants it: backslash, quote and newline escaped.
std::string label(const std::string &v)
{
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

} // namespace

void Histogram::observe(std::chrono::nanoseconds d)
{
    const double s = std::chrono::duration<double>(d).count();
    for (size_t i = 0; i < kBounds.size(); ++i)
        if (s <= kBounds[i]) {
            buckets_[i].fetch_add(1, std::memory_order_relaxed);
            break;
        }
    count_.fetch_add(1, std::memory_order_relaxed);
    sum_ns_.fetch_add(static_cast<uint64_t>(d.count() > 0 ? d.count() : 0), std::memory_order_relaxed);
}

void Histogram::write(std::string &out, const std::string &name, const std::string &help) const
{
    head(out, name, "histogram", help);
    // Buckets are kept apart and added up here: an observation touches
    // one of them, not every bucket above it.
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kBounds.size(); ++i) {
        cumulative += buckets_[i].load(std::memory_order_relaxed);
        out += name + "_bucket{le=\"" + number(kBounds[i]) + "\"} " + std::to_string(cumulative) + "\n";
    }
    // Read apart from the buckets, the count may lag them by an observation.
    const uint64_t count = std::max(count_.load(std::memory_order_relaxed), cumulative);
    out += name + "_bucket{le=\"+Inf\"} " + std::to_string(count) + "\n";
    out += name + "_sum " + number(static_cast<double>(sum_ns_.load(std::memory_order_relaxed)) / 1e9) + "\n";
    out += name + "_count " + std::to_string(count) + "\n";
}

size_t Metrics::door_index(const std::string &door)
{
    for (size_t i = 0; i < kDoorLabels.size(); ++i)
        if (door == kDoorLabels[i])
            return i;
    return 0;
}

std::string metrics_text(const Metrics &m, const MetricsSnapshot &s)
{
    std::string out;
    head(out, "trevalquin_connections_open", "gauge", "Relayed connections open now, by front door.");
    for (size_t i = 0; i < kDoorLabels.size(); ++i)
        out += std::string("trevalquin_connections_open{door=\"") + kDoorLabels[i] + "\"} " +
               std::to_string(s.connections_open[i]) + "\n";
    head(out, "trevalquin_connections_total", "counter", "Connections relayed since the start, by front door.");
    for (size_t i = 0; i < kDoorLabels.size(); ++i)
        out += std::string("trevalquin_connections_total{door=\"") + kDoorLabels[i] + "\"} " +
               std::to_string(m.connections_total[i].load(std::memory_order_relaxed)) + "\n";
    head(out, "trevalquin_relayed_bytes_total", "counter", "Bytes read from clients and from servers.");
    out += "trevalquin_relayed_bytes_total{from=\"client\"} " +
           std::to_string(m.bytes_from_client.load(std::memory_order_relaxed)) + "\n";
    out += "trevalquin_relayed_bytes_total{from=\"server\"} " +
           std::to_string(m.bytes_from_server.load(std::memory_order_relaxed)) + "\n";
    head(out, "trevalquin_held_bytes", "gauge", "Bytes of incomplete commands held by all connections.");
    out += "trevalquin_held_bytes " + std::to_string(s.held_bytes) + "\n";
    head(out, "trevalquin_policy_reloads_total", "counter", "Policy reloads (SIGHUP, tqctl), by result.");
    out += "trevalquin_policy_reloads_total{result=\"ok\"} " +
           std::to_string(s.reloads_ok) + "\n";
    out += "trevalquin_policy_reloads_total{result=\"failed\"} " +
           std::to_string(s.reloads_failed) + "\n";
    m.decision.write(out, "trevalquin_decision_seconds", "The module's time to decide one chunk.");
    m.relay.write(out, "trevalquin_relay_latency_seconds",
                  "From a chunk read to its bytes handed to the other side's socket.");
    if (!s.counters.empty()) {
        // The module's own counters (verdicts by kind, sign-ins admitted
        // and refused by cause) under their own names; a statistics
        // period that writes them out starts them again from zero.
        head(out, "trevalquin_module_events_total", "counter",
             "The module's statistic counters, by name; reset when a statistics period is written.");
        for (const auto &[name, value] : s.counters)
            out += "trevalquin_module_events_total{module=\"" + label(s.module) + "\",counter=\"" + label(name) +
                   "\"} " + (value.empty() ? "0" : value) + "\n";
    }
    return out;
}

} // namespace gw
