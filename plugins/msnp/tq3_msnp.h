/* Shared types of the MSNP policy module: the command table, the policy
 * records and the registry, the connection tracker, and the entry points.
 *
 * Data flow: the host hands each relayed chunk to msnp_tasklet, the
 * decoupler cuts it into whole commands, the dispatcher finds each command
 * in the command table and runs the handler of the chunk's direction, the
 * handler asks the policy matcher, and the verdicts decide which commands go
 * back into the I/O vector. Policy objects live in the registry `ents`.
 * Each subsystem declares its operations in its own header beside its
 * sources (tq3_msnp_dispatcher.h, tq3_msnp_objects.h, ...).
 *
 * Records keep the C shape the host and the management layer rely on
 * (plain fields, owned NUL-terminated char* texts, tqlist/tqtable
 * containers); records that embed C++ locks are created with new and
 * destroyed with delete by their own constructors and destructors. */
#ifndef TQ3_MSNP_H
#define TQ3_MSNP_H

#include <pthread.h>
#include <regex.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <iksemel.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <shared_mutex>
#include <string>
#include <unordered_set>

#include "tqconn.h"
#include "tqidl.h"
#include "tqlist.h"
#include "tqtable.h"
#include "trevalquin_plugin.h"

struct msnp_message;
struct msnp_indexes;

typedef enum msnp_opcode {
    MSN_OPCODE_ACK = 0, MSN_OPCODE_ADC, MSN_OPCODE_ADD, MSN_OPCODE_ADG, MSN_OPCODE_ADL,
    MSN_OPCODE_ANS, MSN_OPCODE_BLP, MSN_OPCODE_BPR, MSN_OPCODE_BYE, MSN_OPCODE_CAL,
    MSN_OPCODE_CHG, MSN_OPCODE_CHL, MSN_OPCODE_CVQ, MSN_OPCODE_CVR, MSN_OPCODE_FIL,
    MSN_OPCODE_FLN, MSN_OPCODE_FQY, MSN_OPCODE_GCF, MSN_OPCODE_GSB, MSN_OPCODE_GTC,
    MSN_OPCODE_ILN, MSN_OPCODE_INF, MSN_OPCODE_IPG, MSN_OPCODE_IRO, MSN_OPCODE_JOI,
    MSN_OPCODE_LKP, MSN_OPCODE_LSG, MSN_OPCODE_LST, MSN_OPCODE_MSG, MSN_OPCODE_NAK,
    MSN_OPCODE_NLN, MSN_OPCODE_NOT, MSN_OPCODE_OUT, MSN_OPCODE_PAG, MSN_OPCODE_PGD,
    MSN_OPCODE_PNG, MSN_OPCODE_PRP, MSN_OPCODE_QNG, MSN_OPCODE_QRY, MSN_OPCODE_REA,
    MSN_OPCODE_REG, MSN_OPCODE_REM, MSN_OPCODE_RFS, MSN_OPCODE_RMG, MSN_OPCODE_RML,
    MSN_OPCODE_RNG, MSN_OPCODE_SBS, MSN_OPCODE_SBP, MSN_OPCODE_SDC, MSN_OPCODE_SND,
    MSN_OPCODE_SYN, MSN_OPCODE_TFR, MSN_OPCODE_UBM, MSN_OPCODE_UBN, MSN_OPCODE_UBX,
    MSN_OPCODE_URL, MSN_OPCODE_USR, MSN_OPCODE_UUM, MSN_OPCODE_UUN, MSN_OPCODE_UUX,
    MSN_OPCODE_VER, MSN_OPCODE_XFR,
    MSN_OPCODE_UNKNOWN /* 62: anything else, and the table's end marker */
} msnp_opcode;

typedef enum msnp_optype {
    MSNP_OPTYPE_NONE = 0,
    MSNP_OPTYPE_NEEDUSER = 1,     /* only once the connection has its tracker */
    MSNP_OPTYPE_SAFE_EXPLODE = 2, /* the handler gets the line cut into words */
    MSNP_OPTYPE_OFFSET = 4        /* payload command: the line names a length */
} msnp_optype;

#define MSNP_MAX_WORDS 64

