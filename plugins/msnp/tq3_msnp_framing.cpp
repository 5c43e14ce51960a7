/* MSNP framing: command boundaries and where each payload command names
 * its length. Everything here reads bytes a peer chose: lengths go through
 * a bounded digit reader, and each search stays inside the bytes given. */
#include "tq3_msnp_framing.h"

#include <stdint.h>
#include <string.h>

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

/* The words of one header line after the three-letter command. Only the
 * first few matter, so the rest are not recorded. */
struct line_words {
    static constexpr int kMax = 10;
    const char *start[kMax];
    size_t len[kMax];
    int count = 0;
};

line_words split_line(const char *line, const char *line_end)
{
    line_words w;
    const char *p = line + 3 < line_end ? line + 3 : line_end;
    while (p < line_end && w.count < line_words::kMax) {
        while (p < line_end && is_blank(*p))
            ++p;
        if (p >= line_end)
            break;
        const char *s = p;
        while (p < line_end && !is_blank(*p))
            ++p;
        w.start[w.count] = s;
        w.len[w.count] = static_cast<size_t>(p - s);
        ++w.count;
    }
    return w;
}

/* Single blanks of the command line, counted up to its first CR or LF:
 * the command forms are told apart by them. */
int count_blanks(const char *line, const char *line_end)
{
    int count = 0;
    for (const char *p = line; p < line_end && *p != '\r' && *p != '\n'; ++p)
        count += *p == ' ';
    return count;
}

/* An optional sign and decimal digits at the start of a word; `whole`
 * demands that nothing follows them. A value too large for size_t
 * saturates (it only means "more than any chunk holds"); a negative one
 * reads as 0, so a length never moves the cut backwards. */
bool read_number(const char *s, size_t len, bool whole, size_t *value)
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
    *value = negative ? 0 : v;
    return true;
}

/* The length from a line shaped by `form`: one letter per argument, 'n' a
 * number and 's' any word; the last argument is the length. A line that
 * does not fit the form up to the length reads as 0. */
size_t length_by_form(const line_words &w, const char *form)
{
    size_t n = strlen(form);
    if (static_cast<size_t>(w.count) < n)
        return 0;
    size_t value = 0;
    for (size_t i = 0; i + 1 < n; ++i)
        if (form[i] == 'n' && !read_number(w.start[i], w.len[i], true, &value))
            return 0;
    if (!read_number(w.start[n - 1], w.len[n - 1], false, &value))
        return 0;
    return value;
}

/* The payload commands and the form of their header line. The forms of
 * GCF, UBX, UUN, QRY and SDC depend on the line's blanks. */
struct payload_rule {
    char cmd[4];
    const char *form;
};

constexpr payload_rule kRules[] = {
    {"MSG", "ssn"}, {"UUX", "nn"}, {"UBN", "snn"}, {"PGD", "nsnn"}, {"PAG", "nsn"},
    {"IPG", "n"},   {"NOT", "n"},  {"ADL", "nn"},  {"RML", "nn"},   {"UUM", "nsnnn"},
    {"UBM", "snnn"}, {"FQY", "nn"}, {"GCF", nullptr}, {"UBX", nullptr}, {"UUN", nullptr},
    {"QRY", nullptr}, {"SDC", nullptr},
};

const payload_rule *rule_of(const char *cmd)
{
    for (const payload_rule &r : kRules)
        if (memcmp(cmd, r.cmd, 3) == 0)
            return &r;
    return nullptr;
}

} // namespace

int msnp_frame_payload_command(const char *cmd)
{
    return cmd && strnlen(cmd, 3) == 3 && rule_of(cmd) != nullptr;
}

size_t msnp_frame_payload_length(const char *line, const char *line_end, int *payload)
{
    *payload = 0;
    if (line_end - line < 3)
        return 0;
    const payload_rule *rule = rule_of(line);
    if (!rule)
        return 0;
    const char *form = rule->form;
    if (!form) {
        int blanks = count_blanks(line, line_end);
        switch (line[0]) {
        case 'G': /* GCF */
            if (blanks == 3) {
                form = "nsn";
            } else if (blanks == 2) {
                /* Only a transaction id of 0 announces a payload; otherwise
                 * the second argument is a file name. */
                line_words w = split_line(line, line_end);
                size_t trid = 0;
                if (w.count < 1 || !read_number(w.start[0], w.len[0], true, &trid)) {
                    *payload = 1; /* malformed: a payload of 0 bytes */
                    return 0;
                }
                if (trid != 0)
                    return 0;
                form = "nn";
            } else {
                return 0;
            }
            break;
        case 'U':
            if (line[1] == 'B') { /* UBX */
                form = blanks == 2 ? "sn" : "snn";
            } else { /* UUN */
                if (blanks <= 2)
                    return 0;
                form = "nsnn";
            }
            break;
        default: /* QRY and SDC: the short forms have no payload */
            if (blanks == 1 || blanks == 2)
                return 0;
            form = line[0] == 'Q' ? "nsn" : "nsssssssn";
            break;
        }
    }
    *payload = 1;
    return length_by_form(split_line(line, line_end), form);
}

msnp_frame msnp_frame_next(const char *cur, size_t left)
{
    msnp_frame f = {left, 0, 0, 0, 0};
    /* The line ends at its first CR LF; a NUL byte before it ends the
     * search, and then the piece is the rest of the bytes. Only the line is
     * searched for the NUL: the rest of the chunk may be long and holds
     * many commands, each of which is framed in turn. */
    const char *end = cur + left;
    const char *crlf = nullptr;
    for (const char *p = cur; p + 1 < end; ++p) {
        p = static_cast<const char *>(memchr(p, '\r', static_cast<size_t>(end - p - 1)));
        if (!p)
            break;
        if (p[1] == '\n') {
            crlf = p;
            break;
        }
    }
    if (crlf && memchr(cur, '\0', static_cast<size_t>(crlf - cur)))
        crlf = nullptr;
    if (!crlf)
        return f;
    size_t head = static_cast<size_t>(crlf - cur);
    size_t len = msnp_frame_payload_length(cur, crlf, &f.payload);
    f.boundary = 1;
    if (!f.payload) {
        f.size = head + 2;
        return f;
    }
    /* head + 2 <= left: the CR LF lies inside the bytes. */
    if (len > left - head - 2) {
        len = left - head - 2;
        f.cut = 1;
    }
    f.size = head + 2 + len;
    if (!f.cut && (f.size == left || cur[f.size] == '\0')) {
        f.exact = 1;
        f.boundary = 0;
        f.size = left;
    }
    return f;
}
