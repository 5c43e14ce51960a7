/* MSNP framing: where one command ends in a byte stream.
 * Shared by the module's decoupler and the gateway, which holds back the
 * incomplete tail of a read, so that both cut every stream alike.
 *
 * A line command ends with its first CR LF (searched as text: a NUL byte
 * ends the search). A payload command's header line names how many bytes
 * of payload follow it; the payload may hold anything and is not searched.
 * Nothing here reads outside [cur, cur + left). */
#ifndef TQ3_MSNP_FRAMING_H
#define TQ3_MSNP_FRAMING_H

#include <stddef.h>

typedef struct msnp_frame {
    size_t size;  /* bytes of the piece, at most `left` */
    int boundary; /* the piece ends where another command may begin; 0
                   * when it takes the rest of the bytes because no
                   * boundary was found */
    int payload;  /* a payload command (payload included in size) */
    int cut;      /* a payload command whose payload the bytes cut short */
    int exact;    /* a complete payload command that ends with the bytes
                   * (or before a NUL byte): no more data is expected */
} msnp_frame;

/* The first piece of the `left` bytes at `cur` (left > 0). */
msnp_frame msnp_frame_next(const char *cur, size_t left);

/* Whether the three-letter command carries a payload in some form. */
int msnp_frame_payload_command(const char *cmd);

/* The payload length a header line [line, line_end) (without its CR LF)
 * announces; 0 for line commands and for lines that do not fit their
 * command's form. *payload tells a payload command from a line command. */
size_t msnp_frame_payload_length(const char *line, const char *line_end, int *payload);

#endif
