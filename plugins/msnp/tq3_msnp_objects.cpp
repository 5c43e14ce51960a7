/* Policy objects: object kinds and names, the registry, persons and their
 * run-time users.
 *
 * Ownership: the registry owns every person; a person owns its strings, its
 * compiled contact pattern, its weak-relation table and its back-reference
 * lists (not the objects they point at). A run-time user belongs to its
 * person and is reference counted. */
#include <arpa/inet.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "tq3_msnp.h"

/* ------------------------------------------------------------------ */
/* Events and object kinds                                             */
/* ------------------------------------------------------------------ */

void msnp_event_object_new(idl_parser *idl, iks *xml)
{
    if (idl && !idl->import && idl->event && xml) {
        event_t *ev = tqevents_shortcut_object_new(xml);
        if (ev)
            idl->event(idl, ev);
    }
    if (xml)
        iks_delete(xml);
}

void msnp_event_object_data(idl_parser *idl, iks *xml)
{
    if (idl && !idl->import && idl->event && xml) {
        event_t *ev = tqevents_shortcut_object_data(xml);
        if (ev)
            idl->event(idl, ev);
    }
    if (xml)
        iks_delete(xml);
}

extern "C" const msnp_object msnp_objects[] = {
    {"person", MSNP_OBJECT_PERSON},
    {"group", MSNP_OBJECT_GROUP},
    {"node", MSNP_OBJECT_NODE},
    {"time", MSNP_OBJECT_TIME},
    {"expr", MSNP_OBJECT_EXPR},
    {"imbitmap", MSNP_OBJECT_IMBITMAP},
    {"object", MSNP_OBJECT_OBJECT},
    {"", MSNP_OBJECT_NONE},
};

const msnp_object *msnp_object_search_symbol(const char *name)
{
    const msnp_object *row = msnp_objects;
    for (; row->type != MSNP_OBJECT_NONE; ++row)
        if (name && strcmp(row->name, name) == 0)
            break;
    return row;
}

const msnp_object *msnp_object_search_type(msnp_object_type type)
{
    const msnp_object *row = msnp_objects;
    for (; row->type != MSNP_OBJECT_NONE; ++row)
        if (row->type == type)
            break;
    return row;
}

/* Letters are ASCII letters only: names travel in XML and on command lines
 * and must not change meaning with the host's locale. */
static int symbol_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char msnp_object_symbol(const char *sym)
{
    if (!sym)
        return 1; /* no text is never a name */
    if (!symbol_letter(sym[0]))
        return sym[0]; /* the empty text gives 0: it passes */
    for (const char *p = sym + 1; *p; ++p)
        if (!symbol_letter(*p) && !(*p >= '0' && *p <= '9') && *p != '_')
            return *p;
    return 0;
}
