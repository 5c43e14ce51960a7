// A module's verdict trace as text: one JSON object per command on one
// line, the same for the gateway's capture files and for tqreplay.
#ifndef GW_VERDICT_TRACE_H
#define GW_VERDICT_TRACE_H

#include <cstdint>
#include <string>

#include "tq3_trace.h"

namespace gw {

// `client` and `server` name the connection ("ADDRESS:PORT"); `base` is
// where the tasklet's bytes started in their direction of the stream, so
// that "offset" is the command's place in the stream.
std::string trace_json(const tq3_trace_command &c, const std::string &client, const std::string &server,
                       uint64_t base);

// "out" for what the local user sends, "in" for what comes to the user.
const char *trace_direction(conn_direction d);

// A JSON string literal of arbitrary bytes: control characters and
// bytes that are not UTF-8 are escaped (the latter as U+FFFD).
void json_string(std::string &out, const std::string &text);

} // namespace gw

#endif
