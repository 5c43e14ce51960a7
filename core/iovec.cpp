// I/O vector of byte pieces. Owned pieces are malloc'd so that a module may
// take one over or hand one in with the C allocator; lent pieces spare a
// relay copying every byte it only looks at.
#include "tq3_iovec.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool grow(tq3_iov *iov)
{
    if (iov->iovc < iov->room)
        return true;
    size_t room = iov->room ? iov->room * 2 : 8;
    if (room > SIZE_MAX / sizeof(unsigned char *))
        return false;
    auto *data = static_cast<unsigned char **>(std::realloc(iov->data, room * sizeof(unsigned char *)));
    if (!data)
        return false;
    iov->data = data;
    auto *size = static_cast<size_t *>(std::realloc(iov->size, room * sizeof(size_t)));
    if (!size)
        return false; // `data` is already larger, which is harmless
    iov->size = size;
    auto *lent = static_cast<unsigned char *>(std::realloc(iov->lent, room));
    if (!lent)
        return false; // as above
    iov->lent = lent;
    iov->room = room;
    return true;
}

// Stores a piece; an owned one is the vector's only on success.
bool push(tq3_iov *iov, unsigned char *piece, size_t len, bool lent = false)
{
    if (!grow(iov))
        return false;
    iov->data[iov->iovc] = piece;
    iov->size[iov->iovc] = len;
    iov->lent[iov->iovc] = lent;
    ++iov->iovc;
    return true;
}

} // namespace

extern "C" {

tq3_iov *tq3_iov_new(void)
{
    return static_cast<tq3_iov *>(std::calloc(1, sizeof(tq3_iov)));
}

int tq3_iov_add(tq3_iov *iov, const void *bytes, size_t len)
{
    if (!iov || (!bytes && len))
        return 0;
    if (len == 0)
        return 1;
    auto *piece = static_cast<unsigned char *>(std::malloc(len));
    if (!piece)
        return 0;
    std::memcpy(piece, bytes, len);
    if (!push(iov, piece, len)) {
        std::free(piece);
        return 0;
    }
    return 1;
}

int tq3_iov_take(tq3_iov *iov, void *bytes, size_t len)
{
    if (!iov || !bytes)
        return 0;
    if (len == 0) {
        std::free(bytes);
        return 1;
    }
    return push(iov, static_cast<unsigned char *>(bytes), len) ? 1 : 0;
}

int tq3_iov_lend(tq3_iov *iov, const void *bytes, size_t len)
{
    if (!iov || (!bytes && len))
        return 0;
    if (len == 0)
        return 1;
    auto *piece = static_cast<unsigned char *>(const_cast<void *>(bytes));
    if (iov->iovc) {
        size_t last = iov->iovc - 1;
        if (iov->lent[last] && iov->data[last] + iov->size[last] == piece) {
            iov->size[last] += len;
            return 1;
        }
    }
    return push(iov, piece, len, true) ? 1 : 0;
}

int tq3_iov_keep(tq3_iov *iov, void *block)
{
    if (!iov || !block)
        return 0;
    if (iov->blockc == iov->blockroom) {
        size_t room = iov->blockroom ? iov->blockroom * 2 : 2;
        auto *blocks = static_cast<void **>(std::realloc(iov->blocks, room * sizeof(void *)));
        if (!blocks)
            return 0;
        iov->blocks = blocks;
        iov->blockroom = room;
    }
    iov->blocks[iov->blockc++] = block;
    return 1;
}

int tq3_iov_add_fmt(tq3_iov *iov, const char *fmt, ...)
{
    if (!iov || !fmt)
        return 0;
    char *text = nullptr;
    va_list ap;
    va_start(ap, fmt);
    int n = vasprintf(&text, fmt, ap);
    va_end(ap);
    if (n < 0)
        return 0;
    if (n == 0) {
        std::free(text);
        return 1;
    }
    if (!push(iov, reinterpret_cast<unsigned char *>(text), static_cast<size_t>(n))) {
        std::free(text);
        return 0;
    }
    return 1;
}

size_t tq3_iov_length(const tq3_iov *iov)
{
    if (!iov)
        return 0;
    size_t total = 0;
    for (size_t i = 0; i < iov->iovc; ++i)
        total += iov->size[i];
    return total;
}

unsigned char *tq3_iov_reassembly(const tq3_iov *iov, size_t *len)
{
    if (len)
        *len = 0;
    size_t total = tq3_iov_length(iov);
    if (total == 0 || total == SIZE_MAX)
        return nullptr;
    auto *out = static_cast<unsigned char *>(std::malloc(total + 1));
    if (!out)
        return nullptr;
    size_t at = 0;
    for (size_t i = 0; i < iov->iovc; ++i) {
        if (iov->size[i]) {
            std::memcpy(out + at, iov->data[i], iov->size[i]);
            at += iov->size[i];
        }
    }
    out[at] = '\0';
    if (len)
        *len = at;
    return out;
}

void tq3_iov_reuse(tq3_iov *iov)
{
    if (!iov)
        return;
    for (size_t i = 0; i < iov->iovc; ++i)
        if (!iov->lent[i])
            std::free(iov->data[i]);
    iov->iovc = 0;
    for (size_t i = 0; i < iov->blockc; ++i)
        std::free(iov->blocks[i]);
    iov->blockc = 0;
}

void tq3_iov_dtr(tq3_iov *iov)
{
    if (!iov)
        return;
    tq3_iov_reuse(iov);
    std::free(iov->data);
    std::free(iov->size);
    std::free(iov->lent);
    std::free(iov->blocks);
    std::free(iov);
}

} // extern "C"
