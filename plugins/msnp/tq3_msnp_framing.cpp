/* MSNP framing: command boundaries and where each payload command names
 * its length, by sender, role and version. Everything here reads bytes a
 * peer chose: lengths go through a bounded digit reader, and each search
 * stays inside the bytes given. */
#include "tq3_msnp_framing.h"

#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <iterator>

namespace {

/* The words of one header line after the three-letter command, split at
 * single spaces as the servers split them: two spaces in a row make an
 * empty word, which fits no form. Only as many as the longest form holds
 * matter; one more tells "too many". */
struct line_words {
    static constexpr int kMax = 12;
    const char *start[kMax];
    size_t len[kMax];
    int count = 0;
};

line_words split_line(const char *line, const char *line_end)
{
    line_words w;
    const char *p = line + 3;
    while (p < line_end && *p == ' ' && w.count < line_words::kMax) {
        const char *s = ++p;
        while (p < line_end && *p != ' ')
            ++p;
        w.start[w.count] = s;
        w.len[w.count] = static_cast<size_t>(p - s);
        ++w.count;
    }
    return w;
}

/* Decimal digits and nothing else. A value too large for size_t saturates
 * (it only means "more than any chunk holds"). */
bool read_number(const char *s, size_t len, size_t *value)
{
    if (len == 0)
        return false;
    size_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        size_t d = static_cast<size_t>(s[i] - '0');
        v = v > (SIZE_MAX - d) / 10 ? SIZE_MAX : v * 10 + d;
    }
    *value = v;
    return true;
}

enum : uint8_t { FROM_CLIENT = 1, FROM_SERVER = 2, FROM_BOTH = 3 };
enum : uint8_t { ON_NS = 1, ON_SB = 2, ON_BOTH = 3 };

/* One command as one kind of peer sends it on one kind of connection in a
 * range of versions. `form` is null for a line command; otherwise one
 * letter per argument ('n' a number, 's' any word), the last being the
 * payload length, with alternatives told apart by the number of words
 * ("nsn|nn"). `reply`: a line whose last word is not a number is the
 * server's plain answer ("ADL 8 OK"). */
struct command_form {
    char cmd[4];
    uint8_t senders;
    uint8_t roles;
    uint8_t vmin, vmax;
    const char *form;
    bool reply;
};

constexpr uint8_t kLast = 21;

/* Every command the gateway relays. A word missing here, or present only
 * for another sender, role or version, is not a command of the dialect. */
