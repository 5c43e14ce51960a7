// MSNP command boundaries.
#include "msnp_frame.h"

#include <cstdint>
#include <cstring>

namespace gw {

namespace {

constexpr int kMaxWords = 10;

struct Words {
    const char *start[kMaxWords];
    size_t len[kMaxWords];
    int count = 0;
    int spaces = 0; // single blanks on the line, as the command forms count them
};

bool blank(char c) { return c == ' ' || c == '\t'; }

// The words after the three-letter command.
void split(const char *line, size_t len, Words &w)
{
    for (size_t i = 0; i < len; ++i)
        if (line[i] == ' ')
            ++w.spaces;
    size_t p = len < 3 ? len : 3;
    while (p < len && w.count < kMaxWords) {
        while (p < len && blank(line[p]))
            ++p;
        if (p >= len)
            break;
        size_t s = p;
        while (p < len && !blank(line[p]))
            ++p;
        w.start[w.count] = line + s;
        w.len[w.count] = p - s;
        ++w.count;
    }
}

// Optional sign and digits; `whole` demands nothing after them. Negative
// reads as 0; a huge value saturates.
bool number(const char *s, size_t len, bool whole, size_t &out)
{
    size_t i = 0;
    bool negative = false;
    if (i < len && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    if (i >= len || s[i] < '0' || s[i] > '9')
        return false;
    size_t v = 0;
    for (; i < len && s[i] >= '0' && s[i] <= '9'; ++i) {
        size_t d = static_cast<size_t>(s[i] - '0');
        v = v > (SIZE_MAX - d) / 10 ? SIZE_MAX : v * 10 + d;
    }
    if (whole && i != len)
        return false;
    out = negative ? 0 : v;
    return true;
}

// `form`: one letter per argument, 'n' a number, 's' any word; the last
// argument is the payload length. A line that does not fit means 0.
size_t length_by_form(const Words &w, const char *form)
{
    size_t n = std::strlen(form);
    if (static_cast<size_t>(w.count) < n)
        return 0;
    size_t v = 0;
    for (size_t i = 0; i + 1 < n; ++i)
        if (form[i] == 'n' && !number(w.start[i], w.len[i], true, v))
            return 0;
    if (!number(w.start[n - 1], w.len[n - 1], false, v))
        return 0;
    return v;
}

bool is(const char *line, const char *cmd) { return std::memcmp(line, cmd, 3) == 0; }

// Payload length announced by the header line [line, line+len) (without
// its CR LF); 0 for line commands.
size_t payload_length(const char *line, size_t len)
{
    if (len < 3)
        return 0;
    struct Form {
        const char *cmd;
        const char *form;
    };
    static const Form fixed[] = {
        {"MSG", "ssn"}, {"UUX", "nn"},   {"UBN", "snn"},   {"PGD", "nsnn"},
        {"PAG", "nsn"}, {"IPG", "n"},    {"NOT", "n"},     {"ADL", "nn"},
        {"RML", "nn"},  {"UUM", "nsnnn"}, {"UBM", "snnn"}, {"FQY", "nn"},
    };
    for (const Form &f : fixed) {
        if (is(line, f.cmd)) {
            Words w;
            split(line, len, w);
            return length_by_form(w, f.form);
        }
    }
    bool gcf = is(line, "GCF"), ubx = is(line, "UBX"), uun = is(line, "UUN");
    bool qry = is(line, "QRY"), sdc = is(line, "SDC");
    if (!gcf && !ubx && !uun && !qry && !sdc)
        return 0;
    Words w;
    split(line, len, w);
    if (gcf) {
        if (w.spaces == 3)
            return length_by_form(w, "nsn");
        size_t trid = 0;
        if (w.spaces != 2 || w.count < 1 || !number(w.start[0], w.len[0], true, trid) || trid)
            return 0;
        return length_by_form(w, "nn");
    }
    if (ubx)
        return length_by_form(w, w.spaces == 2 ? "sn" : "snn");
    if (uun)
        return w.spaces <= 2 ? 0 : length_by_form(w, "nsnn");
    if (w.spaces == 1 || w.spaces == 2)
        return 0;
    return length_by_form(w, qry ? "nsn" : "nsssssssn");
}

} // namespace

FrameScan scan_msnp_commands(const uint8_t *data, size_t len)
{
    FrameScan scan;
    const char *p = reinterpret_cast<const char *>(data);
    size_t pos = 0;
    while (pos < len) {
        const void *cr = nullptr;
        size_t from = pos;
        // The first CR LF of the line.
        while (from < len) {
            cr = std::memchr(p + from, '\r', len - from);
            if (!cr)
                break;
            size_t at = static_cast<size_t>(static_cast<const char *>(cr) - p);
            if (at + 1 < len && p[at + 1] == '\n')
                break;
            if (at + 1 >= len) {
                cr = nullptr;
                break;
            }
            from = at + 1;
            cr = nullptr;
        }
        if (!cr)
            break;
        size_t line_end = static_cast<size_t>(static_cast<const char *>(cr) - p);
        size_t payload = payload_length(p + pos, line_end - pos);
        size_t body = line_end + 2;
        if (payload > len - body) {
            scan.first_awaits_payload = pos == 0;
            break;
        }
        pos = body + payload;
        scan.complete = pos;
    }
    return scan;
}

} // namespace gw
