/* Stream decoupler and command dispatcher.
 *
 * The host hands us arbitrary cuts of an MSNP stream. The decoupler turns a
 * cut into whole commands: a line command is a line with its CR LF, a
 * payload command is its header line plus the number of bytes the header
 * names, which may hold anything (NUL and CR LF included) and is therefore
 * never searched. The dispatcher wraps one piece in a task_struct and runs
 * the handler of the chunk's direction.
 *
 * Where a command ends is the framing's to say (tq3_msnp_framing), which
 * the gateway shares; the pieces point into one private copy of the chunk
 * that ends with NUL padding, so the handlers' text searches stop there.
 * The tasklet's tasks work on their pieces in that copy, which then goes
 * out to the host as it is. */
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_framing.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_task.h"
#include "tqconn.h"
#include "utils.h"

namespace {

constexpr size_t kGrowStep = 128;
constexpr size_t kLeadPad = 4;
constexpr size_t kTrailPad = 12;
/* Words strexplode may produce: one slot of data_pieces stays for the
 * terminating null. */
constexpr int kMaxWords = MSNP_MAX_WORDS - 1;

} // namespace

/* ------------------------------------------------------------------ */
/* Decoupled record                                                    */
/* ------------------------------------------------------------------ */

tq3_decouple_data *tq3_decouple_data_new(char *base)
{
    auto *dd = static_cast<tq3_decouple_data *>(calloc(1, sizeof(tq3_decouple_data)));
    if (!dd)
        return nullptr;
    dd->ptrs = static_cast<char **>(malloc(kGrowStep * sizeof(char *)));
    dd->ptrsize = static_cast<size_t *>(malloc(kGrowStep * sizeof(size_t)));
    dd->fit = static_cast<unsigned char *>(malloc(kGrowStep));
    if (!dd->ptrs || !dd->ptrsize || !dd->fit) {
        free(dd->ptrs);
        free(dd->ptrsize);
        free(dd->fit);
        free(dd);
        return nullptr;
    }
    dd->base = base;
    dd->room = kGrowStep;
    dd->size = 0;
    dd->moredata = 1;
    dd->incomplete = 0;
    return dd;
}

void tq3_decouple_data_resize(tq3_decouple_data *dd, size_t index)
{
    if (!dd || index > SIZE_MAX / sizeof(size_t) - kGrowStep)
        return;
    size_t want = index + kGrowStep;
    if (want <= dd->room)
        return;
    auto *ptrs = static_cast<char **>(realloc(dd->ptrs, want * sizeof(char *)));
    if (!ptrs)
        return;
    dd->ptrs = ptrs;
    auto *sizes = static_cast<size_t *>(realloc(dd->ptrsize, want * sizeof(size_t)));
    if (!sizes)
        return; /* ptrs is larger than needed; room still tells the truth */
    dd->ptrsize = sizes;
    auto *fit = static_cast<unsigned char *>(realloc(dd->fit, want));
    if (!fit)
        return;
    dd->fit = fit;
    dd->room = want;
}

void tq3_decouple_data_destroy(tq3_decouple_data *dd)
{
    if (!dd)
        return;
    free(dd->base);
    free(dd->ptrs);
    free(dd->ptrsize);
    free(dd->fit);
    free(dd);
}

int opcode_count_args(const char *data, const char *sep, const char *end)
{
    int count = 0;
    if (!data || !sep)
        return 0;
    if (!end)
        end = "";
    for (const char *p = data; *p != '\0' && !strchr(end, *p); ++p)
        if (strchr(sep, *p))
            ++count;
    return count;
}

tq3_decouple_data *tq3_msn_decouple(const unsigned char *dados, size_t tam)
{
    return tq3_msn_decouple_as(dados, tam, msnp_dialect{0, MSNP_ROLE_ANY, -1});
}

