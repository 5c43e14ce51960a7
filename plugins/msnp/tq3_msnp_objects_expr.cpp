/* Expression objects: lists of content patterns. A literal reads
 * "/pattern/options"; the option letters pick the kind (plain text, basic
 * or extended POSIX expression, shell glob), modifiers and the scopes of
 * the message the pattern applies to. */
#include <iksemel.h>

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <bitset>
#include <string>

#include "tq3_msnp.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_xml.h"
#include "tqidl.h"
#include "tqlist.h"
#include "utils.h"

extern "C" const msnp_expr_node_token msnp_expr_node_tokens[] = {
    {MSNP_EXPR_LITERAL, "literal", 'x'},
    {MSNP_EXPR_SRE, "sre", 's'},
    {MSNP_EXPR_ERE, "ere", 'e'},
    {MSNP_EXPR_GLOB, "glob", 'g'},
    {MSNP_EXPR_IGNORECASE, "ignorecase", 'i'},
    {MSNP_EXPR_NEWLINE, "newline", 'n'},
    {MSNP_EXPR_INVERSE, "inverse", 'v'},
    {MSNP_EXPR_BODY, "body", 'b'},
    {MSNP_EXPR_HEADER, "header", 'h'},
    {MSNP_EXPR_FILENAME, "filename", 'f'},
    {MSNP_EXPR_RAW, "raw", 'r'},
    {0, nullptr, 0},
};

static int is_kind(unsigned code) {
    return (code & MSNP_EXPR_KIND_MASK) != 0;
}

static const msnp_expr_node_token *token_by_letter(char letter) {
    for (const msnp_expr_node_token *tok = msnp_expr_node_tokens; tok->code; ++tok)
        if (tok->opt == letter)
            return tok;
    return nullptr;
}

static const msnp_expr_node_token *token_by_code(unsigned code) {
    for (const msnp_expr_node_token *tok = msnp_expr_node_tokens; tok->code; ++tok)
        if (tok->code == code)
            return tok;
    return nullptr;
}

static const msnp_expr_node_token *token_by_value(const char *value) {
    for (const msnp_expr_node_token *tok = msnp_expr_node_tokens; tok->code; ++tok)
        if (strcmp(tok->value, value) == 0)
            return tok;
    return nullptr;
}

void msnp_expr_node_destroy(msnp_expr_node *node) {
    if (!node)
        return;
    if (node->expr) {
        regfree(node->expr);
        free(node->expr);
    }
    free(node->literal);
    free(node->must);
    free(node);
}

/* Content expressions are tried on every message, and most never match:
 * a search for the text a match cannot do without rules a message out at
 * a fraction of the expression's cost. The search may only ever skip an
 * expression that could not have matched, so only literal runs count that
 * stand outside every bracket expression, group, repetition, alternation
 * and back-reference; anything not understood ends a run, and a pattern
 * with alternation anywhere has no required text at all. */
namespace {

/* How rare a byte is in chat text: blanks and common lower-case letters
 * least, then capitals, digits, punctuation, anything else most. */
int rarity(unsigned char c) {
    static const char kByFrequency[] = "etaoinshrdlcumwfgypbvkjxqz";
    if (c == ' ')
        return 0;
    if (c >= 'a' && c <= 'z')
        return 1 + static_cast<int>(strchr(kByFrequency, c) - kByFrequency);
    if (c >= 'A' && c <= 'Z')
        return 30 + rarity(static_cast<unsigned char>(c - 'A' + 'a'));
    if (c >= '0' && c <= '9')
        return 60;
    if (c < 0x80 && c > ' ')
        return 70;
    return 80;
}

/* The end of the bracket expression opening at `p` (the byte after its
 * ']'), or nullptr when it never closes. Its first ']' (after an optional
 * '^') is a member, and [: :], [= =], [. .] hold their own; a backslash is
 * an ordinary member. */
const char *bracket_end(const char *p) {
    const char *q = p + 1;
    if (*q == '^')
        ++q;
    if (*q == ']')
        ++q;
    while (*q && *q != ']') {
        if (*q == '[' && (q[1] == ':' || q[1] == '=' || q[1] == '.')) {
            const char *end = strchr(q + 2, q[1]);
            while (end && end[1] != ']')
                end = strchr(end + 1, q[1]);
            if (!end)
                return nullptr;
            q = end + 2;
        } else {
            ++q;
        }
    }
    return *q ? q + 1 : nullptr;
}

/* After an interval's '{' (or "\{"): the byte after its closing brace when
 * only digits and commas stand between, else nullptr. */
const char *interval_end(const char *p, bool extended) {
    while ((*p >= '0' && *p <= '9') || *p == ',')
        ++p;
    if (extended)
        return *p == '}' ? p + 1 : nullptr;
    return p[0] == '\\' && p[1] == '}' ? p + 2 : nullptr;
}

/* The last character of a run, which a repetition makes optional: a
 * UTF-8 sequence goes whole, as a multibyte locale repeats it whole. */
void drop_last_character(std::string &run) {
    while (!run.empty() && (static_cast<unsigned char>(run.back()) & 0xc0) == 0x80)
        run.pop_back();
    if (!run.empty())
        run.pop_back();
}

/* What every match of a pattern holds, read in one pass. Atoms inside
 * groups count for nothing (a group may repeat, be left out or hold
 * alternatives), and neither does any atom the reading does not know. */
struct requirement_scan {
    requirement_scan(const char *pattern, bool ere, bool blind) : p(pattern), extended(ere), icase(blind) {}

