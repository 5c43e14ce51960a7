/* Shared types of the MSNP policy module.
 *
 * Data flow: the host hands each relayed chunk to msnp_tasklet, the
 * decoupler cuts it into whole commands, the dispatcher finds each command
 * in the command table and runs the handler of the chunk's direction, the
 * handler asks the policy matcher, and the verdicts decide which commands go
 * back into the I/O vector. Policy objects live in the registry `ents`.
 *
 * Records keep the C shape the host and the management layer rely on
 * (plain fields, owned NUL-terminated char* texts, tqlist/tqtable
 * containers); records that embed C++ locks are created with new and
 * destroyed with delete by their own constructors and destructors. */
#ifndef TQ3_MSNP_H
#define TQ3_MSNP_H

#include <regex.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <iksemel.h>

#include <atomic>
#include <mutex>
#include <vector>
#include <shared_mutex>

#include "tq3_core_interface.h"
#include "tq3_iovec.h"
#include "tqconn.h"
#include "tqevents_interface.h"
#include "tqidl.h"
#include "tqlist.h"
#include "tqtable.h"
#include "trevalquin_plugin.h"
#include "utils.h"
#include "variables.h"

struct msnp_message;
struct msnp_person;
struct msnp_rtree;

/* ------------------------------------------------------------------ */
/* Command table and dispatcher                                        */
/* ------------------------------------------------------------------ */

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
    char *safe_buffer;                /* word-cut copy, or NULL without handler */
    char *data_buffer;                /* the bytes that go out on pass */
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

/* One chunk cut into whole commands. */
typedef struct tq3_decouple_data {
    char *base;       /* 4 NULs, the chunk, 12 NULs; owned */
    char **ptrs;      /* start of each piece inside base */
    size_t *ptrsize;  /* length of each piece */
    size_t size;      /* number of pieces */
    int moredata;     /* 0 when the chunk ends exactly after a payload command */
    size_t room;      /* entries allocated in ptrs/ptrsize */
    int incomplete;   /* 1 when the last piece is a payload command whose
                       * payload the chunk cuts short: its bytes must be held
                       * even if the cut falls right after a CR LF */
} tq3_decouple_data;

extern "C" const msnp_table ltable[MSN_OPCODE_UNKNOWN + 1];

/* ------------------------------------------------------------------ */
/* Object kinds and the entity registry                                */
/* ------------------------------------------------------------------ */

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

typedef struct msnp_object {
    char name[9];
    msnp_object_type type;
} msnp_object;

extern "C" const msnp_object msnp_objects[];

typedef enum msnp_person_type {
    PERSON_NONE = 0,
    PERSON_SUPER = 1,
    PERSON_CONTACT = 2,
    PERSON_USER = 3
} msnp_person_type;

typedef enum msnp_serialize_flags_t {
    WITH_NONE = 0,
    WITH_STATISTICS = 1,
    WITH_CONTACTS = 2,
    WITH_ANY = -1
} msnp_serialize_flags_t;

/* Per-person and per-connection verdict counters: for every group four
 * counters stats_<group>_none/_pass/_block/_alert, then chat_time. */
#define MSNP_STATISTICS_GROUPS(G) \
    G(message_out_unknown) \
    G(message_out_textplain) \
    G(message_out_textplain_bytes) \
    G(message_out_emoticon) \
    G(message_out_datacast) \
    G(message_out_p2p) \
    G(message_out_clientcaps) \
    G(message_out_control) \
    G(message_out_profile) \
    G(message_out_inimailnotification) \
    G(message_out_mailnotification) \
    G(message_out_invite) \
    G(message_out_systemmessage) \
    G(message_out_mailactivenotification) \
    G(message_out_ink) \
    G(message_out_textsecway) \
    G(message_in_unknown) \
    G(message_in_textplain) \
    G(message_in_textplain_bytes) \
    G(message_in_emoticon) \
    G(message_in_datacast) \
    G(message_in_p2p) \
    G(message_in_clientcaps) \
    G(message_in_control) \
    G(message_in_profile) \
    G(message_in_inimailnotification) \
    G(message_in_mailnotification) \
    G(message_in_invite) \
    G(message_in_systemmessage) \
    G(message_in_mailactivenotification) \
    G(message_in_ink) \
    G(message_in_textsecway) \
    G(invite_out_unknown) \
    G(invite_out_filetransfer) \
    G(invite_out_picture) \
    G(invite_out_voice) \
    G(invite_out_whiteboard) \
    G(invite_out_netmeeting) \
    G(invite_out_applicationsharing) \
    G(invite_out_foldersharing) \
    G(invite_out_rdesktop) \
    G(invite_out_webcam) \
    G(invite_out_fotoshow) \
    G(invite_out_photos) \
    G(invite_out_baldurgate) \
    G(invite_out_mechwarrior) \
    G(invite_out_jediknight) \
    G(invite_out_european_air_war) \
    G(invite_out_deep_space9) \
    G(invite_out_crimson_skies) \
    G(invite_out_crimson_skies_trial) \
    G(invite_out_age_of_empires2) \
    G(invite_in_unknown) \
    G(invite_in_filetransfer) \
    G(invite_in_picture) \
    G(invite_in_voice) \
    G(invite_in_whiteboard) \
    G(invite_in_netmeeting) \
    G(invite_in_applicationsharing) \
    G(invite_in_foldersharing) \
    G(invite_in_rdesktop) \
    G(invite_in_webcam) \
    G(invite_in_fotoshow) \
    G(invite_in_photos) \
    G(invite_in_baldurgate) \
    G(invite_in_mechwarrior) \
    G(invite_in_jediknight) \
    G(invite_in_european_air_war) \
    G(invite_in_deep_space9) \
    G(invite_in_crimson_skies) \
    G(invite_in_crimson_skies_trial) \
    G(invite_in_age_of_empires2) \
    G(datacast_out_unknown) \
    G(datacast_out_wink) \
    G(datacast_out_nudge) \
    G(datacast_out_action) \
    G(datacast_in_unknown) \
    G(datacast_in_wink) \
    G(datacast_in_nudge) \
    G(datacast_in_action)

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
    msnp_person_type type;
    uint32_t source_addr, source_mask; /* network order; both 0: any */
    risk_t risk_level;
} msnp_person;