tq3_decouple_data *tq3_msn_decouple_as(const unsigned char *dados, size_t tam, msnp_dialect dialect)
{
    if ((!dados && tam) || tam > SIZE_MAX - kLeadPad - kTrailPad)
        return nullptr;
    char *base = static_cast<char *>(malloc(kLeadPad + tam + kTrailPad));
    if (!base)
        return nullptr;
    memset(base, 0, kLeadPad);
    if (tam)
        memcpy(base + kLeadPad, dados, tam);
    memset(base + kLeadPad + tam, 0, kTrailPad);

    tq3_decouple_data *dd = tq3_decouple_data_new(base);
    if (!dd) {
        free(base);
        return nullptr;
    }
    char *cur = base + kLeadPad;
    dd->ptrs[0] = cur;
    if (tam == 0)
        return dd;

    size_t consumed = 0;
    size_t index = 0;
    char *next;
    do {
        msnp_frame f = msnp_frame_next(cur, tam - consumed, dialect);
        next = f.boundary ? cur + f.size : nullptr;
        if (f.exact)
            dd->moredata = 0;

        if ((index + 1) % kGrowStep == 0)
            tq3_decouple_data_resize(dd, index + 1);
        if (index + 1 >= dd->room)
            next = nullptr; /* no room for another piece: keep the rest whole */

        dd->fit[index] = static_cast<unsigned char>(f.fit);
        if (next) {
            dd->ptrsize[index] = static_cast<size_t>(next - dd->ptrs[index]);
            consumed += dd->ptrsize[index];
            ++index;
            dd->ptrs[index] = next;
            cur = next;
        } else {
            dd->ptrsize[index] = tam - consumed;
            ++index;
        }
        dd->incomplete = f.cut;
    } while (next && static_cast<size_t>(next - dd->ptrs[0]) < tam);

    dd->size = index;
    return dd;
}

/* ------------------------------------------------------------------ */
/* Tasks and dispatch                                                  */
/* ------------------------------------------------------------------ */

static char *copy_piece(const char *bytes, size_t len)
{
    if (len == SIZE_MAX)
        return nullptr;
    char *copy = static_cast<char *>(malloc(len + 1));
    if (!copy)
        return nullptr;
    memcpy(copy, bytes, len);
    copy[len] = '\0';
    return copy;
}

static msnp_handler handler_for(const msnp_table *table, conn_direction dir)
{
    /* Only the two relaying directions have handler slots. */
    if (!table || (dir != DIR_SERVER_TO_CLIENT && dir != DIR_CLIENT_TO_SERVER))
        return nullptr;
    return table->handler[dir];
}

static task_struct *make_task(tq3_decouple_data *data, int index, tqconn *conn, const msnp_table *table,
                              tq3_module *self, bool in_place)
{
    if (!data || !conn || index < 0 || static_cast<size_t>(index) >= data->size)
        return nullptr;
    auto *t = static_cast<task_struct *>(calloc(1, sizeof(task_struct)));
    if (!t)
        return nullptr;
    char *piece = data->ptrs[index];
    size_t len = data->ptrsize[index];
    if (in_place) {
        t->data_buffer = piece;
        t->data_lent = 1;
    } else if (!(t->data_buffer = copy_piece(piece, len))) {
        free(t);
        return nullptr;
    }
    t->buffer_size = len;
    if (handler_for(table, conn->direction) && (table->optype & MSNP_OPTYPE_SAFE_EXPLODE)) {
        t->safe_buffer = copy_piece(piece, len);
        if (!t->safe_buffer) {
            task_struct_destroy(t);
            return nullptr;
        }
    }
    t->conn = conn;
    t->self = self;
    t->opcode = table ? table->opcode : MSN_OPCODE_UNKNOWN;
    return t;
}

task_struct *new_task_struct(tq3_decouple_data *data, int index, tqconn *conn,
                             const msnp_table *table, tq3_module *self)
{
    return make_task(data, index, conn, table, self, false);
}

