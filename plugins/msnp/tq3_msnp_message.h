/* The MSG payload model: the message, invitation, datacast, command and
 * SLP type tables, and the parser of a message's headers and body. */
#ifndef TQ3_MSNP_MESSAGE_H
#define TQ3_MSNP_MESSAGE_H

#include <string>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_kinds.h"
#include "tqconn.h"

/* Codes are bits that type sets combine: any int is a value of these.
 * Each kind's row in its list gives its bit: row 0 is code 0, row k is
 * 1 << (k-1). */
#define MSNP_KIND_ROW(PREFIX, NAME, w, MORE) PREFIX##_ROW_##NAME,
#define MSNP_KIND_CODE(PREFIX, NAME, w, MORE) PREFIX##_##NAME = (1 << PREFIX##_ROW_##NAME) >> 1,
enum { MSNP_MESSAGE_KIND_LIST(MSNP_KIND_ROW, MSNP_MESSAGE) MSNP_MESSAGE_ROWS };
enum { MSNP_INVITE_KIND_LIST(MSNP_KIND_ROW, MSNP_INVITE) MSNP_INVITE_ROWS };
enum { MSNP_DATACAST_KIND_LIST(MSNP_KIND_ROW, MSNP_DATACAST) MSNP_DATACAST_ROWS };

typedef enum msnp_message_code : int {
    MSNP_MESSAGE_KIND_LIST(MSNP_KIND_CODE, MSNP_MESSAGE)
    MSNP_MESSAGE_ALL = -1
} msnp_message_code;

typedef enum msnp_invite_code : int {
    MSNP_INVITE_KIND_LIST(MSNP_KIND_CODE, MSNP_INVITE)
    MSNP_INVITE_ALL = -1
} msnp_invite_code;

typedef enum msnp_datacast_code : int {
    MSNP_DATACAST_KIND_LIST(MSNP_KIND_CODE, MSNP_DATACAST)
    MSNP_DATACAST_ALL = -1
} msnp_datacast_code;

typedef enum msnp_com_code : int {
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
    /* The body: where it lies in the task's bytes (which end with a NUL
     * while the command's handler runs, and the message lives no longer),
     * or in body_copy for a kind whose parse cuts its body. */
    char *content;
    size_t content_len;   /* strlen(content): the body is read whole more than once */
    size_t body_size;     /* the body's bytes, NULs included */
    bool follows_withheld; /* answers or carries an invitation the policy withheld */
    /* Private copies of the command line and header (cut by the parse)
     * and of the header block as it came: both in the record's own block
     * when the parse made it, separate blocks when a handler did. */
    char *basecontent;
    char *body_copy;      /* private copy of the body, or NULL */
    char *header_content;
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

/* Lookups by key: the code of the first matching row, or the table's
 * terminating code/row. Invitation GUIDs compare without regard to case,
 * SLP words by prefix of the row's size. */
msnp_message_code msnp_message_code_symbol(const char *sym);
/* msnp_message_code_symbol of a type already in lower case. */
msnp_message_code msnp_message_lowered_code(const char *lowered);
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

/* Parses header lines (cut in place) into a new table whose values point
 * into `header`, which must outlive it (free it with tqtable_destroy);
 * NULL for NULL. A message parses its own copy of its header, so a
 * header costs no copy of each value. */
tqtable *header_to_table(char *header);
/* The value of a header line of a table header_to_table made, by the
 * line's name in lower case (as the table keeps names). */
const char *msnp_header(tqtable *table, const char *name);
/* A text message of its own copy of `size` bytes (NUL bytes read as
 * blanks), for commands that carry text without a MIME header; NULL when
 * there is no memory. */
msnp_message *msnp_text_message(const char *bytes, size_t size);
/* The message is of a kind we do not know and "message-unknown-type" says
 * such messages are withheld. */
int msnp_message_unknown_blocked(const msnp_message *m);
/* What ties the message to an invitation: "c:COOKIE" for an invitation
 * message (the invitation and its ACCEPT or CANCEL), "s:ID" for a P2P
 * session (its INVITE, answers and data packets); empty when nothing. */
std::string msnp_message_invitation_key(const msnp_message *m);
/* Word `index` of the command line (cut in place), or NULL. */
char *fetch_user_from_preheader(char *conteudo, int index);
/* Parses the task's command, whose bytes end with a NUL (as a handler
 * gets them) and outlive the message; NULL when the payload has no empty
 * line. */
msnp_message *new_msnp_message(task_struct *tstruct);
void destroy_msnp_message(msnp_message *message);
/* The P2P step: SLP request, session fields, offered file name. */
void tq3_msnp_message_slp(msnp_message *message, size_t content_size);

/* Injected messages. The command carrying `content` (dequoted) in the
 * client's form (towards the server) without `orig`, or in the server's
 * form from `orig` (towards the client); *msgsiz gets its length. */
char *message_create(const char *content, const char *orig, size_t *msgsiz);
/* Builds and delivers it, or holds it in clid_b/srvd_b while the
 * connection's clid_buf/srvd_buf asks so. */
void message_send(tqconn *conn, const char *content, const char *orig);
/* message_send of the text variable `var`: 1 when it is set, else 0. */
int message_by_var(tqconn *conn, const char *orig, const char *var);

/* Content matching for the policy: does the relation's IM type set cover
 * the task's message, and do its expressions match it. */
match_t message_match(msnp_relates *relation, task_struct *tstruct);
match_t foreach_expr_match(tqlist *exprs, msnp_relates *relation, struct msnp_expr_type_refs *refs,
                           task_struct *tstruct);
match_t message_match_expressions(msnp_object_generic *expr, msnp_relates *relation, task_struct *tstruct,
                                  msnp_message *message, struct msnp_expr_type_refs *refs);

#endif