    const char *p;
    bool extended;
    bool icase;
    int depth = 0;
    std::string run, best;
    std::bitset<256> cls;  /* the class with the most required members */
    size_t cls_min = 0;

    /* An atom: `set` the bytes it matches when known, `literal` the byte
     * when it is one plain character. */
    struct atom {
        bool known = false;
        std::bitset<256> set;
        int literal = -1;
    };

    void close_run()
    {
        if (depth == 0 && run.size() > best.size())
            best = run;
        run.clear();
    }

    static bool escaped_literal(char e) { return e && strchr(".*[]^$\\", e) != nullptr; }

    void add_byte(atom &a, unsigned char c)
    {
        a.set.set(c);
        if (icase && isalpha(c)) {
            a.set.set(static_cast<unsigned char>(tolower(c)));
            a.set.set(static_cast<unsigned char>(toupper(c)));
        }
    }

    /* A bracket expression's members, when every one is plain ASCII, a
     * range within digits or within one case of letters, or a class whose
     * members a multibyte locale may widen (then every byte of a multibyte
     * character counts). Negation, collating elements and equivalence
     * classes leave the set unknown. */
    const char *bracket(const char *q, atom &a)
    {
        const char *end = bracket_end(q);
        if (!end)
            return nullptr;
        ++q;
        bool ok = *q != '^';
        bool first = true;
        while (ok && (first || *q != ']')) {
            first = false;
            unsigned char c = static_cast<unsigned char>(*q);
            if (c == '[' && q[1] == ':') {
                const char *close = strstr(q + 2, ":]");
                std::string name(q + 2, static_cast<size_t>(close - q - 2));
                for (int b = 0; b < 0x80; ++b) {
                    bool in = name == "digit"   ? isdigit(b)
                              : name == "xdigit" ? isxdigit(b)
                              : name == "alpha"  ? isalpha(b)
                              : name == "alnum"  ? isalnum(b)
                              : name == "upper"  ? (icase ? isalpha(b) : isupper(b))
                              : name == "lower"  ? (icase ? isalpha(b) : islower(b))
                              : name == "space"  ? isspace(b)
                              : name == "blank"  ? (b == ' ' || b == '\t')
                              : name == "punct"  ? ispunct(b)
                                                 : true;
                    if (in)
                        a.set.set(static_cast<size_t>(b));
                }
                if (name != "digit" && name != "xdigit")
                    for (int b = 0x80; b < 0x100; ++b)
                        a.set.set(static_cast<size_t>(b));
                q = close + 2;
            } else if (c == '[' && (q[1] == '.' || q[1] == '=')) {
                ok = false;
            } else if (c >= 0x80) {
                ok = false;
            } else if (q[1] == '-' && q[2] != ']' && q[2] != '\0') {
                unsigned char to = static_cast<unsigned char>(q[2]);
                bool same_kind = (isdigit(c) && isdigit(to)) || (islower(c) && islower(to)) ||
                                 (isupper(c) && isupper(to));
                if (!same_kind || to < c) {
                    ok = false;
                } else {
                    for (unsigned b = c; b <= to; ++b)
                        add_byte(a, static_cast<unsigned char>(b));
                    q += 3;
                }
            } else {
                add_byte(a, c);
                ++q;
            }
        }
        a.known = ok;
        return end;
    }

