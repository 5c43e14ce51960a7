// Text helpers.
#include "textutil.h"

#include <fstream>
#include <sstream>

#include <cerrno>
#include <cstdlib>

namespace gw {

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool is_decimal(const std::string &text)
{
    size_t i = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    if (i >= text.size())
        return false;
    for (size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9')
            return false;
    errno = 0;
    std::strtol(text.c_str(), nullptr, 10);
    return errno != ERANGE;
}

std::string roff_escape(const std::string &text)
{
    std::string out = text.empty() || (text[0] != '.' && text[0] != '\'') ? "" : "\\&";
    for (char c : text)
        out += c == '-' ? std::string("\\-") : c == '\\' ? std::string("\\e") : std::string(1, c);
    return out;
}

bool fill_template(const std::string &in, const std::string &out, const std::string &mark, const std::string &text,
                   std::string &error)
{
    std::ifstream from(in, std::ios::binary);
    std::stringstream page;
    page << from.rdbuf();
    std::string t = page.str();
    size_t at = t.find(mark + "\n");
    if (!from || at == std::string::npos) {
        error = in + ": no " + mark + " line";
        return false;
    }
    t.replace(at, mark.size() + 1, text);
    std::ofstream to(out, std::ios::binary | std::ios::trunc);
    to << t;
    if (!to.flush()) {
        error = out + ": cannot be written";
        return false;
    }
    return true;
}

bool split_word(const std::string &text, std::string &word, std::string &rest)
{
    std::string t = trim(text);
    if (t.empty())
        return false;
    size_t sp = t.find_first_of(" \t");
    word = t.substr(0, sp);
    rest = sp == std::string::npos ? std::string() : trim(t.substr(sp));
    return true;
}

} // namespace gw
