/* The management-command parser record. The host fills `args`/`argc` and
 * the user, and receives the module's errors, warnings, events and reply
 * through it. */
#ifndef TQIDL_H
#define TQIDL_H

#include "tqevents_interface.h"
#include "tqlist.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct idl_user {
    char *name;
    int level; /* 0 and 1 may change the policy; higher may only read */
} idl_user;

typedef struct idl_parser idl_parser;

struct idl_parser {
    char **args; /* args[0] the verb, args[1] the rest of the line */
    int argc;

    /* Report an error with its numeric code, or a warning. */
    void (*error)(idl_parser *p, int code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    void (*warn)(idl_parser *p, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    /* Hand an event to the host; the parser takes ownership. `event_first`
     * queues it ahead of the events already gathered. */
    void (*event)(idl_parser *p, event_t *ev);
    void (*event_first)(idl_parser *p, event_t *ev);

    char *data;      /* reply text (malloc'd), owned by the parser */
    int import;      /* set while configuration is loaded: no object events */
    idl_user *user;  /* NULL: no privilege check */

    /* What the default callbacks gathered (see idl_parser_new). */
    int last_code;    /* code of the last error, 0 when none */
    tqlist *errors;   /* char*: "code: message" in order */
    tqlist *warnings; /* char* */
    tqlist *events;   /* event_t* in delivery order */
};

/* A parser whose callbacks gather errors, warnings and events in its lists:
 * `error` stores "CODE: message" (code in decimal) and sets last_code,
 * `warn` stores the message, `event` appends and `event_first` prepends
 * (a NULL event is ignored).
 * `args` and `user` are left for the caller; `user` is owned by the caller. */
idl_parser *idl_parser_new(void);
/* Replaces the reply text with a copy of `text` (NULL clears it). */
void idl_parser_set_data(idl_parser *p, const char *text);
/* Forgets what was gathered and the reply; last_code goes back to 0. */
void idl_parser_clear(idl_parser *p);
/* Frees the gathered lists, the reply and the record; not `args`/`user`. */
void idl_parser_destroy(idl_parser *p);

#ifdef __cplusplus
}
#endif

#endif