    /* The repetitions after an atom, and where they end (nullptr for a
     * brace this reading cannot take apart): `repeated` when there are
     * any, `min` the fewest times the atom must then occur. */
    const char *repetitions(const char *q, size_t &min, bool &repeated)
    {
        min = 1;
        repeated = false;
        for (;;) {
            size_t m = 1;
            const char *next = nullptr;
            if (*q == '*') {
                m = 0, next = q + 1;
            } else if (extended && (*q == '+' || *q == '?')) {
                m = *q == '+' ? 1 : 0, next = q + 1;
            } else if (!extended && q[0] == '\\' && (q[1] == '+' || q[1] == '?')) {
                m = q[1] == '+' ? 1 : 0, next = q + 2;
            } else if ((extended && *q == '{') || (!extended && q[0] == '\\' && q[1] == '{')) {
                const char *body = q + (extended ? 1 : 2);
                next = interval_end(body, extended);
                if (!next)
                    return nullptr; /* the C library reads more forms than
                                     * plain digits: nothing is certain */
                m = *body == ',' ? 0 : strtoul(body, nullptr, 10);
            } else {
                return q;
            }
            /* Repeats of repeats: only "none" and "once" are certain. */
            min = repeated ? (min && m ? 1 : 0) : m;
            repeated = true;
            q = next;
        }
    }

    /* false: the pattern has alternation or cannot be read. */
    bool scan()
    {
        while (*p) {
            /* A repetition with nothing before it to repeat (after a group,
             * an anchor or at the start): skipped whole, its count with it. */
            size_t lead_min;
            bool lead;
            const char *skip = repetitions(p, lead_min, lead);
            if (!skip)
                return false;
            if (lead) {
                close_run();
                p = skip;
                continue;
            }
            atom a;
            char c = *p;
            bool special = extended ? strchr("\\.[]()*+?{}|^$", c) != nullptr : strchr("\\.[*^$", c) != nullptr;
            const char *after = p + 1;
            if (!special) {
                a.literal = static_cast<unsigned char>(c);
            } else if (c == '|') {
                return false;
            } else if (c == '\\') {
                char e = p[1];
                if (e == '\0' || e == '|')
                    return false;
                after = p + 2;
                if (escaped_literal(e)) {
                    a.literal = static_cast<unsigned char>(e);
                } else if (!extended && (e == '(' || e == ')')) {
                    close_run();
                    depth += e == '(' ? 1 : -1;
                    p = after;
                    continue;
                }
                /* else a class such as \w, a word edge, a back-reference or
                 * an operator out of place: an atom of its own. */
            } else if (c == '[') {
                after = bracket(p, a);
                if (!after)
                    return false;
            } else if (extended && (c == '(' || c == ')')) {
                close_run();
                depth += c == '(' ? 1 : -1;
                p = after;
                continue;
            }
            /* '.', anchors, and repetitions with nothing to repeat: atoms
             * that require no text. */
            if (a.literal >= 0 && a.literal < 0x80)
                add_byte(a, static_cast<unsigned char>(a.literal)), a.known = true;
            size_t min;
            bool repeated;
            p = repetitions(after, min, repeated);
            if (!p)
                return false;
            if (a.literal >= 0) {
                run += static_cast<char>(a.literal);
                if (repeated) {
                    /* What follows is no longer next to it; left out, it
                     * goes from the run whole (a multibyte character's
                     * bytes with it). */
                    if (min == 0)
                        drop_last_character(run);
                    close_run();
                }
            } else {
                close_run();
            }
            if (depth == 0 && a.known && min > 0 &&
                (min > cls_min || (min == cls_min && a.set.count() < cls.count()))) {
                cls = a.set;
                cls_min = min;
            }
        }
        close_run();
        return true;
    }
};

} // namespace

size_t msnp_text_rarest(const char *needle, size_t len) {
    size_t at = 0;
    for (size_t i = 1; i < len; ++i)
        if (rarity(static_cast<unsigned char>(needle[i])) > rarity(static_cast<unsigned char>(needle[at])))
            at = i;
    return at;
}

