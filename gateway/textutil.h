// Text helpers shared by the gateway's configuration, administration and
// module variables.
#ifndef GW_TEXTUTIL_H
#define GW_TEXTUTIL_H

#include <string>

namespace gw {

// Without blanks, tabs, CRs and LFs at either end.
std::string trim(const std::string &s);

// A signed decimal number that fits a long: such a value makes an
// integer variable, anything else a text one.
bool is_decimal(const std::string &text);

// Text for a roff page: hyphens and backslashes as roff writes them, and a
// line that would start with a control character made plain.
std::string roff_escape(const std::string &text);

// Writes the template IN to OUT with the line `mark` replaced by `text`
// (the manual pages' generated parts). False with `error`.
bool fill_template(const std::string &in, const std::string &out, const std::string &mark, const std::string &text,
                   std::string &error);

// The first blank-separated word of `text` and the rest after it, both
// trimmed; false when `text` is blank. `rest` may be `text` itself.
bool split_word(const std::string &text, std::string &word, std::string &rest);

} // namespace gw

#endif
