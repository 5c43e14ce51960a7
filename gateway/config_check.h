// `trevalquin -t`: the settings, the module and the policy checked without
// serving, each problem named with its file and line.
#ifndef GW_CONFIG_CHECK_H
#define GW_CONFIG_CHECK_H

#include <string>
#include <vector>

#include "server.h"

namespace gw {

struct CheckResult {
    std::vector<std::string> errors;   // "FILE:LINE: message"
    std::vector<std::string> warnings; // the same shape
    std::vector<std::string> rules;    // the destination rules in force, in order
    bool ok() const { return errors.empty(); }
};

// Loads the module and the policy (in this process's own, throw-away
// registry) as a start would, and gathers what is wrong.
CheckResult check_configuration(const LaunchOptions &opts, const Settings &settings);

// The first line of an XML text where the reader finds it not well-formed,
// or 0 when it is well-formed.
int xml_error_line(const std::string &text);

// The line of `text` that names `name` as an element's text or an
// attribute value, or 0.
int line_naming(const std::string &text, const std::string &name);

} // namespace gw

#endif
