/* Generic policy objects: time windows, expressions, IM type sets and
 * object sets, with their literals, inclusions and weak references. */
#ifndef TQ3_MSNP_OBJECTS_GENERIC_H
#define TQ3_MSNP_OBJECTS_GENERIC_H

#include <string>

#include <iksemel.h>
#include <regex.h>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tqidl.h"
#include "tqtable.h"

struct msnp_object_generic {
    msnp_object_type type;
    char *ident;
    char *description;
    tqlist *backref;   /* msnp_relates* listing this object */
    tqlist *sibs;      /* included objects of the same kind */
    tqlist *sibsref;   /* objects including this one */
    tqtable *weak;     /* awaited included names -> copy */
    tqtable *objtable; /* the registry table of the kind */
    void (*destructor)(void *data);
    char *(*decodedata)(idl_parser *idl, iks *node, size_t size);
    iks *(*encodedata)(void *data);
    int (*del_literal)(idl_parser *idl, msnp_object_generic *obj, char *literal);
    int (*add_literal)(idl_parser *idl, msnp_object_generic *obj, char *literal);
    int (*move)(idl_parser *idl, msnp_object_generic *obj, int src, int dst);
    int (*modify)(idl_parser *idl, msnp_object_generic *obj, char **args);
    int wdirty;
    void *data;
};

typedef msnp_object_generic msnp_object_time;
typedef msnp_object_generic msnp_object_expr;
typedef msnp_object_generic msnp_object_imbitmap;
typedef msnp_object_generic msnp_object_object;

typedef struct satime {
    int month_week;
    int hour_start, hour_end;
    int minute_start, minute_end;
} satime;

typedef struct msnp_time_node {
    unsigned type; /* 0 relative, 1 absolute */
    union {
        struct {
            time_t start, end;
        } abs;
        satime rel;
    } time;
} msnp_time_node;

typedef struct msnp_time_token {
    const char *name;
    unsigned month_week;
} msnp_time_token;

/* Expression node kinds (upper bits of `type`) and modifiers and scopes
 * (bits of `modifier`). */
#define MSNP_EXPR_LITERAL 0x10000u
#define MSNP_EXPR_SRE 0x20000u
#define MSNP_EXPR_ERE 0x40000u
#define MSNP_EXPR_GLOB 0x80000u
#define MSNP_EXPR_KIND_MASK 0xFFFF0000u
#define MSNP_EXPR_IGNORECASE 0x1u
#define MSNP_EXPR_NEWLINE 0x2u
#define MSNP_EXPR_INVERSE 0x4u
#define MSNP_EXPR_BODY 0x8u
#define MSNP_EXPR_HEADER 0x10u
#define MSNP_EXPR_FILENAME 0x20u
#define MSNP_EXPR_RAW 0x40u

typedef struct msnp_expr_node {
    unsigned type;     /* kind code */
    unsigned modifier; /* modifier and scope bits */
    char *literal;
    regex_t *expr;     /* compiled for sre/ere, else NULL */
    char *must;        /* text every match of `expr` contains, or NULL */
    size_t must_len;
    size_t must_rare;  /* the position of its byte least common in chat */
    uint64_t must_class[4]; /* bytes of which every match of `expr` holds */
    size_t must_class_min;  /* at least this many (0: no such class) */
} msnp_expr_node;

/* Whether `node` matches the `size` bytes of text at `subject` (NUL at
 * subject[size]), as the message filter asks it; inversion is the
 * caller's. */
bool msnp_expr_node_matches(const msnp_expr_node *node, const char *subject, size_t size);
/* The longest run of plain characters that every match of the POSIX
 * expression `pattern` must contain ("" when none can be told). */
std::string msnp_expr_required_text(const char *pattern, bool extended);
/* The position in `needle` of the byte least common in chat text. */
size_t msnp_text_rarest(const char *needle, size_t len);
/* Whether the `size` bytes at `hay` hold the `len` bytes of `needle`,
 * looked for by the byte at `rare` (msnp_text_rarest). */
bool msnp_text_holds(const char *hay, size_t size, const char *needle, size_t len, size_t rare);
/* Whether the `size` bytes at `hay` hold at least `min` bytes of the class
 * `cls` (a bit per byte value). */
bool msnp_text_has_class(const char *hay, size_t size, const uint64_t cls[4], size_t min);

typedef struct msnp_expr_node_token {
    unsigned code;
    const char *value;
    char opt;
} msnp_expr_node_token;

typedef struct msnp_expr_type_refs {
    unsigned body, header, raw, fname;
} msnp_expr_type_refs;

typedef struct msnp_imbitmap_node {
    unsigned com_type;
    unsigned msg_type;
    unsigned inv_type;
    unsigned dct_type;
} msnp_imbitmap_node;

/* Destroys every object of a generic-object table. */
void msnp_collect_all_from_generic_table(idl_parser *idl, tqtable *generic);

/* Table lookups; unlocked when `mask` holds the kind's bit. */
msnp_object_generic *msnp_search_time(const char *ident, int mask);
msnp_object_generic *msnp_search_expr(const char *ident, int mask);
msnp_object_generic *msnp_search_imbitmap(const char *ident, int mask);
msnp_object_generic *msnp_search_object(const char *ident, int mask);
int msnp_add_object_generic(idl_parser *idl, msnp_object_generic *dest, msnp_object_generic *orig);
int msnp_add_object_generic_weak(idl_parser *idl, msnp_object_generic *obj, const char *weak);
int msnp_destroy_object_generic(idl_parser *idl, msnp_object_generic *obj, int lock);
iks *msnp_serialize_object_generic(msnp_object_generic *obj);