constexpr command_form kForms[] = {
    /* payload commands */
    {"MSG", FROM_CLIENT, ON_SB, 2, kLast, "nsn", false},
    {"MSG", FROM_SERVER, ON_BOTH, 2, kLast, "ssn", false},
    {"NOT", FROM_SERVER, ON_NS, 2, kLast, "n", false},
    {"IPG", FROM_SERVER, ON_NS, 5, kLast, "n", false},
    {"PAG", FROM_CLIENT, ON_NS, 5, 9, "nsn", false},
    {"SDC", FROM_CLIENT, ON_NS, 5, kLast, "nsssssssn", false},
    {"QRY", FROM_CLIENT, ON_NS, 6, kLast, "nsn", false},
    {"PGD", FROM_CLIENT, ON_NS, 9, kLast, "nsnn", false},
    {"UUX", FROM_CLIENT, ON_NS, 10, kLast, "nn", false},
    {"UUX", FROM_SERVER, ON_NS, 10, kLast, "nn", true},
    {"UBX", FROM_SERVER, ON_NS, 10, kLast, "sn|snn", false},
    {"GCF", FROM_SERVER, ON_NS, 11, kLast, "nsn|nn", false},
    {"ADL", FROM_BOTH, ON_NS, 13, kLast, "nn", true},
    {"RML", FROM_BOTH, ON_NS, 13, kLast, "nn", true},
    {"UUN", FROM_CLIENT, ON_NS, 13, kLast, "nsnn", false},
    {"UBN", FROM_SERVER, ON_NS, 13, kLast, "snn", false},
    {"FQY", FROM_BOTH, ON_NS, 14, kLast, "nn", true},
    {"UUM", FROM_CLIENT, ON_NS, 14, kLast, "nsnnn", false},
    {"UBM", FROM_SERVER, ON_NS, 14, kLast, "snnn", false},
    {"SDG", FROM_BOTH, ON_NS, 19, kLast, "nn", true},
    {"PUT", FROM_CLIENT, ON_NS, 19, kLast, "nn", false},
    {"PUT", FROM_SERVER, ON_NS, 19, kLast, "nsn|nn", true},
    {"DEL", FROM_CLIENT, ON_NS, 19, kLast, "nn", false},
    {"DEL", FROM_SERVER, ON_NS, 19, kLast, "nsn|nn", true},
    {"NFY", FROM_SERVER, ON_NS, 19, kLast, "sn", false},
    /* line commands of the notification (and dispatch) server */
    {"VER", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"CVR", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"USR", FROM_BOTH, ON_BOTH, 0, kLast, nullptr, false},
    {"XFR", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"OUT", FROM_BOTH, ON_BOTH, 0, kLast, nullptr, false},
    {"INF", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"SYN", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"GTC", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"BLP", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"CHG", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"ADD", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"REM", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"REA", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"ADG", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"RMG", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"REG", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"LSG", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"LST", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"URL", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"FND", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"SND", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"PRP", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"SBP", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"ADC", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"LKP", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"TFR", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"FIL", FROM_BOTH, ON_NS, 0, kLast, nullptr, false},
    {"GCF", FROM_CLIENT, ON_NS, 11, kLast, nullptr, false},
    {"PNG", FROM_CLIENT, ON_NS, 0, kLast, nullptr, false},
    {"CVQ", FROM_CLIENT, ON_NS, 0, kLast, nullptr, false},
    {"QNG", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"CHL", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"QRY", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"ILN", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"NLN", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"FLN", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"RNG", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"BPR", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"SBS", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"RFS", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"GSB", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"PAG", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"PGD", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"SDC", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"UUN", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    {"UUM", FROM_SERVER, ON_NS, 0, kLast, nullptr, false},
    /* line commands of the switchboard */
    {"ANS", FROM_BOTH, ON_SB, 0, kLast, nullptr, false},
    {"CAL", FROM_BOTH, ON_SB, 0, kLast, nullptr, false},
    {"IRO", FROM_SERVER, ON_SB, 0, kLast, nullptr, false},
    {"JOI", FROM_SERVER, ON_SB, 0, kLast, nullptr, false},
    {"BYE", FROM_SERVER, ON_SB, 0, kLast, nullptr, false},
    {"ACK", FROM_SERVER, ON_SB, 0, kLast, nullptr, false},
    {"NAK", FROM_SERVER, ON_SB, 0, kLast, nullptr, false},
};

bool applies(const command_form &f, const msnp_dialect &d)
{
    if (d.from_client >= 0 && !(f.senders & (d.from_client ? FROM_CLIENT : FROM_SERVER)))
        return false;
    if (d.role == MSNP_ROLE_NS && !(f.roles & ON_NS))
        return false;
    if (d.role == MSNP_ROLE_SB && !(f.roles & ON_SB))
        return false;
    return d.version == 0 || (d.version >= f.vmin && d.version <= f.vmax);
}

/* The rows of the dialect's command `word`, payload forms first: a
 * dialect not settled yet takes a payload form over a line where both
 * exist. */
struct candidates {
    const command_form *row[4];
    int count = 0;
};

/* The rows of each command word, found by its packed three letters: the
 * framing looks one up for every command relayed. */
struct word_rows {
    uint32_t packed;
    uint8_t first, count;
};

uint32_t pack_word(const char *word)
{
    return static_cast<uint32_t>(static_cast<unsigned char>(word[0])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(word[1])) << 8 | static_cast<unsigned char>(word[2]);
}

/* kForms sorted by word, and where each word's rows start. */
struct form_index {
    command_form rows[std::size(kForms)];
    word_rows words[std::size(kForms)];
    size_t word_count = 0;

    form_index()
    {
        std::copy(std::begin(kForms), std::end(kForms), rows);
        std::stable_sort(std::begin(rows), std::end(rows),
                         [](const command_form &a, const command_form &b) { return pack_word(a.cmd) < pack_word(b.cmd); });
        for (size_t at = 0, end; at < std::size(rows); at = end) {
            for (end = at; end < std::size(rows) && pack_word(rows[end].cmd) == pack_word(rows[at].cmd); ++end) {
            }
            words[word_count++] = {pack_word(rows[at].cmd), static_cast<uint8_t>(at), static_cast<uint8_t>(end - at)};
        }
    }

    const word_rows *find(const char *word) const
    {
        uint32_t packed = pack_word(word);
        const word_rows *end = words + word_count;
        const word_rows *it = std::lower_bound(words, end, packed, [](const word_rows &w, uint32_t p) { return w.packed < p; });
        return it != end && it->packed == packed ? it : nullptr;
    }
};

const form_index &forms()
{
    static const form_index index;
    return index;
}

candidates forms_of(const char *word, const msnp_dialect &d)
{
    /* A stream is mostly one command after another of the same word (a
     * conversation's MSG): the last answer of the thread is kept. */
    struct answer_memo {
        uint32_t packed = 0;
        msnp_dialect dialect{};
        candidates answer;
    };
    /* Initial-exec: the module is loaded once, early, and a lookup through
     * the dynamic TLS model would cost what the memo saves. */
    static thread_local answer_memo last __attribute__((tls_model("initial-exec")));
    const uint32_t packed = pack_word(word);
    if (last.packed == packed && last.dialect.version == d.version && last.dialect.role == d.role &&
        last.dialect.from_client == d.from_client)
        return last.answer;
    candidates c;
    const form_index &index = forms();
    const word_rows *w = index.find(word);
    if (!w) {
        last.packed = packed;
        last.dialect = d;
        last.answer = c;
        return c;
    }
    const command_form *line = nullptr;
    for (const command_form *f = index.rows + w->first; f < index.rows + w->first + w->count; ++f) {
        if (!applies(*f, d))
            continue;
        if (!f->form)
            line = line ? line : f;
        else if (c.count < 3)
            c.row[c.count++] = f;
    }
    if (line && c.count == 0)
        c.row[c.count++] = line;
    last.packed = packed;
    last.dialect = d;
    last.answer = c;
    return c;
}

bool known_in_other_case(const char *word)
{
    for (const command_form &f : kForms)
        if (strncasecmp(word, f.cmd, 3) == 0 && memcmp(word, f.cmd, 3) != 0)
            return true;
    return false;
}

bool is_numeric_reply(const char *line, size_t head)
{
    return head >= 3 && line[0] >= '0' && line[0] <= '9' && line[1] >= '0' && line[1] <= '9' &&
           line[2] >= '0' && line[2] <= '9' && (head == 3 || line[3] == ' ');
}

/* The payload length a header line announces by one of its forms. False
 * when the line fits none of them. */
bool length_by_form(const command_form &rule, const line_words &w, size_t *length, bool *plain)
{
    *plain = false;
    const char *form = rule.form;
    while (form) {
        const char *bar = strchr(form, '|');
        size_t n = bar ? static_cast<size_t>(bar - form) : strlen(form);
        if (static_cast<size_t>(w.count) == n) {
            bool fits = true;
            size_t value = 0;
            for (size_t i = 0; fits && i + 1 < n; ++i)
                fits = form[i] != 'n' || read_number(w.start[i], w.len[i], &value);
            if (fits && read_number(w.start[n - 1], w.len[n - 1], &value)) {
                *length = value;
                return true;
            }
            if (fits && rule.reply) {
                *plain = true;
                return true;
            }
        }
        form = bar ? bar + 1 : nullptr;
    }
    return false;
}

} // namespace