typedef struct task_struct {
    tqconn *conn;
    char *safe_buffer;                /* word-cut copy for a command whose words are cut, else NULL */
    char *data_buffer;                /* the bytes that go out on pass */
    int data_lent;                    /* data_buffer lies in the chunk's decoupled copy: not the task's to free */
    char *data_pieces[MSNP_MAX_WORDS];/* words of safe_buffer, NULL after last */
    size_t buffer_size;
    size_t data_bpsize;               /* number of words (0 when not cut) */
    msnp_opcode opcode;
    struct msnp_message *message;     /* parsed payload, set by message handlers */
    tq3_module *self;
    risk_t risk_level;
    tqlist *lda_groups, *lda_supers, *lda_objects, *lda_temp; /* matcher scratch */
} task_struct;

typedef match_t (*msnp_handler)(task_struct *tstruct);

typedef struct msnp_table {
    char strcmd[4];
    msnp_opcode opcode;
    unsigned optype;            /* msnp_optype bits */
    msnp_handler handler[2];    /* indexed by conn_direction */
} msnp_table;

extern "C" const msnp_table ltable[MSN_OPCODE_UNKNOWN + 1];

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

/* Every kind of message, invitation and datacast, once, in the bit order
 * of its code (the first kind has code 0, the k-th 1 << (k-1)): the enums
 * of codes, the counter groups of the statistics blocks and the message
 * handler's counters are made from these lists. X(A, NAME, word, MORE):
 * NAME ends the code's enumerator, word names its counters (with '-' for
 * '_'), MORE the groups that follow the kind's own (BYTES: its bytes). */
#define MSNP_MESSAGE_KIND_LIST(X, A)                                                                    \
    X(A, UNKNOWN, unknown, NONE) X(A, TEXTPLAIN, textplain, BYTES) X(A, EMOTICON, emoticon, NONE)        \
    X(A, DATACAST, datacast, NONE) X(A, P2P, p2p, NONE) X(A, CLIENTCAPS, clientcaps, NONE)               \
    X(A, CONTROL, control, NONE) X(A, PROFILE, profile, NONE)                                            \
    X(A, INIMAILNOTIFICIATION, inimailnotification, NONE) X(A, MAILNOTIFICATION, mailnotification, NONE) \
    X(A, INVITE, invite, NONE) X(A, SYSTEMMESSAGE, systemmessage, NONE)                                  \
    X(A, MAILACTIVENOTIFICATION, mailactivenotification, NONE) X(A, INK, ink, NONE)                      \
    X(A, TEXTSECWAY, textsecway, NONE)
#define MSNP_INVITE_KIND_LIST(X, A)                                                                     \
    X(A, UNKNOWN, unknown, NONE) X(A, FILETRANSFER, filetransfer, NONE) X(A, PICTURE, picture, NONE)     \
    X(A, VOICE, voice, NONE) X(A, WHITEBOARD, whiteboard, NONE) X(A, NETMEETING, netmeeting, NONE)       \
    X(A, APPLICATIONSHARING, applicationsharing, NONE) X(A, FOLDERSHARING, foldersharing, NONE)          \
    X(A, RDESKTOP, rdesktop, NONE) X(A, WEBCAM, webcam, NONE) X(A, FOTOSHOW, fotoshow, NONE)             \
    X(A, BALDURGATE, baldurgate, NONE) X(A, MECHWARRIOR, mechwarrior, NONE)                              \
    X(A, JEDIKNIGHT, jediknight, NONE) X(A, EUROPEAN_AIR_WAR, european_air_war, NONE)                    \
    X(A, DEEP_SPACE9, deep_space9, NONE) X(A, CRIMSON_SKIES, crimson_skies, NONE)                        \
    X(A, CRIMSON_SKIES_TRIAL, crimson_skies_trial, NONE) X(A, AGE_OF_EMPIRES2, age_of_empires2, NONE)    \
    X(A, PHOTOS, photos, NONE)
#define MSNP_DATACAST_KIND_LIST(X, A) \
    X(A, UNKNOWN, unknown, NONE) X(A, WINK, wink, NONE) X(A, NUDGE, nudge, NONE) X(A, ACTION, action, NONE)

/* Per-person and per-connection verdict counters: for every group four
 * counters stats_<group>_none/_pass/_block/_alert, then chat_time. A
 * group is a kind of the lists above in one direction. */
