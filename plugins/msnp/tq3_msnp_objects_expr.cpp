/* Expression objects: lists of content patterns. A literal reads
 * "/pattern/options"; the option letters pick the kind (plain text, basic
 * or extended POSIX expression, shell glob), modifiers and the scopes of
 * the message the pattern applies to. */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tq3_msnp.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_xml.h"
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
 * a fraction of the expression's cost. Only what is certain counts: no
 * alternation anywhere, runs outside groups and bracket expressions, and a
 * run's last character left out when something may follow it that makes
 * it optional or repeated. */
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
    std::string best, run;
    int depth = 0;
    auto close_run = [&](const char *next) {
        /* What may follow a run and leave its last character whole. */
        if (!run.empty() && !(*next == '\0' || strchr("$[(.^", *next)))
            run.pop_back();
        if (depth == 0 && run.size() > best.size())
            best = run;
        run.clear();
    };
    for (const char *p = pattern; *p;) {
        char c = *p;
        if (c == '|')
            return "";
        if (!strchr("\\.[]()*+?{}^$", c)) {
            run += c;
            ++p;
            continue;
        }
        close_run(p);
        if (c == '\\') {
            char e = p[1];
            if (e == '\0' || e == '|')
                return "";
            if (!extended && e == '(')
                ++depth;
            else if (!extended && e == ')')
                --depth;
            p += 2;
        } else if (c == '[') {
            /* A bracket expression: its first ']' (after an optional '^')
             * is a member, and [: :], [= =], [. .] hold their own. */
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
                        return "";
                    q = end + 2;
                } else {
                    ++q;
                }
            }
            if (!*q)
                return "";
            p = q + 1;
        } else {
            if (extended && c == '(')
                ++depth;
            else if (extended && c == ')')
                --depth;
            ++p;
        }
    }
    close_run("");
    return best;
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
    /* Case-insensitive patterns are stored lowered so that literal and glob
     * matching can compare against lowered text. */
    if (modifier & MSNP_EXPR_IGNORECASE)
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
    if (type == MSNP_EXPR_SRE || type == MSNP_EXPR_ERE) {
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
        std::string must = msnp_expr_required_text(node->literal, type == MSNP_EXPR_ERE);
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
        if (node->type == probe->type && node->modifier == probe->modifier &&
            strcmp(node->literal, probe->literal) == 0) {
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
