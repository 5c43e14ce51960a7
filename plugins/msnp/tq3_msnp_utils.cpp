/* Connection tracker, identity helpers, statistics blocks and the word
 * helpers handlers use to read and rewrite command lines, and the XML
 * helpers of the object forms. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tq3_msnp.h"

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
    free(tstruct->data_buffer);
    tstruct->data_buffer = out;
    tstruct->buffer_size = total;
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
