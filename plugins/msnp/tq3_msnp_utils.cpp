/* Connection tracker, identity helpers, statistics blocks and the word
 * helpers handlers use to read and rewrite command lines, and the XML
 * helpers of the object forms. */
#include <iksemel.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tq3_msnp.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_kinds.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_task.h"
#include "tq3_msnp_xml.h"
#include "tqidl.h"

void msnp_statistics_zero(msnp_statistics *statistics) {
    if (statistics)
        memset(statistics, 0, sizeof *statistics);
}

/* ------------------------------------------------------------------ */
/* Word helpers                                                        */
/* ------------------------------------------------------------------ */

char *chunk(task_struct *tstruct, unsigned index)
{
    if (!tstruct || index >= tstruct->data_bpsize)
        return nullptr;
    return tstruct->data_pieces[index];
}

void replace(task_struct *tstruct, int index, char *data)
{
    if (!tstruct || index < 0 || static_cast<size_t>(index) >= tstruct->data_bpsize)
        return;
    tstruct->data_pieces[index] = data;
}

/* The rebuilt line is exactly its bytes, without a NUL after them: what
 * goes out is data_buffer/buffer_size, never a C string. An empty result
 * still gets a (one-byte) allocation so data_buffer is never null. */
void reconstruct(task_struct *tstruct, int delim)
{
    if (!tstruct)
        return;
    size_t n = tstruct->data_bpsize;
    size_t total = 0;
    for (size_t i = 0; i < n; ++i) {
        const char *w = tstruct->data_pieces[i];
        total += (w ? strlen(w) : 0) + (i + 1 < n ? 1 : 0);
    }
    if (delim)
        total += 2;
    char *out = static_cast<char *>(malloc(total ? total : 1));
    if (!out)
        return; /* keep the command as it was rather than lose it */
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        const char *w = tstruct->data_pieces[i];
        size_t len = w ? strlen(w) : 0;
        memcpy(out + at, w ? w : "", len);
        at += len;
        if (i + 1 < n)
            out[at++] = ' ';
    }
    if (delim) {
        out[at++] = '\r';
        out[at++] = '\n';
    }
    msnp_task_set_buffer(tstruct, out, total);
}

/* ------------------------------------------------------------------ */
/* XML helpers                                                         */
/* ------------------------------------------------------------------ */

iks *msnp_xml_child(iks *parent, const char *name)
{
    if (iks_child(parent))
        iks_insert_cdata(parent, "\n", 1);
    return iks_insert(parent, name);
}

void msnp_xml_child_node(iks *parent, iks *child)
{
    if (iks_child(parent))
        iks_insert_cdata(parent, "\n", 1);
    iks_insert_node(parent, child);
}

void msnp_xml_text_child(iks *parent, const char *name, const char *text)
{
    iks_insert_cdata(msnp_xml_child(parent, name), text, 0);
}

int msnp_xml_expect_tag(idl_parser *idl, iks *node, const char *name)
{
    if (node && iks_type(node) == IKS_TAG && strcmp(iks_name(node), name) == 0)
        return 1;
    if (idl)
        idl->warn(idl, "Not a valid node");
    return 0;
}

const char *msnp_xml_first_text(iks *node)
{
    for (iks *child = node ? iks_child(node) : nullptr; child; child = iks_next(child))
        if (iks_type(child) == IKS_CDATA)
            return iks_cdata(child);
    return nullptr;
}

const char *msnp_xml_entry_text(idl_parser *idl, iks *node)
{
    const char *text = msnp_xml_first_text(node);
    if (!text && idl)
        idl->warn(idl, "Entry without data");
    return text;
}

char *msnp_quote_literal(const char *text)
{
    char *literal = nullptr;
    if (asprintf(&literal, "'%s'", text) < 0)
        return nullptr;
    return literal;
}