struct msnp_user {
    std::recursive_mutex log_lock; /* guards log_file */
    msnp_person *person;
    FILE *log_file;
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
} msnp_group;

typedef struct msnp_group_member {
    msnp_object_type type;    /* PERSON or GROUP */
    void *member;
    msnp_group *back;
} msnp_group_member;

/* Relation-list owner view: the common head of persons and nodes. */
typedef struct msnp_relation_container {
    tqlist *contactl;
    msnp_object_type object_type;
    void *generic_ip;
} msnp_relation_container;

typedef enum msnp_relates_flags {
    RELATION_NONE = 0,
    RELATION_DISABLED = 1
} msnp_relates_flags;

typedef struct msnp_relates {
    msnp_object_type rel_type; /* kind of the target */
    tqlist *times;
    tqlist *exprs;
    tqlist *imbitmaps;
    tqlist *objects;
    match_t action;
    conn_direction direction;
    void *relation;            /* target person or group */
    void *back;                /* owner person or node */
    msnp_object_type back_type;
    unsigned flags;            /* msnp_relates_flags */
    char *uid;
    risk_t risk_level;
    risk_t risk_threshold;
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

/* ------------------------------------------------------------------ */
/* Generic policy objects                                              */
/* ------------------------------------------------------------------ */

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

typedef struct msnp_expr_node {
    unsigned type;     /* kind code */
    unsigned modifier; /* modifier and scope bits */
    char *literal;
    regex_t *expr;     /* compiled for sre/ere, else NULL */
} msnp_expr_node;

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

/* ------------------------------------------------------------------ */
/* Message model and type tables                                       */
/* ------------------------------------------------------------------ */

typedef enum msnp_message_code {
    MSNP_MESSAGE_UNKNOWN = 0,
    MSNP_MESSAGE_TEXTPLAIN = 1,
    MSNP_MESSAGE_EMOTICON = 2,
    MSNP_MESSAGE_DATACAST = 4,
    MSNP_MESSAGE_P2P = 8,
    MSNP_MESSAGE_CLIENTCAPS = 16,
    MSNP_MESSAGE_CONTROL = 32,
    MSNP_MESSAGE_PROFILE = 64,
    MSNP_MESSAGE_INIMAILNOTIFICIATION = 128,
    MSNP_MESSAGE_MAILNOTIFICATION = 256,
    MSNP_MESSAGE_INVITE = 512,
    MSNP_MESSAGE_SYSTEMMESSAGE = 1024,
    MSNP_MESSAGE_MAILACTIVENOTIFICATION = 2048,
    MSNP_MESSAGE_INK = 4096,
    MSNP_MESSAGE_TEXTSECWAY = 8192,
    MSNP_MESSAGE_ALL = -1
} msnp_message_code;

typedef enum msnp_invite_code {
    MSNP_INVITE_UNKNOWN = 0,
    MSNP_INVITE_FILETRANSFER = 1,
    MSNP_INVITE_PICTURE = 2,
    MSNP_INVITE_VOICE = 4,
    MSNP_INVITE_WHITEBOARD = 8,
    MSNP_INVITE_NETMEETING = 16,
    MSNP_INVITE_APPLICATIONSHARING = 32,
    MSNP_INVITE_FOLDERSHARING = 64,
    MSNP_INVITE_RDESKTOP = 128,
    MSNP_INVITE_WEBCAM = 256,
    MSNP_INVITE_FOTOSHOW = 512,
    MSNP_INVITE_BALDURGATE = 1024,
    MSNP_INVITE_MECHWARRIOR = 2048,
    MSNP_INVITE_JEDIKNIGHT = 4096,
    MSNP_INVITE_EUROPEAN_AIR_WAR = 8192,
    MSNP_INVITE_DEEP_SPACE9 = 16384,
    MSNP_INVITE_CRIMSON_SKIES = 32768,
    MSNP_INVITE_CRIMSON_SKIES_TRIAL = 65536,
    MSNP_INVITE_AGE_OF_EMPIRES2 = 131072,
    MSNP_INVITE_PHOTOS = 262144,
    MSNP_INVITE_ALL = -1
} msnp_invite_code;

typedef enum msnp_datacast_code {
    MSNP_DATACAST_UNKNOWN = 0,
    MSNP_DATACAST_WINK = 1,
    MSNP_DATACAST_NUDGE = 2,
    MSNP_DATACAST_ACTION = 4,
    MSNP_DATACAST_ALL = -1
} msnp_datacast_code;

typedef enum msnp_com_code {
    MSNP_COM_NONE = 0,
    MSNP_COM_CALL = 1,
    MSNP_COM_RCALL = 2,
    MSNP_COM_LIST = 4,
    MSNP_COM_MESSAGE = 8,
    MSNP_COM_ADD = 16,
    MSNP_COM_REM = 32,
    MSNP_COM_PMM = 64,
    MSNP_COM_SEND_NOTIFICATION = 128,
    MSNP_COM_RECEIVE_NOTIFICATION = 256,
    MSNP_COM_SEND_MOBILE = 512,
    MSNP_COM_RECEIVE_MOBILE = 1024,
    MSNP_COM_FEDERATION = 2048,
    MSNP_COM_SEND_FEDERATION = 4096,
    MSNP_COM_RECEIVE_FEDERATION = 8192,
    MSNP_COM_ALL = -1
} msnp_com_code;

typedef enum msnp_slp_command_code {
    MSNP_SLP_COMMAND_BYE = 0,
    MSNP_SLP_COMMAND_INVITE = 1,
    MSNP_SLP_COMMAND_UNKNOWN = 2
} msnp_slp_command_code;

typedef struct msnp_message_ctype {
    char name[38];
    msnp_message_code type;
    char fname[33];
} msnp_message_ctype;

typedef struct msnp_invite_itype {
    char name[39];
    msnp_invite_code type;
    char fname[27];
} msnp_invite_itype;

typedef struct msnp_datacast {
    char name[4];
    msnp_datacast_code type;
    char fname[16];
} msnp_datacast;

typedef struct msnp_com_type {
    char name[29];
    msnp_com_code type;
} msnp_com_type;

typedef struct msnp_slp_command {
    char name[7];
    size_t size;
    msnp_slp_command_code type;
} msnp_slp_command;

extern "C" const msnp_message_ctype msnp_message_ctypes[];
extern "C" const msnp_invite_itype msnp_invite_codes[];
extern "C" const msnp_datacast msnp_datacasts[];
extern "C" const msnp_com_type msnp_com_types[];
extern "C" const msnp_slp_command msnp_slp_commands[];

typedef struct msnp_message {
    tqtable *header;
    tqtable *subheader;
    tqtable *subslp;
    char *content;        /* body, inside basecontent */
    char *basecontent;    /* private copy of the command */
    char *header_content; /* copy of the header block */
    msnp_message_code ctype;
    msnp_invite_code itype;
    msnp_datacast_code dtype;
    msnp_invite_code slp_euf_guid;
    char *slp_sessionid;  /* borrowed from subslp */
    char *slp_appid;      /* borrowed from subslp */
    char *slp_context;    /* borrowed from subslp */
    char *orig;
    char *dest;
    char *ft_name;
} msnp_message;

/* ------------------------------------------------------------------ */
/* Connection tracker                                                  */
/* ------------------------------------------------------------------ */

typedef struct msnp_conntrack {
    std::shared_mutex ss_users_lock;
    tqconn *conn;
    char *user_handle;
    tqlist *ss_users;          /* char*: participants, newest first */
    tqlist *si_skipl;          /* char*: SLP session ids seen */
    FILE *chat_log;
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

struct msnp_indexes;

/* The registry of policy objects, one per module. */
typedef struct msnp_entities {
    std::shared_mutex root_lock; /* the relation tree and policy changes */
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

/* ------------------------------------------------------------------ */
/* Entry points                                                        */
/* ------------------------------------------------------------------ */

extern "C" {
extern const tq3_module_ops plugin_data;
match_t msnp_tasklet(tq3_module *self, tqconn *conn, tq3_iov *iov);
int msnp_tasklet_fini(tq3_module *self, tqconn *conn);
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
/* Writes every user's statistics file, keeping `count` rotated copies. */
void msnp_statistics_persistence(tq3_module *self, int count, time_t now);
}
/* Destroys every object of a generic-object table. */
void msnp_collect_all_from_generic_table(idl_parser *idl, tqtable *generic);

/* ------------------------------------------------------------------ */
/* Decoupler, command table, dispatcher, word helpers                  */
/* ------------------------------------------------------------------ */

tq3_decouple_data *tq3_decouple_data_new(char *base);
void tq3_decouple_data_resize(tq3_decouple_data *dd, size_t index);
void tq3_decouple_data_destroy(tq3_decouple_data *dd);
tq3_decouple_data *tq3_msn_decouple(const unsigned char *dados, size_t tam);
int opcode_count_args(const char *data, const char *sep, const char *end);

const msnp_table *table_search_opcode(const char *strcmd);
const msnp_table *table_search_opcode_wrapper(const char *text);
const msnp_table *table_search_strcmd(msnp_opcode opcode);
task_struct *new_task_struct(tq3_decouple_data *data, int index, tqconn *conn,
                             const msnp_table *table, tq3_module *self);
void task_struct_destroy(task_struct *tstruct);
match_t tq3_msn_dispatcher(task_struct **tstruct, tqconn *conn, tq3_decouple_data *data,
                           size_t index, tq3_module *self);

/* Finds a command by the (at most three) first bytes of a NUL-terminated
 * text; table_search_opcode_wrapper is the one the module runs with. */
typedef const msnp_table *(*msnp_table_lookup)(const char *text);
/* The entry of piece `index`, looked up from its first bytes (never more
 * than the piece holds). */
const msnp_table *tq3_msn_piece_entry(const tq3_decouple_data *data, size_t index,
                                      msnp_table_lookup lookup);
/* tq3_msn_dispatcher with the piece's table entry already chosen. */
match_t tq3_msn_dispatch_entry(task_struct **tstruct, tqconn *conn, tq3_decouple_data *data,
                               size_t index, tq3_module *self, const msnp_table *entry);
/* msnp_tasklet resolving commands through `lookup` instead of ltable. */
match_t msnp_tasklet_lookup(tq3_module *self, tqconn *conn, tq3_iov *iov,
                            msnp_table_lookup lookup);

char *chunk(task_struct *tstruct, unsigned index);
void replace(task_struct *tstruct, int index, char *data);
void reconstruct(task_struct *tstruct, int delim);

/* ------------------------------------------------------------------ */
/* Persons, users, registry                                            */
/* ------------------------------------------------------------------ */

/* Hands the object's XML to the host as an object-new / object-data event
 * through the parser, unless there is no parser or it is importing. Takes
 * ownership of `xml` (deleted in every case). */
void msnp_event_object_new(idl_parser *idl, iks *xml);
void msnp_event_object_data(idl_parser *idl, iks *xml);
/* Whether an object event would reach anyone: serialising an object is not
 * free, and while a policy is imported nobody wants its events. */
int msnp_events_wanted(const idl_parser *idl);
/* Object-data event with the person's XML, when wanted. */
void msnp_event_person_data(idl_parser *idl, msnp_person *person);
/* The "description:" form of rename: `desc` without its enclosing double
 * quotes replaces *description, an empty text removes it; code 2 "Missing
 * description" without `desc`. 1 when changed. */
int msnp_set_description(idl_parser *idl, char **description, const char *desc);
/* 0 for an identifier, else the first character that breaks the rule
 * (the empty text passes; NULL never does). */
char msnp_object_symbol(const char *sym);
/* Row of msnp_objects by exact name / by kind; the end row (kind 0) when
 * nothing matches. */
const msnp_object *msnp_object_search_symbol(const char *name);
const msnp_object *msnp_object_search_type(msnp_object_type type);
/* Any object by name or node path; *type gets its kind. */
void *msnp_generic_object_search(idl_parser *idl, const char *sym, msnp_object_type *type, int mask,
                                 int *err);

/* The registry: creates it (tables, root node "root", group "Local"), makes
 * it the global `ents` and self->block; destroy frees every object in it. */
msnp_entities *msnp_entities_new(tq3_module *self);
void msnp_entities_destroy(msnp_entities *e);

/* Configuration variables by name, read at the moment of use: the text of a
 * string variable (owned by the host), or the integer value; `def` when
 * absent. */
const char *msnp_get_var(const char *key, const char *def);
long msnp_get_var_long(const char *key, long def);

msnp_person *new_msnp_person(idl_parser *idl, const char *ident, const char *handle,
                             const char *friendly);
/* The "new" command for persons: args[0] handle, args[1] friendly name. */
msnp_person *msnp_new_object_person(idl_parser *idl, const char *ident, char **args);
/* Sets or changes the handle and with it the person type; 1 or 0. A contact
 * pattern that does not compile is refused. */
int msnp_person_set_handle(idl_parser *idl, msnp_person *person, const char *handle);
int msnp_person_is_super(const msnp_person *person);
/* Lookups: with MSNP_OBJECT_PERSON in `mask` the caller holds the table. */
msnp_person *msnp_search_person(const char *ident, int mask);
msnp_person *msnp_search_person_by_handle(const char *handle, msnp_person_type type);
msnp_person *msnp_search_user(const char *handle);
/* Run-time user of a user person, created or found; reference counted. */
msnp_user *new_msn_user(msnp_person *person);
void destroy_msnp_user(msnp_user *user);
int msnp_destroy_person(tq3_module *self, idl_parser *idl, msnp_person *person);
int msnp_bounty_values(msnp_user *user);
/* The person's XML form; `flags` of msnp_serialize_flags_t. */
iks *msnp_serialize_object_single(msnp_person *person, int flags, const char *arg,
                                  const char *range);

/* ------------------------------------------------------------------ */
/* Groups                                                              */
/* ------------------------------------------------------------------ */

msnp_group *new_msnp_group(idl_parser *idl, const char *ident);
/* The "new" command for groups. */
msnp_group *msnp_new_object_group(idl_parser *idl, const char *name, char **args);
msnp_group *msnp_search_group(const char *ident, int mask);
int msnp_add_group_member(idl_parser *idl, msnp_group *group, void *member, msnp_object_type type);
int msnp_group_unlink_member(msnp_group_member *record);
int msnp_group_unlink_member_back(idl_parser *idl, msnp_group_member *record);
int msnp_del_object_group(idl_parser *idl, msnp_group *group, void *ref);
/* Reorders members; positions as list_from_index counts them. */
int msnp_move_object_group_index(idl_parser *idl, msnp_group *group, int src, int dst);
/* The element at `src` goes before the one at `dst` when src > dst, after
 * it when src < dst; 0 when either position does not exist, else 1. */
int msnp_list_move_index(tqlist **list, int src, int dst);
int msnp_add_group_weak(idl_parser *idl, msnp_group *group, const char *name);
int msnp_del_group_weak(idl_parser *idl, msnp_group *group, const char *name);
/* Weak tables of groups and generic objects map an awaited name to a copy
 * of it; `wdirty` counts the entries. Each gives 1 when the table changed. */
template <typename Count> int msnp_weak_name_add(tqtable *weak, Count *wdirty, const char *name)
{
    char *copy = strdup(name);
    if (!copy)
        return 0;
    if (!weak->set_unique_safe(weak, name, copy)) {
        free(copy);
        return 0;
    }
    ++*wdirty;
    return 1;
}
template <typename Count> int msnp_weak_name_del(tqtable *weak, Count *wdirty, const char *name)
{
    tqtable_wrlock(weak);
    char *copy = static_cast<char *>(weak->remove(weak, name));
    if (copy)
        --*wdirty;
    tqtable_unlock(weak);
    if (!copy)
        return 0;
    free(copy);
    return 1;
}
int msnp_destroy_group(idl_parser *idl, msnp_group *group);
/* Registry indexes (weak waiters by name, user persons by handle). */
typedef struct msnp_weak_holder {
    msnp_object_type type; /* MSNP_OBJECT_PERSON or MSNP_OBJECT_GROUP */
    void *object;
} msnp_weak_holder;
msnp_indexes *msnp_indexes_new();
void msnp_indexes_destroy(msnp_indexes *idx);
/* `holder` has a weak reference waiting for `name`. */
void msnp_weak_wait(msnp_object_type type, void *holder, const char *name);
/* `holder` is going away: it waits for nothing any more. */
void msnp_weak_forget(void *holder);
/* The holders waiting for `name`, in the order they began to wait; they
 * no longer wait for it. */
std::vector<msnp_weak_holder> msnp_weak_take(const char *name);
/* Re-indexes a user person after its handle changed from `old_handle`. */
void msnp_user_handle_index(msnp_person *person, const char *old_handle);
void msnp_user_handle_forget(msnp_person *person);
msnp_person *msnp_user_handle_find(const char *handle);
/* Makes `uid` name `relation` (dropping the relation's former uid from the
 * index; the caller replaces the text itself): 1, or 0 when another
 * relation already has it. */
int msnp_relation_uid_claim(msnp_relates *relation, const char *uid);
/* The relation is going away: its uid is free again. */
void msnp_relation_uid_forget(msnp_relates *relation);
/* Turns weak references to `ident` held by persons and groups into
 * relations and memberships. */
int msnp_generic_resolve_weaks(idl_parser *idl, const char *ident);
iks *msnp_serialize_object_group(msnp_group *group);
iks *msnp_serialize_group_member(msnp_group_member *record, ikstack *stack);

/* ------------------------------------------------------------------ */
/* Relations                                                           */
/* ------------------------------------------------------------------ */

/* The common "add": puts the object named `orig` (or a literal, or a weak
 * reference) into `odest` of kind `type_dest`. */
int msnp_add_object_dest(idl_parser *idl, void *odest, msnp_object_type type_dest, const char *orig,
                         char **prop, int *weak);

msnp_relates *new_relation(void *target, msnp_object_type type);
/* new_relation, entered into the target's back-references, then each
 * property word of the NULL-terminated `perm` applied in order. */
msnp_relates *new_relation_desc(idl_parser *idl, void *target, char **perm, msnp_object_type type);
/* Gives `person` a relation to `target` (or a super: then NULL). */
msnp_relates *relates_to(idl_parser *idl, msnp_person *person, void *target, char **perm,
                         msnp_object_type type);
int relates_to_weak(idl_parser *idl, msnp_person *person, const char *name, char **perm);
int modify_relation(idl_parser *idl, msnp_relates *relation, const char *word);
int modify_relation_weak_single(msnp_person *person, const char *name, const char *word);
/* tqlist_match_fn: the relation's target is `target`. */
int msnp_search_relation(const void *relation, const void *target);
int msnp_unlink_relation(idl_parser *idl, msnp_relates *relation);
int msnp_unlink_relation_reverse(msnp_relates *relation);
int msnp_unlink_relation_objects_from_relation(msnp_relates *relation);
int msnp_unlink_contact_from_container(msnp_relates *relation, tqlist *node);
/* Reply of a command that added a relation: its XML with "index", as the
 * parser's data (not while importing). */
void msnp_relation_reply(idl_parser *idl, msnp_relates *relation, int index);
iks *msnp_serialize_relation(msnp_relates *relation, ikstack *stack);
iks *msnp_serialize_relation_objects(msnp_relates *relation, ikstack *stack);
/* "access-list-section" of the type names of the set bits; NULL when
 * empty. */
iks *msnp_serialize_relation_com(unsigned bits);
iks *msnp_serialize_relation_message(unsigned bits);
iks *msnp_serialize_relation_invite(unsigned bits);
iks *msnp_serialize_relation_datacast(unsigned bits);

/* ------------------------------------------------------------------ */
/* Generic objects                                                     */
/* ------------------------------------------------------------------ */

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
/* Creates an empty generic object of the kind named `kind` ("time",
 * "expr", "imbitmap", "object") with the checks and object-new event of the
 * "new" command; used when objects are read back from XML. */
msnp_object_generic *msnp_generic_new_object_by_kind(idl_parser *idl, const char *kind, const char *ident);
int msnp_del_object_generic(idl_parser *idl, msnp_object_generic *obj, msnp_object_generic *ref);
int msnp_del_object_generic_weak(idl_parser *idl, msnp_object_generic *obj, const char *weak);
int msnp_resolve_weaks_object_generic(idl_parser *idl, msnp_object_generic *obj);
int msnp_rename_object_generic(idl_parser *idl, msnp_object_generic *obj, const char *newname,
                               const char *desc);
msnp_object_generic *msnp_deserialize_object_generic(idl_parser *idl, iks *node);
/* Object-data event with the object's XML (nothing without a parser or
 * while importing). */
void msnp_event_object_generic_data(idl_parser *idl, msnp_object_generic *obj);
/* TQ_MATCH_PASS when a listed IM bitmap, or one it includes, shares a bit
 * with `bitmap`; the task's lda_temp collects the visited objects. */
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

/* ------------------------------------------------------------------ */
/* Message model                                                       */
/* ------------------------------------------------------------------ */

/* Lookups by key: the code of the first matching row, or the table's
 * terminating code/row. Invitation GUIDs compare without regard to case,
 * SLP words by prefix of the row's size. */
msnp_message_code msnp_message_code_symbol(const char *sym);
msnp_invite_code msnp_invite_code_symbol(const char *sym);
const msnp_datacast *msnp_datacast_symbol(const char *sym);
msnp_slp_command_code msnp_slp_command_code_symbol(char *sym);
/* Lookups by friendly name and by code; the terminating row when none. */
const msnp_message_ctype *msnp_message_search_friendly_name(const char *friendly);
const msnp_invite_itype *msnp_invite_search_friendly_name(const char *friendly);
const msnp_datacast *msnp_datacast_search_friendly_name(const char *friendly);
const msnp_message_ctype *msnp_message_search_type(msnp_message_code code);
const msnp_invite_itype *msnp_invite_search_type(msnp_invite_code code);
const msnp_datacast *msnp_datacast_search_type(msnp_datacast_code code);
const msnp_com_type *msnp_com_type_search_symbol(const char *name);
const msnp_com_type *msnp_com_type_search_type(msnp_com_code code);

/* Parses header lines (cut in place) into a new table of owned value
 * copies; NULL for NULL. */
tqtable *header_to_table(char *header);
/* Word `index` of the command line (cut in place), or NULL. */
char *fetch_user_from_preheader(char *conteudo, int index);
/* Parses the task's command; NULL when the payload has no empty line. */
msnp_message *new_msnp_message(task_struct *tstruct);
void destroy_msnp_message(msnp_message *message);
/* The P2P step: SLP request, session fields, offered file name. */
void tq3_msnp_message_slp(msnp_message *message, size_t content_size);
/* "prefix:user;{endpoint}" -> "user" (new text); NULL for NULL. */
char *msnp_normalize_msnp16_guid(const char *handle);

/* ------------------------------------------------------------------ */
/* Relation tree                                                       */
/* ------------------------------------------------------------------ */

/* Levels below the root that a node may sit at. Every way of making or
 * moving a node keeps to it, so that every tree the module holds is
 * written and read back whole, and every node has a path that resolves. */
#define MSNP_RTREE_MAX_DEPTH 256u

msnp_rtree *new_rtree_node(const char *ident);
/* Levels between the node and the root (0 for the root). */
unsigned rtree_depth(const msnp_rtree *node);
msnp_rtree *rtree_search_sibling(msnp_rtree *tree, const char *ident);
/* NULL-terminated names from `tree`; an empty list gives `tree`. */
msnp_rtree *rtree_resolve_tree_list(msnp_rtree *tree, char **path);
/* Path text split at "/"; a component that is no identifier gives NULL
 * and *err = 1. */
msnp_rtree *rtree_resolve_tree(msnp_rtree *tree, const char *path, int *err);
/* Path text of the node ("/" for the root), newly allocated. */
char *rtree_reverse(msnp_rtree *node);
int msnp_rtree_unlink_user(idl_parser *idl, msnp_rtree *rtree_node, msnp_person *member);
int msnp_unlink_backref_rtree(msnp_person *person, msnp_rtree *node);
int rtree_add_contact(idl_parser *idl, msnp_rtree *tree, msnp_relates *relation);
/* `depth` levels of content ((unsigned)-1: all); the node goes into `xn`. */
iks *msnp_serialize_object_node(msnp_rtree *node, iks *xn, unsigned depth);
/* Emits the node's tree event through the parser (which owns it); NULL
 * without a parser or while importing. */
event_t *rtree_event(idl_parser *idl, msnp_rtree *tree);
/* Walks the NULL-terminated names from `tree`, creating missing children
 * (object-new and parent tree events); the last node. */
msnp_rtree *msnp_tree_grow(idl_parser *idl, msnp_rtree *tree, char **nodelist);
/* The "new" command for nodes: `name` is a path relative to `base`; code 25
 * when it already resolves. */
msnp_rtree *msnp_new_object_node(idl_parser *idl, const char *name, msnp_rtree *base);
/* Makes `sibl` a child of `tree`, moving it from its old parent; 1 or 0. */
int rtree_add_sibling(idl_parser *idl, msnp_rtree *tree, msnp_rtree *sibl);
/* Places a user person in the node; 1 when a run-time user exists. */
int rtree_add_person(idl_parser *idl, msnp_rtree *tree, msnp_person *person);
int msnp_rtree_unlink_sibling(idl_parser *idl, msnp_rtree *rtree_node, msnp_rtree *sibling);
/* Detaches and destroys a node with its subtree; -1 for the root. */
int msnp_rtree_unlink_node(idl_parser *idl, msnp_rtree *rtree_node);
/* The "del" command on a node: a user of the node or the first relation
 * targeting `ref`; 1 when something was removed. */
int msnp_del_object_node(idl_parser *idl, msnp_rtree *tree, void *ref);
int msnp_move_object_node_index(idl_parser *idl, msnp_rtree *node, int src, int dst);
/* Renames a node, or with `newname` "description:" sets its description. */
int msnp_rename_object_node(idl_parser *idl, msnp_rtree *node, const char *newname,
                            const char *desc);
/* Object-data event of every user of the node and its subtree. */
void rtree_notify_users(idl_parser *idl, msnp_rtree *node);

/* ------------------------------------------------------------------ */
/* Statistics                                                          */
/* ------------------------------------------------------------------ */

void msnp_statistics_zero(msnp_statistics *statistics);
/* The "statistics" element (NULL when no child is written); created in
 * `stack` when given, else as a new tree; `zero` asks for a complete dump. */
iks *msnp_statistics_serialize(msnp_statistics *statistics, ikstack *stack, int zero);
void msnp_statistics_deserialize(msnp_statistics *statistics, iks *node);
/* Writes the user's statistics file (rotating `count` copies) and clears
 * the block; a file that cannot be opened keeps the counts. */
void msnp_persist_statistics(msnp_person *person, int count);
/* Stored files as "persisted-statistics": listed, or summed over `trange`
 * ("B:E", "B:", ":E", "B"); NULL when nothing was found. */
iks *msnp_statistics_persisted(msnp_person *person, int past, const char *trange);

typedef struct msnp_person_stat_entry {
    iks *var;
    unsigned long value;
} msnp_person_stat_entry;

/* Module-wide counters: integer variables "stats-..." in the module's
 * namespace, created on first use. `site` is the counting site's own
 * reference (NULL until first use). */
void msnp_stat_bump(std::atomic<tq_variable *> *site, const char *name);
/* Bumps NAME followed by "-none", "-pass", "-block" or "-alert" by the
 * verdict; `sites` holds the four references of the site. */
void msnp_stat_bump_verdict(std::atomic<tq_variable *> sites[4], const char *name, match_t verdict);
#define MSNP_STAT_BUMP(name)                                                  \
    do {                                                                      \
        static std::atomic<tq_variable *> msnp_stat_site_{nullptr};           \
        msnp_stat_bump(&msnp_stat_site_, (name));                             \
    } while (0)
#define MSNP_STAT_BUMP_VERDICT(name, verdict)                                 \
    do {                                                                      \
        static std::atomic<tq_variable *> msnp_stat_sites_[4] = {};           \
        msnp_stat_bump_verdict(msnp_stat_sites_, (name), (verdict));          \
    } while (0)

/* ------------------------------------------------------------------ */
/* Configuration loading and the policy document                       */
/* ------------------------------------------------------------------ */

/* One top-level element of the policy document; always 1. */
int tq3_config_dispatch(idl_parser *idl, iks *node);
int tq3_config_objects(idl_parser *idl, iks *node);
int tq3_config_object_person(idl_parser *idl, iks *node);
int tq3_config_object_group(idl_parser *idl, iks *node);
int tq3_config_relation_trees(idl_parser *idl, iks *node);
msnp_rtree *recurse_nodes_and_create_tree(idl_parser *idl, iks *node, msnp_rtree *tree);
/* Sets one person property by key (the "attribute" keys); 1 or 0. */
int msnp_modify_person_property(idl_parser *idl, msnp_person *person, const char *key,
                                const char *value, const char *next);
/* The "modify" command on a person: args[0] selects a property ("key:") or
 * relations (index, target name, weak name); the rest are words. */
int msnp_modify_object_single(idl_parser *idl, msnp_person *person, char **args);
/* Re-targets a relation of a person or node (`owner`) from `cur` to `newname`. */
int msnp_relation_change_contact(idl_parser *idl, void *owner, const char *cur,
                                 const char *newname);
/* "object-list" of every object whose name matches `pattern` (fnmatch), in
 * the order expressions, times, IM bitmaps, object-objects, contact persons,
 * groups, other persons; persons with statistics when `statistics`. NULL
 * when nothing matches. */
iks *msnp_serialize_objects_from_glob(const char *pattern, int statistics);

/* ------------------------------------------------------------------ */
/* XML helpers                                                         */
/* ------------------------------------------------------------------ */

/* Children of serialised objects stand one per line: a "\n" text node
 * goes before every child but the first. */
iks *msnp_xml_child(iks *parent, const char *name);
void msnp_xml_child_node(iks *parent, iks *child);
void msnp_xml_text_child(iks *parent, const char *name, const char *text);
/* Whether `node` is an element called `name`; warns "Not a valid node"
 * through `idl` when it is not. */
int msnp_xml_expect_tag(idl_parser *idl, iks *node, const char *name);
/* Text of the first character-data child of `node`, or NULL. */
const char *msnp_xml_first_text(iks *node);
/* The same, warning "Entry without data" through `idl` when there is none. */
const char *msnp_xml_entry_text(idl_parser *idl, iks *node);
/* "'text'", newly allocated; NULL when out of memory. */
char *msnp_quote_literal(const char *text);
/* Copy of `text` with the XML references (&amp; &lt; &gt; &quot; &apos;,
 * &#N; and &#xN;) replaced by their characters; an unknown or broken
 * reference stays as written. The XML reader leaves attribute values
 * undecoded. NULL for NULL or out of memory. */
char *msnp_xml_unescape(const char *text);

#endif