#define MSNP_KIND_GROUP_MORE_NONE(G, g)
#define MSNP_KIND_GROUP_MORE_BYTES(G, g) G(g##_bytes)
#define MSNP_KIND_GROUP_message_out(G, NAME, w, MORE) G(message_out_##w) MSNP_KIND_GROUP_MORE_##MORE(G, message_out_##w)
#define MSNP_KIND_GROUP_message_in(G, NAME, w, MORE) G(message_in_##w) MSNP_KIND_GROUP_MORE_##MORE(G, message_in_##w)
#define MSNP_KIND_GROUP_invite_out(G, NAME, w, MORE) G(invite_out_##w)
#define MSNP_KIND_GROUP_invite_in(G, NAME, w, MORE) G(invite_in_##w)
#define MSNP_KIND_GROUP_datacast_out(G, NAME, w, MORE) G(datacast_out_##w)
#define MSNP_KIND_GROUP_datacast_in(G, NAME, w, MORE) G(datacast_in_##w)
#define MSNP_STATISTICS_GROUPS(G)                                                                      \
    MSNP_MESSAGE_KIND_LIST(MSNP_KIND_GROUP_message_out, G) MSNP_MESSAGE_KIND_LIST(MSNP_KIND_GROUP_message_in, G) \
    MSNP_INVITE_KIND_LIST(MSNP_KIND_GROUP_invite_out, G) MSNP_INVITE_KIND_LIST(MSNP_KIND_GROUP_invite_in, G)     \
    MSNP_DATACAST_KIND_LIST(MSNP_KIND_GROUP_datacast_out, G)                                                    \
    MSNP_DATACAST_KIND_LIST(MSNP_KIND_GROUP_datacast_in, G)

#define MSNP_STATISTICS_FIELDS(g) \
    unsigned long stats_##g##_none, stats_##g##_pass, stats_##g##_block, stats_##g##_alert;

typedef struct msnp_statistics {
    MSNP_STATISTICS_GROUPS(MSNP_STATISTICS_FIELDS)
    unsigned long chat_time;
} msnp_statistics;

typedef struct msnp_user msnp_user;

typedef struct msnp_person {
    tqlist *contactl;             /* msnp_relates*: own relations */
    msnp_object_type object_type; /* MSNP_OBJECT_PERSON */
    char *ident;
    char *description;
    char *handle;
    msnp_person_type type;        /* beside the handle: matching reads both */
    regex_t *re_handle;           /* compiled contact pattern, or NULL */
    char *friendly;
    int fixed_friendly;
    int no_warnings;
    int no_logs;
    int force_logs;
    int no_inimailnot;
    int no_actmailnot;
    int no_mailnot;
    int disabled;
    int bounty_initial;
    int bounty_life;
    unsigned long last_login;
    char *ver_system_lower, *ver_system_upper;
    char *ver_client_lower, *ver_client_upper;
    msnp_statistics stats;
    tqlist *supers;               /* msnp_person* */
    tqtable *weak;                /* name -> tqlist of char* (name, words...) */
    unsigned wdirty;
    tqlist *group_backref;        /* msnp_group_member* */
    tqlist *relation_backref;     /* msnp_relates* pointing here */
    tqlist *supers_backref;       /* msnp_person* naming this one as super */
    tqlist *rtree_backref;        /* msnp_rtree* holding this person */
    msnp_user *user;
    char *pmm;
    char *psm;
    char *fixed_state;
    char *fixed_privacy;
    char *auto_reply;
    char *username;
    uint32_t source_addr, source_mask; /* network order; both 0: any */
    risk_t risk_level;
} msnp_person;

struct msnp_user {
    std::recursive_mutex log_lock; /* guards log_file */
    msnp_person *person;
    FILE *log_file;
    uint64_t log_opened;           /* log_file's rank in opening order */
    unsigned user_ref;
    time_t guest_time;
    time_t guest_grace;
    int welcomed;
    int bounty_initial;
    int bounty_current;
    int bounty_life;
    int bounty_lifecur;
    tqtable *user_codes;
    tqlist *contacts;
    /* The handles in `contacts`: a contact list of thousands is learnt
     * without a walk of the list per contact. */
    std::unordered_set<std::string> contact_set;
    int master;
};

typedef struct msnp_group {
    char *ident;
    char *description;
    unsigned size;
    tqlist *glist;            /* msnp_group_member* in order */
    tqtable *weak;            /* name -> copy of name */
    unsigned wdirty;
    tqlist *group_backref;    /* msnp_group_member* holding this group */
    tqlist *relation_backref; /* msnp_relates* pointing here */
    unsigned patterns;        /* members that are contact persons */
    unsigned subgroups;       /* members that are groups */
    /* Whether a contact person is anywhere below, as of membership change
     * number `below_change` (0: not known); the matcher keeps it. */
    std::atomic<uint64_t> below_change;
    std::atomic<unsigned> below_patterns;
} msnp_group;