/* The needle is looked for by its rarest byte: a message seldom holds that
 * byte at all, and memchr passes over the rest at memory speed where a
 * general search would look at every position. */
bool msnp_text_holds(const char *hay, size_t size, const char *needle, size_t len, size_t rare) {
    if (len == 0)
        return true;
    if (size < len)
        return false;
    /* The rare byte of a match lies in [rare, size - len + rare]. */
    const char *p = hay + rare;
    const char *last = hay + (size - len) + rare;
    while (p <= last) {
        p = static_cast<const char *>(memchr(p, needle[rare], static_cast<size_t>(last - p) + 1));
        if (!p)
            return false;
        if (memcmp(p - rare, needle, len) == 0)
            return true;
        ++p;
    }
    return false;
}

std::string msnp_expr_required_text(const char *pattern, bool extended) {
    requirement_scan scan(pattern, extended, false);
    return scan.scan() ? scan.best : std::string();
}

bool msnp_text_has_class(const char *hay, size_t size, const uint64_t cls[4], size_t min) {
    size_t found = 0;
    for (size_t i = 0; i < size && found < min; ++i) {
        unsigned char c = static_cast<unsigned char>(hay[i]);
        found += (cls[c >> 6] >> (c & 63)) & 1;
    }
    return found >= min;
}

msnp_expr_node *msnp_expr_node_new(idl_parser *idl, const char *expr) {
    if (!expr)
        return nullptr;
    char *copy = strdup(expr);
    if (!copy)
        return nullptr;
    char *pattern = nullptr;
    char *options = nullptr;
    if (!data_format(copy, '/', &pattern, &options) || !pattern || !*pattern) {
        free(copy);
        return nullptr;
    }
    unsigned type = MSNP_EXPR_SRE;
    unsigned modifier = 0;
    for (const char *opt = options; opt && *opt; ++opt) {
        char lower = (char)tolower((unsigned char)*opt);
        const msnp_expr_node_token *tok = token_by_letter(lower);
        if (!tok) {
            if (idl)
                idl->warn(idl, "Unknown expression option: %c", *opt);
            continue;
        }
        if (is_kind(tok->code))
            type = tok->code;
        else if (*opt == lower)
            modifier |= tok->code;
        else
            modifier &= ~tok->code;
    }
    /* Case-insensitive literal and glob patterns are stored lowered, to
     * compare against lowered text. An expression stays as written: the
     * compiler ignores case itself, and lowering would change what escapes
     * such as \W or \S mean. */
    bool regex_kind = type == MSNP_EXPR_SRE || type == MSNP_EXPR_ERE;
    if ((modifier & MSNP_EXPR_IGNORECASE) && !regex_kind)
        for (char *p = pattern; *p; ++p)
            *p = (char)tolower((unsigned char)*p);

    msnp_expr_node *node = (msnp_expr_node *)calloc(1, sizeof *node);
    if (!node) {
        free(copy);
        return nullptr;
    }
    node->type = type;
    node->modifier = modifier;
    node->literal = strdup(pattern);
    free(copy);
    if (!node->literal) {
        free(node);
        return nullptr;
    }
    if (regex_kind) {
        int flags = REG_NOSUB;
        if (type == MSNP_EXPR_ERE)
            flags |= REG_EXTENDED;
        if (modifier & MSNP_EXPR_IGNORECASE)
            flags |= REG_ICASE;
        if (modifier & MSNP_EXPR_NEWLINE)
            flags |= REG_NEWLINE;
        node->expr = (regex_t *)calloc(1, sizeof(regex_t));
        if (!node->expr || regcomp(node->expr, node->literal, flags) != 0) {
            free(node->expr);
            node->expr = nullptr;
            msnp_expr_node_destroy(node);
            return nullptr;
        }
        requirement_scan scan(node->literal, type == MSNP_EXPR_ERE, (modifier & MSNP_EXPR_IGNORECASE) != 0);
        bool known = scan.scan();
        std::string must = known ? scan.best : std::string();
        if (known && scan.cls_min > 0 && !scan.cls.all()) {
            for (size_t b = 0; b < 256; ++b)
                if (scan.cls.test(b))
                    node->must_class[b >> 6] |= uint64_t{1} << (b & 63);
            node->must_class_min = scan.cls_min;
        }
        /* Looked for in the lowered text of a case-blind match. */
        if (modifier & MSNP_EXPR_IGNORECASE)
            for (char &c : must)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (!must.empty()) {
            node->must = strdup(must.c_str());
            node->must_len = must.size();
            node->must_rare = msnp_text_rarest(must.c_str(), must.size());
        }
    }
    return node;
}

