/* Host variables: typed values kept by name in a module's namespace table.
 * Integer variables are changed atomically so that counters need no lock. */
#ifndef VARIABLES_H
#define VARIABLES_H

#include "tqtable.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    VARIABLE_STRING = 1,
    VARIABLE_INTEGER = 2,
    VARIABLE_FLOAT = 4,
    VARIABLE_STATISTIC = 0x20000
};

typedef struct tq_variable {
    unsigned flags;
    char *name;
    union {
        char *text;    /* VARIABLE_STRING, owned */
        long integer;  /* VARIABLE_INTEGER, change with variable_add */
        double real;   /* VARIABLE_FLOAT */
    } data;
} tq_variable;

/* Creates or replaces the variable named by `spec`. A spec "i/NAME" makes an
 * integer, "f/NAME" a float, "s/NAME" or a bare NAME a string; `value` is
 * parsed accordingly: a number is the whole text in base 10, blanks around
 * it allowed; anything else, or a value out of range, gives 0. Any other
 * "X/" prefix is part of the name. A NULL string value is stored as "".
 * Replacing keeps the record (so held references stay valid) and changes
 * type and value; VARIABLE_STATISTIC and other non-type flags are kept.
 * Replacing a string value frees the old text: a reader that may run
 * beside a variable_set reads through variable_text_copy and
 * variable_read_int, never the record's fields.
 * Returns the variable, or NULL for an empty name. Takes the table's lock. */
tq_variable *variable_set(tqtable *ns, const char *spec, const char *value);
/* Looks up NAME (locking). */
tq_variable *variable_get(tqtable *ns, const char *name);
/* Integer value: the integer, a float truncated, a string read as a decimal
 * number (same rules as variable_set); `def` when the variable is NULL or
 * its text is not a number. A float out of the range of long is clamped. */
long variable_convert_to_int(const tq_variable *var, long def);
/* A copy (malloc'ed) of a string variable's text, read under the table's
 * lock; NULL when `var` is not a string. */
char *variable_text_copy(tqtable *ns, const tq_variable *var);
/* variable_convert_to_int, safe beside a concurrent variable_set: an
 * integer is read without a lock, any other type under the table's. */
long variable_read_int(tqtable *ns, const tq_variable *var, long def);
/* Atomically adds `delta` to an integer variable; returns the new value
 * (wrapping around on overflow). Other types are left alone and give 0. */
long variable_add(tq_variable *var, long delta);
/* Text form of the value, newly allocated: "%ld" for integers, the
 * shortest text that reads back as the same double for floats, the text
 * for strings. NULL for a NULL variable. */
char *variable_to_string(const tq_variable *var);
void variable_destroy(void *var);
/* Changes whenever a variable is created, destroyed or set anywhere (not
 * when a counter moves): a reader that remembered a lookup, its miss or a
 * copy of a value under one generation may use it for as long as the
 * generation stays the same. */
unsigned long variables_generation(void);

#ifdef __cplusplus
}
#endif

#endif