unsigned msnp_dialect_pack(unsigned version, unsigned role)
{
    return (version & 0xff) | (role & 0x3) << 8;
}

unsigned msnp_dialect_learn_role(unsigned state, unsigned role)
{
    msnp_dialect d = msnp_dialect_unpack(state, 0);
    return d.role == MSNP_ROLE_ANY ? msnp_dialect_pack(d.version, role) : state;
}

msnp_dialect msnp_dialect_unpack(unsigned state, int from_client)
{
    return msnp_dialect{state & 0xff, state >> 8 & 0x3, from_client};
}

int msnp_frame_payload_command(const char *cmd)
{
    if (!cmd || strnlen(cmd, 4) != 3)
        return 0;
    for (const command_form &f : kForms)
        if (f.form && memcmp(cmd, f.cmd, 3) == 0)
            return 1;
    return 0;
}

msnp_frame msnp_frame_next(const char *cur, size_t left, msnp_dialect dialect)
{
    msnp_frame f = {left, 0, 0, 0, 0, MSNP_FIT_COMMAND};
    /* The line ends at its first CR LF, whatever stands before it. */
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
    if (!crlf)
        return f;
    size_t head = static_cast<size_t>(crlf - cur);
    f.boundary = 1;
    f.size = head + 2;
    candidates rules;
    if (head < 3 || memchr(cur, '\0', head) || (head > 3 && cur[3] != ' ' && !is_numeric_reply(cur, head)))
        f.fit = MSNP_FIT_MALFORMED;
    else if (is_numeric_reply(cur, head))
        f.fit = dialect.from_client > 0 ? MSNP_FIT_UNKNOWN : MSNP_FIT_COMMAND;
    else if ((rules = forms_of(cur, dialect)).count == 0)
        f.fit = known_in_other_case(cur) ? MSNP_FIT_MALFORMED : MSNP_FIT_UNKNOWN;
    if (rules.count == 0 || !rules.row[0]->form)
        return f;

    size_t len = 0;
    bool plain = false, fits = false;
    line_words words = split_line(cur, crlf);
    for (int i = 0; i < rules.count && !fits; ++i)
        fits = length_by_form(*rules.row[i], words, &len, &plain);
    if (!fits) {
        f.fit = MSNP_FIT_MALFORMED;
        return f;
    }
    if (plain)
        return f;
    f.payload = 1;
    /* head + 2 <= left: the CR LF lies inside the bytes. */
    if (len > left - head - 2) {
        len = left - head - 2;
        f.cut = 1;
    }
    f.size = head + 2 + len;
    if (!f.cut && f.size == left) {
        f.exact = 1;
        f.boundary = 0;
    }
    return f;
}
