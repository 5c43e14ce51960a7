/* One command on its way through the module: the command table the
 * dispatcher reads, and the task record a handler decides. */
#ifndef TQ3_MSNP_TASK_H
#define TQ3_MSNP_TASK_H

#include <stddef.h>

#include "tq3_msnp.h"
#include "tqconn.h"
#include "tqlist.h"

struct msnp_message;

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

struct task_struct {
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
};

typedef match_t (*msnp_handler)(task_struct *tstruct);

typedef struct msnp_table {
    char strcmd[4];
    msnp_opcode opcode;
    unsigned optype;            /* msnp_optype bits */
    msnp_handler handler[2];    /* indexed by conn_direction */
} msnp_table;

extern "C" const msnp_table ltable[MSN_OPCODE_UNKNOWN + 1];

#endif
