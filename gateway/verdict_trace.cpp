#include "verdict_trace.h"

#include <cstdio>

#include "tqevents_interface.h"
#include "utils.h"

namespace gw {

const char *trace_direction(conn_direction d)
{
    return d == DIR_CLIENT_TO_SERVER ? "out" : "in";
}

void json_string(std::string &out, const std::string &text)
{
    out += '"';
    const auto *p = reinterpret_cast<const unsigned char *>(text.c_str());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c >= 0x80) {
            size_t len = utf8_sequence(p + i); // stops at the terminating NUL
            if (len == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, len);
                i += len;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
}

namespace {

void field(std::string &out, const char *name, const char *value)
{
    out += ",\"";
    out += name;
    out += "\":";
    if (value)
        json_string(out, value);
    else
        out += "null";
}

} // namespace

std::string trace_json(const tq3_trace_command &c, const std::string &client, const std::string &server,
                       uint64_t base)
{
    std::string out = "{\"time\":" + std::to_string(static_cast<long long>(c.when));
    field(out, "client", client.c_str());
    field(out, "server", server.c_str());
    field(out, "user", c.user);
    field(out, "direction", trace_direction(c.direction));
    field(out, "command", c.command);
    out += ",\"offset\":" + std::to_string(base + c.offset);
    field(out, "outcome", tqevents_match_name(c.outcome));
    out += ",\"rewritten\":";
    out += c.rewritten ? "true" : "false";
    out += ",\"decisions\":[";
    for (size_t i = 0; i < c.count; ++i) {
        const tq3_trace_decision &d = c.decisions[i];
        out += i ? ",{" : "{";
        out += "\"contact\":";
        json_string(out, d.contact ? d.contact : "");
        field(out, "verdict", tqevents_match_name(d.verdict));
        field(out, "rule", d.rule);
        field(out, "owner", d.owner);
        field(out, "target", d.target);
        out += ",\"position\":" + std::to_string(d.position) + "}";
    }
    out += "]}";
    return out;
}

} // namespace gw
