/* I/O vector: an ordered list of byte pieces, owned or lent. */
#ifndef TQ3_IOVEC_H
#define TQ3_IOVEC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tq3_iov {
    unsigned char **data; /* piece bytes, owned unless lent */
    size_t *size;         /* piece lengths */
    size_t iovc;          /* number of pieces */
    size_t room;          /* allocated entries */
    unsigned char *lent;  /* per piece: 1 when the vector does not own it */
    void **blocks;        /* buffers freed with the vector's pieces */
    size_t blockc;
    size_t blockroom;
} tq3_iov;

tq3_iov *tq3_iov_new(void);
/* Appends a copy of `len` bytes. An empty piece is not stored and counts as
 * success. 1, or 0 for a NULL vector, NULL bytes with len > 0, or no
 * memory. */
int tq3_iov_add(tq3_iov *iov, const void *bytes, size_t len);
/* Appends `bytes`, a malloc'd piece of `len` bytes (or more), without a
 * copy: the vector frees it. 1; 0 (and the piece is still the caller's)
 * for a NULL vector or piece, or no memory. An empty piece is freed. */
int tq3_iov_take(tq3_iov *iov, void *bytes, size_t len);
/* Appends `len` bytes without copying or taking them: they must stay as
 * they are until the vector is reused or destroyed. Bytes that continue
 * the last piece, itself lent, lengthen it instead. 1 or 0 as for
 * tq3_iov_add. */
int tq3_iov_lend(tq3_iov *iov, const void *bytes, size_t len);
/* Gives the vector a malloc'd buffer to free when it is reused or
 * destroyed, so that pieces lent from it live as long. 1; 0 (and the
 * buffer is still the caller's) for a NULL vector or buffer, or no memory. */
int tq3_iov_keep(tq3_iov *iov, void *block);
/* Appends printf-formatted text (without its NUL). 1 or 0. */
int tq3_iov_add_fmt(tq3_iov *iov, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
/* Joins all pieces into one new buffer followed by a NUL byte that `len`
 * does not count. NULL (and *len 0) when the vector holds no bytes. */
unsigned char *tq3_iov_reassembly(const tq3_iov *iov, size_t *len);
/* Total number of bytes held. */
size_t tq3_iov_length(const tq3_iov *iov);
/* Frees the owned pieces and kept buffers and empties the vector for
 * reuse. */
void tq3_iov_reuse(tq3_iov *iov);
void tq3_iov_dtr(tq3_iov *iov);

#ifdef __cplusplus
}
#endif

#endif