/* Appends code point `cp` as UTF-8; 0 when it is no character. */
static size_t utf8_encode(unsigned long cp, char *out)
{
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

/* Decodes the reference starting at `ref` (on the '&') into `out`; returns
 * the length of the reference consumed, 0 when it is not one we know. */
static size_t xml_reference(const char *ref, char *out, size_t *outlen)
{
    static const struct {
        const char *name;
        char c;
    } named[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto &n : named) {
        size_t len = strlen(n.name);
        if (strncmp(ref, n.name, len) == 0) {
            out[0] = n.c;
            *outlen = 1;
            return len;
        }
    }
    if (ref[1] != '#')
        return 0;
    int hex = ref[2] == 'x' || ref[2] == 'X';
    const char *digits = ref + (hex ? 3 : 2);
    unsigned long cp = 0;
    const char *p = digits;
    /* Eight digits are more than any character needs; stopping there keeps
     * the value from overflowing. */
    for (; *p && p - digits < 8; ++p) {
        int d;
        if (*p >= '0' && *p <= '9')
            d = *p - '0';
        else if (hex && *p >= 'a' && *p <= 'f')
            d = *p - 'a' + 10;
        else if (hex && *p >= 'A' && *p <= 'F')
            d = *p - 'A' + 10;
        else
            break;
        cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(d);
    }
    if (p == digits || *p != ';')
        return 0;
    *outlen = utf8_encode(cp, out);
    if (*outlen == 0)
        return 0;
    return static_cast<size_t>(p - ref) + 1;
}

char *msnp_xml_unescape(const char *text)
{
    if (!text)
        return nullptr;
    /* Decoding never lengthens: every reference is longer than the bytes
     * it stands for. */
    char *out = static_cast<char *>(malloc(strlen(text) + 1));
    if (!out)
        return nullptr;
    size_t at = 0;
    for (const char *p = text; *p;) {
        size_t produced = 0;
        size_t used = *p == '&' ? xml_reference(p, out + at, &produced) : 0;
        if (used) {
            at += produced;
            p += used;
        } else {
            out[at++] = *p++;
        }
    }
    out[at] = '\0';
    return out;
}

/* ------------------------------------------------------------------ */
/* Reading documents                                                   */
/* ------------------------------------------------------------------ */

namespace {

/* The tree being built by the parser's callbacks. */
struct xml_builder {
    iks *root = nullptr;
    iks *current = nullptr;
    bool done = false; /* the root element closed */
};

int xml_open_or_close(void *user, char *name, char **atts, int type)
{
    auto *b = static_cast<xml_builder *>(user);
    if (type == IKS_OPEN || type == IKS_SINGLE) {
        if (b->done)
            return IKS_BADXML; /* a second top-level element */
        iks *x = b->current ? iks_insert(b->current, name) : iks_new(name);
        if (!x)
            return IKS_NOMEM;
        if (!b->root)
            b->root = x;
        for (char **a = atts; a && a[0] && a[1]; a += 2)
            iks_insert_attrib(x, a[0], a[1]);
        b->current = x;
    }
    if (type == IKS_CLOSE || type == IKS_SINGLE) {
        if (!b->current || strcmp(iks_name(b->current), name) != 0)
            return IKS_BADXML; /* a close tag that closes nothing open */
        b->current = b->current == b->root ? nullptr : iks_parent(b->current);
        b->done = b->current == nullptr;
    }
    return IKS_OK;
}

int xml_text(void *user, char *data, size_t len)
{
    auto *b = static_cast<xml_builder *>(user);
    if (b->current && !iks_insert_cdata(b->current, data, len))
        return IKS_NOMEM;
    return IKS_OK;
}

} // namespace

iks *msnp_xml_parse(const char *text, size_t len, int *err)
{
    int e = IKS_BADXML;
    iks *doc = nullptr;
    xml_builder b;
    iksparser *prs = text ? iks_sax_new(&b, xml_open_or_close, xml_text) : nullptr;
    if (prs) {
        e = iks_parse(prs, text, len, 1);
        iks_parser_delete(prs);
        if (e == IKS_OK && !b.done)
            e = IKS_BADXML; /* no element, or one left open */
        if (e == IKS_OK)
            doc = b.root;
        else if (b.root)
            iks_delete(b.root);
    }
    if (err)
        *err = e;
    return doc;
}