/* The registry table of a kind (NULL for non-generic kinds) and its
 * element name ("unknown" for non-generic kinds). */
tqtable *msnp_generic_kind_table(msnp_object_type type);
const char *msnp_generic_kind_name(msnp_object_type type);
/* Builds the object from `generic` (which it empties: name, data and
 * description move over), enters it into the kind's table, resolves weak
 * inclusions waiting for it and adds each text of `args`. */
msnp_object_generic *msnp_new_object_generic(idl_parser *idl, msnp_object_generic *generic, char **args);
msnp_object_generic *msnp_new_object_time(idl_parser *idl, const char *name, char **args);
msnp_object_generic *msnp_new_object_expr(idl_parser *idl, const char *name, char **args);
msnp_object_generic *msnp_new_object_imbitmap(idl_parser *idl, const char *name, char **args);
msnp_object_generic *msnp_new_object_object(idl_parser *idl, const char *name, char **args);
int msnp_del_object_generic(idl_parser *idl, msnp_object_generic *obj, msnp_object_generic *ref);
int msnp_del_object_generic_weak(idl_parser *idl, msnp_object_generic *obj, const char *weak);
int msnp_resolve_weaks_object_generic(idl_parser *idl, msnp_object_generic *obj);
int msnp_rename_object_generic(idl_parser *idl, msnp_object_generic *obj, const char *newname,
                               const char *desc);
msnp_object_generic *msnp_deserialize_object_generic(idl_parser *idl, iks *node);
/* Object-data event with the object's XML (nothing without a parser or
 * while importing). */
void msnp_event_object_generic_data(idl_parser *idl, msnp_object_generic *obj);
/* Visits an object once per search: false when `visited` holds it
 * already, else it goes in. */
inline bool msnp_first_visit(tqlist **visited, void *object)
{
    if (tqlist_search_ref(*visited, object))
        return false;
    tqlist_insert_begin(visited, object);
    return true;
}
/* Whether a search through included objects should look at `obj` now. One
 * that includes others is looked at once per search, which also ends
 * inclusion cycles; one that includes none is a plain test, cheaper to
 * repeat than to remember (remembering costs an allocation). */
inline bool msnp_first_look(tqlist **visited, msnp_object_generic *obj)
{
    return !obj->sibs || msnp_first_visit(visited, obj);
}
/* TQ_MATCH_PASS when a listed IM bitmap, or one it includes, shares a bit
 * with `bitmap`; the task's lda_temp collects the visited sets that
 * include others. */
match_t search_imbitmap_for_message_type(task_struct *_tstruct, tqlist *maps, unsigned bitmap);
match_t search_imbitmap_for_invitation_type(task_struct *_tstruct, tqlist *maps, unsigned bitmap);
match_t search_imbitmap_for_datacast_type(task_struct *_tstruct, tqlist *maps, unsigned bitmap);
match_t search_imbitmap_for_command_type(task_struct *_tstruct, tqlist *maps, unsigned bitmap);

/* Time windows. Tokens name month bits (1 << month, January 0) and weekday
 * bits (0x10000 << weekday, Sunday 0); the table ends with a NULL name. */
extern "C" const msnp_time_token msnp_time_tokens[];
/* A window from a literal ("days@H:MM-H:MM" relative, "start-end" absolute
 * seconds), newly allocated, or NULL when unparsable. */
msnp_time_node *msnp_object_time_node_from_spec(const char *spec);
/* Names of the tokens whose value equals a set bit, bit 0 first, joined by
 * ","; new text ("" for none). */
char *msnp_encode_time_bitmap(unsigned bits);
int msnp_add_object_time_literal(idl_parser *idl, msnp_object_generic *obj, char *literal);
int msnp_del_object_time_literal(idl_parser *idl, msnp_object_generic *obj, char *literal);
iks *msnp_encodedata_object_time(void *data);
char *msnp_decodedata_object_time(idl_parser *idl, iks *node, size_t size);
/* 1 when the window holds `when` (local time for relative windows; start
 * and end minutes inclusive, no wrap past midnight). */
int msnp_time_node_match(const msnp_time_node *node, time_t when);
/* 1 when any window of the list (msnp_time_node*) holds `when`. */
int msnp_time_list_match(const tqlist *windows, time_t when);

/* Expressions. */
extern "C" const msnp_expr_node_token msnp_expr_node_tokens[];
/* A node from "/pattern/options", or NULL (no pattern, bad expression). */
msnp_expr_node *msnp_expr_node_new(idl_parser *idl, const char *expr);
void msnp_expr_node_destroy(msnp_expr_node *node);
int msnp_add_object_expr_literal(idl_parser *idl, msnp_object_generic *obj, char *literal);
int msnp_del_object_expr_literal(idl_parser *idl, msnp_object_generic *obj, char *literal);
iks *msnp_encodedata_object_expr(void *data);
char *msnp_decodedata_object_expr(idl_parser *idl, iks *node, size_t size);
void msnp_destructor_expr(void *data);

/* IM bitmaps. */
int msnp_add_object_imbitmap_literal(idl_parser *idl, msnp_object_generic *obj, char *literal);
int msnp_del_object_imbitmap_literal(idl_parser *idl, msnp_object_generic *obj, char *literal);
iks *msnp_encodedata_object_imbitmap(void *data);
char *msnp_decodedata_object_imbitmap(idl_parser *idl, iks *node, size_t size);
void msnp_destructor_imbitmap(void *data);

#endif