/* Counts changes of group memberships; starts at 1. */
uint64_t msnp_group_changes(void);
void msnp_group_changed(void);

typedef struct msnp_group_member {
    msnp_object_type type;    /* PERSON or GROUP */
    void *member;
    msnp_group *back;
    int pattern;              /* the member is a contact person (mirrors its
                               * type, so matching needs to read only the
                               * persons whose pattern it must test) */
} msnp_group_member;

/* The fields every decision tests come first: one cache line decides
 * whether a relation applies at all. */
typedef struct msnp_relates {
    msnp_object_type rel_type; /* kind of the target */
    conn_direction direction;
    unsigned flags;            /* msnp_relates_flags */
    risk_t risk_threshold;
    void *relation;            /* target person or group */
    match_t action;
    risk_t risk_level;
    tqlist *times;
    tqlist *exprs;
    tqlist *imbitmaps;
    tqlist *objects;
    void *back;                /* owner person or node */
    msnp_object_type back_type;
    char *uid;
} msnp_relates;

typedef struct msnp_rtree {
    tqlist *contactl;              /* msnp_relates* */
    msnp_object_type object_type;  /* MSNP_OBJECT_NODE */
    char *ident;
    char *description;
    tqlist *people;                /* msnp_person* placed here */
    tqlist *siblings;              /* child nodes in order */
    struct msnp_rtree *backref;    /* parent, NULL for the root */
    int refs;                      /* 1 while attached under a parent */
} msnp_rtree;

typedef struct msnp_object_generic msnp_object_generic;

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

typedef struct msnp_conntrack {
    std::shared_mutex ss_users_lock;
    tqconn *conn;
    char *user_handle;
    tqlist *ss_users;          /* char*: participants, newest first */
    tqlist *si_skipl;          /* char*: SLP session ids seen */
    FILE *chat_log;
    std::unique_ptr<char[]> chat_log_buffer; /* chat_log's stdio buffer, freed after it */
    time_t time;
    char *cont_handle;
    char *session;
    int clean_to_warn;
    int last_mark;
    time_t last_warn;
    long time_warn;
    time_t time_last_message_send;
    time_t time_last_message_rcvd;
    msnp_person *person;
    /* The policy was dropped under the connection (a reset, as in a
     * reload): its next command finds the user's person again, or ends
     * the connection when the policy has none. Set and cleared under the
     * policy's write side. */
    std::atomic<bool> orphaned{false};
    /* The server has confirmed the sign-in. A switchboard answer (ANS)
     * creates the tracker before the server's "ANS trid OK": until then
     * what the client sends waits, as it does before any tracker. */
    bool confirmed = true;
    /* Invitations the policy withheld ("c:" cookie of an invitation
     * message, "s:" P2P session): their answers and data are withheld with
     * them. Newest last, a bounded number. */
    std::mutex withheld_lock;
    std::vector<std::string> withheld;
    void *wptr;
    size_t wptrsiz;
    int master;
    int adl_initial;
    int lsawarn;
    int sawarn;
    msnp_statistics stats;
} msnp_conntrack;

typedef struct msnp_session {
    char *user;
    char *sess;
    char *auth;
} msnp_session;

/* A readers-writer lock that lets a waiting writer in before new readers.
 * Every relayed command takes the read side to be decided; with the
 * default (readers first) a policy change could wait for as long as the
 * deciding threads keep overlapping, which under load is forever. Readers
 * must not take it twice in a row: a writer may be waiting in between. */