void msnp_task_set_buffer(task_struct *tstruct, char *bytes, size_t size)
{
    if (!tstruct->data_lent)
        free(tstruct->data_buffer);
    tstruct->data_buffer = bytes;
    tstruct->buffer_size = size;
    tstruct->data_lent = 0;
}

void task_struct_destroy(task_struct *tstruct)
{
    if (!tstruct)
        return;
    if (!tstruct->data_lent)
        free(tstruct->data_buffer);
    free(tstruct->safe_buffer);
    destroy_msnp_message(tstruct->message);
    /* The matcher's visited sets only point at policy objects. */
    tqlist_destroy_without_refs(&tstruct->lda_groups);
    tqlist_destroy_without_refs(&tstruct->lda_supers);
    tqlist_destroy_without_refs(&tstruct->lda_objects);
    tqlist_destroy_without_refs(&tstruct->lda_temp);
    free(tstruct);
}

const msnp_table *tq3_msn_piece_entry(const tq3_decouple_data *data, size_t index,
                                      msnp_table_lookup lookup)
{
    if (!lookup)
        lookup = table_search_opcode_wrapper;
    char word[4] = {0, 0, 0, 0};
    if (data && index < data->size) {
        size_t n = data->ptrsize[index] < 3 ? data->ptrsize[index] : 3;
        memcpy(word, data->ptrs[index], n);
    }
    return lookup(word);
}

static match_t dispatch(task_struct **tstruct, tqconn *conn, tq3_decouple_data *data, size_t index,
                        tq3_module *self, const msnp_table *entry, bool in_place)
{
    if (tstruct)
        *tstruct = nullptr;
    if (!tstruct || !conn || !data || index >= data->size || index > INT_MAX)
        return TQ_MATCH_PASS;
    task_struct *t = make_task(data, static_cast<int>(index), conn, entry, self, in_place);
    *tstruct = t;
    /* Without a task the caller forwards the piece as it came. */
    if (!t || !entry || entry->opcode == MSN_OPCODE_UNKNOWN)
        return TQ_MATCH_PASS;
    msnp_handler handler = handler_for(entry, conn->direction);
    if (!handler)
        return TQ_MATCH_PASS;
    /* Until the login handler identifies the user these pass unfiltered. */
    if (!conn->plugin && (entry->optype & MSNP_OPTYPE_NEEDUSER))
        return TQ_MATCH_PASS;
    if (entry->optype & MSNP_OPTYPE_SAFE_EXPLODE) {
        int n = strexplode(t->safe_buffer, t->data_pieces, kMaxWords, " \r\n", 0);
        if (n < 0)
            n = 0;
        t->data_bpsize = static_cast<size_t>(n);
        t->data_pieces[n] = nullptr;
    }
    if (!in_place)
        return handler(t);
    /* The handler reads its piece as a string, as it reads a copy: the
     * byte after it (the next piece's first, or padding) is a NUL until it
     * returns. */
    char *end = data->ptrs[index] + data->ptrsize[index];
    char saved = *end;
    *end = '\0';
    match_t verdict = handler(t);
    *end = saved;
    return verdict;
}

match_t tq3_msn_dispatch_entry(task_struct **tstruct, tqconn *conn, tq3_decouple_data *data,
                               size_t index, tq3_module *self, const msnp_table *entry)
{
    return dispatch(tstruct, conn, data, index, self, entry, false);
}

match_t tq3_msn_dispatch_in_place(task_struct **tstruct, tqconn *conn, tq3_decouple_data *data,
                                  size_t index, tq3_module *self, const msnp_table *entry)
{
    return dispatch(tstruct, conn, data, index, self, entry, true);
}

match_t tq3_msn_dispatcher(task_struct **tstruct, tqconn *conn, tq3_decouple_data *data,
                           size_t index, tq3_module *self)
{
    return tq3_msn_dispatch_entry(tstruct, conn, data, index, self,
                                  tq3_msn_piece_entry(data, index, table_search_opcode_wrapper));
}
