/* What every file of the MSNP policy module shares: the host's interface,
 * the names of the module's records, and the configuration and the clock
 * every decision reads.
 *
 * Data flow: the host hands each relayed chunk to msnp_tasklet, the
 * decoupler cuts it into whole commands, the dispatcher finds each command
 * in the command table and runs the handler of the chunk's direction, the
 * handler asks the policy matcher, and the verdicts decide which commands go
 * back into the I/O vector. Policy objects live in the registry `ents`.
 * Each subsystem declares its records and operations in its own header
 * beside its sources (tq3_msnp_task.h, tq3_msnp_objects.h, ...).
 *
 * Records keep the C shape the host and the management layer rely on
 * (plain fields, owned NUL-terminated char* texts, tqlist/tqtable
 * containers); records that embed C++ locks are created with new and
 * destroyed with delete by their own constructors and destructors. */
#ifndef TQ3_MSNP_H
#define TQ3_MSNP_H

#include <time.h>

typedef struct task_struct task_struct;
typedef struct msnp_person msnp_person;
typedef struct msnp_user msnp_user;
typedef struct msnp_group msnp_group;
typedef struct msnp_relates msnp_relates;
typedef struct msnp_rtree msnp_rtree;
typedef struct msnp_object_generic msnp_object_generic;
typedef struct msnp_conntrack msnp_conntrack;
typedef struct msnp_entities msnp_entities;

typedef enum msnp_object_type {
    MSNP_OBJECT_NONE = 0,
    MSNP_OBJECT_PERSON = 1,
    MSNP_OBJECT_NODE = 2,
    MSNP_OBJECT_GROUP = 4,
    MSNP_OBJECT_TIME = 8,
    MSNP_OBJECT_IMBITMAP = 16,
    MSNP_OBJECT_EXPR = 32,
    MSNP_OBJECT_OBJECT = 64
} msnp_object_type;

typedef enum msnp_person_type {
    PERSON_NONE = 0,
    PERSON_SUPER = 1,
    PERSON_CONTACT = 2,
    PERSON_USER = 3
} msnp_person_type;

/* Configuration variables by name, read at the moment of use: the text of a
 * string variable (owned by the host), or the integer value; `def` when
 * absent. */
const char *msnp_get_var(const char *key, const char *def);
long msnp_get_var_long(const char *key, long def);
/* The module's clock: time() unless a test set another source. Every
 * decision that depends on the time of day reads it through here. */
time_t msnp_now(void);
void msnp_set_clock(time_t (*clock)(void));

#endif