class msnp_policy_lock {
public:
    msnp_policy_lock()
    {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~msnp_policy_lock() { pthread_rwlock_destroy(&lock_); }
    msnp_policy_lock(const msnp_policy_lock &) = delete;
    msnp_policy_lock &operator=(const msnp_policy_lock &) = delete;

    void lock()
    {
        pthread_rwlock_wrlock(&lock_);
        changes_.fetch_add(1, std::memory_order_relaxed);
    }
    bool try_lock()
    {
        if (pthread_rwlock_trywrlock(&lock_) != 0)
            return false;
        changes_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    void unlock() { pthread_rwlock_unlock(&lock_); }
    void lock_shared() { pthread_rwlock_rdlock(&lock_); }
    bool try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
    void unlock_shared() { pthread_rwlock_unlock(&lock_); }

    /* Counts the write sides taken, of any registry: what a reader worked
     * out from the policy stays true while this stays the same (the lock
     * orders the count with the change). */
    static unsigned long changes() { return changes_.load(std::memory_order_relaxed); }

private:
    pthread_rwlock_t lock_;
    static inline std::atomic<unsigned long> changes_{0};
};

/* The registry of policy objects, one per module. */
typedef struct msnp_entities {
    msnp_policy_lock root_lock; /* the relation tree and policy changes */
    msnp_rtree *root;
    std::recursive_mutex logsdata_lock;
    time_t log_flush;
    tqtable *people;    /* ident -> msnp_person */
    tqtable *users;     /* handle -> msnp_user */
    tqtable *busers;    /* handle -> msnp_user (parked) */
    tqtable *groups;    /* ident -> msnp_group */
    tqtable *times;     /* ident -> msnp_object_time */
    tqtable *exprs;
    tqtable *imbitmaps;
    tqtable *objects;
    tqtable *ns;        /* the module's variables */
    char *id_secure;
    char *id_insecure;
    msnp_group *group_local;
    tq3_module *self;
    msnp_indexes *indexes; /* weak waiters and user handles */
    unsigned long long generation; /* distinct for every registry made */
} msnp_entities;

extern "C" msnp_entities *ents;

/* The read side of ents->root_lock as a thread holds it: once, however
 * deeply nested. The tasklet holds it for a whole chunk, so that nothing
 * its handlers read (a tracker's person, the relations) is changed or
 * freed under them by a management command; matching inside takes it
 * only when the thread does not hold it yet (taking it twice could wait
 * behind a writer that waits for the first). */
class msnp_policy_read {
public:
    msnp_policy_read();
    ~msnp_policy_read();
    msnp_policy_read(const msnp_policy_read &) = delete;
    msnp_policy_read &operator=(const msnp_policy_read &) = delete;

private:
    msnp_entities *held_;
};

/* The write side from a thread that may hold the read side (a sign-in that
 * admits a guest): the read side is let go for the time of the change and
 * taken back after, so what was read under it must be looked up again. */
class msnp_policy_write {
public:
    msnp_policy_write();
    ~msnp_policy_write();
    msnp_policy_write(const msnp_policy_write &) = delete;
    msnp_policy_write &operator=(const msnp_policy_write &) = delete;

private:
    msnp_entities *held_;
    int suspended_;
};

extern "C" {
extern const tq3_module_ops plugin_data;
match_t msnp_tasklet(tq3_module *self, tqconn *conn, tq3_iov *iov);
int msnp_tasklet_fini(tq3_module *self, tqconn *conn);
/* One management command: args[0] the verb, args[1] the rest of the line;
 * replies and errors go through the parser. 0. */
int msnp_config(tq3_module *self, idl_parser *idl);
/* The connection's tracker as XML text (caller frees), or NULL. */
char *msnp_info(tq3_module *self, tqconn *conn);
/* Brings the registry up once (0 ready, 1 refused). */
int msnp_init(tq3_module *self, char **arg);
/* Re-attaches the registry after the host reloaded the module's code. */
void msnp_reload(tq3_module *self, char **arg);
/* Loads a policy document: 1 parsed, 0 not well-formed XML (nothing changed). */
int msnp_setconfig(tq3_module *self, idl_parser *idl, const char *config);
/* The whole policy as a document (caller frees), or NULL. */
char *msnp_getconfig(tq3_module *self, idl_parser *idl);
/* Drops every policy object but the root node and the group "Local". */
void msnp_reset(tq3_module *self, idl_parser *idl);
/* The periodic work, `elapsed` seconds after the previous call: quota
 * periods, guest expiry and quota use on live connections, the repeated
 * warning, and removing old logs every "log-flush-time" seconds. */
void msnp_schedtask(tq3_module *self, long elapsed);
/* Writes every user's statistics file, keeping `count` rotated copies. */
void msnp_statistics_persistence(tq3_module *self, int count, time_t now);
}

/* Configuration variables by name, read at the moment of use: the text of a
 * string variable (owned by the host), or the integer value; `def` when
 * absent. */
const char *msnp_get_var(const char *key, const char *def);
long msnp_get_var_long(const char *key, long def);
/* The module's clock: time() unless a test set another source. Every
 * decision that depends on the time of day reads it through here. */
time_t msnp_now(void);
void msnp_set_clock(time_t (*clock)(void));
/* "prefix:user;{endpoint}" -> "user" (new text); NULL for NULL. */
char *msnp_normalize_msnp16_guid(const char *handle);

#endif
