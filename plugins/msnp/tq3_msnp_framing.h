/* MSNP framing: where one command ends in a byte stream, read the way the
 * server (or the client) at the other end reads it.
 * Shared by the module's decoupler and the gateway, which holds back the
 * incomplete tail of a read, so that both cut every stream alike.
 *
 * Which commands carry a payload, and in which form, depends on who sends
 * them, on the connection's role (notification or switchboard server) and
 * on the protocol version the VER exchange settled: `PAG 4 x 60` is a page
 * with a payload from an MSNP8 client and a plain (unknown) line from an
 * MSNP12 one. Before the version or the role is known, every form that
 * any of them allows is taken.
 *
 * A line command ends with its first CR LF. A payload command's header line
 * names how many bytes of payload follow it; the payload may hold anything
 * and is not searched. A command word that no peer of that dialect sends is
 * framed as a line and reported as unknown; a line that cannot be a command
 * at all (a NUL byte in it, a known word in other letter case, a payload
 * header that does not fit its form) as malformed. Nothing here reads
 * outside [cur, cur + left). */
#ifndef TQ3_MSNP_FRAMING_H
#define TQ3_MSNP_FRAMING_H

#include <stddef.h>

enum msnp_role { MSNP_ROLE_ANY = 0, MSNP_ROLE_NS = 1, MSNP_ROLE_SB = 2 };

/* How one direction of one connection is read. */
typedef struct msnp_dialect {
    unsigned version;   /* MSNPn's n; 0 while not settled */
    unsigned role;      /* msnp_role */
    int from_client;    /* 1: client -> server, 0: server -> client,
                         * -1: either (a sender not known) */
} msnp_dialect;

/* The framing state a module keeps in the host's connection record
 * (tqconn.frame_state), so that the host cuts the stream as it does. */
unsigned msnp_dialect_pack(unsigned version, unsigned role);
msnp_dialect msnp_dialect_unpack(unsigned state, int from_client);
/* `state` with the role the server has shown, when none was known. */
unsigned msnp_dialect_learn_role(unsigned state, unsigned role);

enum msnp_fit {
    MSNP_FIT_COMMAND = 0,   /* a command of this dialect */
    MSNP_FIT_UNKNOWN = 1,   /* a word this dialect has no command for */
    MSNP_FIT_MALFORMED = 2  /* not a command in any dialect */
};

typedef struct msnp_frame {
    size_t size;  /* bytes of the piece, at most `left` */
    int boundary; /* the piece ends where another command may begin; 0
                   * when it takes the rest of the bytes because no
                   * boundary was found */
    int payload;  /* a payload command (payload included in size) */
    int cut;      /* a payload command whose payload the bytes cut short */
    int exact;    /* a complete payload command that ends with the bytes:
                   * no more data is expected */
    int fit;      /* msnp_fit */
} msnp_frame;

/* The first piece of the `left` bytes at `cur` (left > 0). */
msnp_frame msnp_frame_next(const char *cur, size_t left, msnp_dialect dialect);

/* Whether the three-letter command carries a payload in some dialect. */
int msnp_frame_payload_command(const char *cmd);

#endif