int msnp_add_object_expr_literal(idl_parser *idl, msnp_object_generic *obj, char *literal) {
    if (!obj)
        return 0;
    msnp_expr_node *node = msnp_expr_node_new(idl, literal);
    if (!node) {
        if (idl)
            idl->warn(idl, "Not a valid expression: %s", literal ? literal : "");
        return 1;
    }
    tqlist *nodes = (tqlist *)obj->data;
    tqlist_insert_end(&nodes, node);
    obj->data = nodes;
    return 1;
}

int msnp_del_object_expr_literal(idl_parser *idl, msnp_object_generic *obj, char *literal) {
    if (!obj)
        return 0;
    msnp_expr_node *probe = msnp_expr_node_new(idl, literal);
    if (!probe)
        return 0;
    tqlist *nodes = (tqlist *)obj->data;
    int removed = 0;
    for (tqlist *it = nodes; it; it = it->next) {
        msnp_expr_node *node = (msnp_expr_node *)it->data;
        bool blind = (node->modifier & MSNP_EXPR_IGNORECASE) != 0;
        if (node->type == probe->type && node->modifier == probe->modifier &&
            (blind ? strcasecmp(node->literal, probe->literal) : strcmp(node->literal, probe->literal)) == 0) {
            tqlist_unlink_remove(&nodes, it);
            msnp_expr_node_destroy(node);
            removed = 1;
            break;
        }
    }
    obj->data = nodes;
    msnp_expr_node_destroy(probe);
    return removed;
}

static void destroy_node_void(void *node) {
    msnp_expr_node_destroy((msnp_expr_node *)node);
}

void msnp_destructor_expr(void *data) {
    tqlist *nodes = (tqlist *)data;
    tqlist_destroy(&nodes, destroy_node_void);
}

iks *msnp_encodedata_object_expr(void *data) {
    iks *x = iks_new("data");
    if (!x)
        return nullptr;
    for (tqlist *it = (tqlist *)data; it; it = it->next) {
        const msnp_expr_node *node = (const msnp_expr_node *)it->data;
        iks *e = iks_insert(x, "expr");
        const msnp_expr_node_token *kind = token_by_code(node->type);
        iks_insert_attrib(e, "type", kind ? kind->value : "unknown");
        iks_insert_cdata(e, node->literal, 0);
        for (unsigned bit = 0; bit < 16; ++bit) {
            if (!(node->modifier & (1u << bit)))
                continue;
            const msnp_expr_node_token *mod = token_by_code(1u << bit);
            if (mod)
                iks_insert(e, mod->value);
        }
    }
    return x;
}

char *msnp_decodedata_object_expr(idl_parser *idl, iks *node, size_t size) {
    (void)size;
    if (!msnp_xml_expect_tag(idl, node, "expr"))
        return nullptr;
    const char *text = msnp_xml_entry_text(idl, node);
    if (!text)
        return nullptr;
    const char *type = iks_find_attrib(node, "type");
    const msnp_expr_node_token *kind = type ? token_by_value(type) : token_by_code(MSNP_EXPR_SRE);
    if (!kind || !is_kind(kind->code)) {
        if (idl)
            idl->warn(idl, "Not a valid expr type: %s", type ? type : "");
        return nullptr;
    }
    std::string options(1, kind->opt);
    for (iks *child = iks_child(node); child; child = iks_next(child)) {
        if (iks_type(child) != IKS_TAG)
            continue;
        const msnp_expr_node_token *mod = token_by_value(iks_name(child));
        if (!mod || is_kind(mod->code)) {
            if (idl)
                idl->warn(idl, "Not a valid expr modifier: %s", iks_name(child));
            continue;
        }
        options += mod->opt;
    }
    char *literal = nullptr;
    if (asprintf(&literal, "'/%s/%s'", text, options.c_str()) < 0)
        return nullptr;
    return literal;
}
