/* Stream decoupler and command dispatcher.
 *
 * The host hands us arbitrary cuts of an MSNP stream. The decoupler turns a
 * cut into whole commands: a line command is a line with its CR LF, a
 * payload command is its header line plus the number of bytes the header
 * names, which may hold anything (NUL and CR LF included) and is therefore
 * never searched. The dispatcher wraps one piece in a task_struct and runs
 * the handler of the chunk's direction.
 *
 * Everything here reads bytes a peer chose: lengths are parsed by a bounded
 * digit reader and clamped to what the chunk really holds, and every text
 * search runs inside a private copy that ends with NUL padding. */
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "tq3_msnp.h"

namespace {

constexpr size_t kGrowStep = 128;
constexpr size_t kLeadPad = 4;
constexpr size_t kTrailPad = 12;
/* Words strexplode may produce: one slot of data_pieces stays for the
 * terminating null. */
constexpr int kMaxWords = MSNP_MAX_WORDS - 1;

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

/* The words of one header line, after the three-letter command. Only the
 * first few matter, so the rest are not recorded. */
struct line_words {
    static constexpr int kMax = 10;
    const char *start[kMax];
    size_t len[kMax];
    int count;
};

void split_line(const char *line, const char *line_end, line_words *w)
{
    w->count = 0;
    const char *p = line + 3 < line_end ? line + 3 : line_end;
    while (p < line_end && w->count < line_words::kMax) {
        while (p < line_end && is_blank(*p))
            ++p;
        if (p >= line_end)
            break;
        const char *s = p;
        while (p < line_end && !is_blank(*p))
            ++p;
        w->start[w->count] = s;
        w->len[w->count] = static_cast<size_t>(p - s);
        ++w->count;
    }
}

enum num_result { NUM_BAD = 0, NUM_OK = 1 };

/* Reads an optional sign and decimal digits at the start of a word.
 * `whole` demands that nothing follows the digits. A value too large for
 * size_t saturates: it can only mean "more than any chunk holds". A
 * negative value reads as 0, so a length never moves us backwards. */
num_result read_number(const char *s, size_t len, bool whole, size_t *value)
{
    size_t i = 0;
    bool negative = false;
    if (i < len && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    if (i >= len || s[i] < '0' || s[i] > '9')
        return NUM_BAD;
    size_t v = 0;
    for (; i < len && s[i] >= '0' && s[i] <= '9'; ++i) {
        unsigned d = static_cast<unsigned>(s[i] - '0');
        if (v > (SIZE_MAX - d) / 10)
            v = SIZE_MAX;
        else
            v = v * 10 + d;
    }
    if (whole && i != len)
        return NUM_BAD;
    *value = negative ? 0 : v;
    return NUM_OK;
}

/* Reads the length from a header line shaped by `form`: one letter per
 * argument, 'n' a number and 's' any word; the last argument is the
 * length. A line that does not fit the form up to the length reads as 0. */
size_t length_by_form(const line_words &w, const char *form)
{
    size_t n = strlen(form);
    if (static_cast<size_t>(w.count) < n)
        return 0;
    size_t value = 0;
    for (size_t i = 0; i + 1 < n; ++i)
        if (form[i] == 'n' && read_number(w.start[i], w.len[i], true, &value) != NUM_OK)
            return 0;
    if (read_number(w.start[n - 1], w.len[n - 1], false, &value) != NUM_OK)
        return 0;
    return value;
}

enum piece_kind { PIECE_LINE, PIECE_PAYLOAD };

/* Classifies the command whose line is [cur, line_end) and, for a payload
 * command, reads the payload length. */
piece_kind classify(const msnp_table *entry, const char *cur, const char *line_end, size_t *len)
{
    *len = 0;
    msnp_opcode op = entry->opcode;
    bool qry_sdc = op == MSN_OPCODE_QRY || op == MSN_OPCODE_SDC;
    if (!(entry->optype & MSNP_OPTYPE_OFFSET) && !qry_sdc)
        return PIECE_LINE;

    line_words w;
    split_line(cur, line_end, &w);
    const char *form = nullptr;
    int blanks = 0;
    switch (op) {
    case MSN_OPCODE_MSG: form = "ssn"; break;
    case MSN_OPCODE_UUX: form = "nn"; break;
    case MSN_OPCODE_UBN: form = "snn"; break;
    case MSN_OPCODE_PGD: form = "nsnn"; break;
    case MSN_OPCODE_PAG: form = "nsn"; break;
    case MSN_OPCODE_IPG: form = "n"; break;
    case MSN_OPCODE_NOT: form = "n"; break;
    case MSN_OPCODE_ADL: form = "nn"; break;
    case MSN_OPCODE_RML: form = "nn"; break;
    case MSN_OPCODE_UUM: form = "nsnnn"; break;
    case MSN_OPCODE_UBM: form = "snnn"; break;
    case MSN_OPCODE_FQY: form = "nn"; break;
    case MSN_OPCODE_GCF: {
        blanks = opcode_count_args(cur, " ", "\r\n");
        if (blanks == 3) {
            form = "nsn";
        } else if (blanks == 2) {
            /* Only a transaction id of 0 announces a payload; otherwise the
             * second argument is a file name. */
            size_t trid = 0;
            if (w.count < 1 || read_number(w.start[0], w.len[0], true, &trid) != NUM_OK)
                return PIECE_PAYLOAD; /* malformed: length 0 */
            if (trid != 0)
                return PIECE_LINE;
            form = "nn";
        } else {
            return PIECE_LINE;
        }
        break;
    }
    case MSN_OPCODE_UBX:
        blanks = opcode_count_args(cur, " ", "\r\n");
        form = blanks == 2 ? "sn" : "snn";
        break;
    case MSN_OPCODE_UUN:
        blanks = opcode_count_args(cur, " ", "\r\n");
        if (blanks <= 2)
            return PIECE_LINE;
        form = "nsnn";
        break;
    case MSN_OPCODE_QRY:
    case MSN_OPCODE_SDC:
        blanks = opcode_count_args(cur, " ", "\r\n");
        if (blanks == 1 || blanks == 2)
            return PIECE_LINE;
        form = op == MSN_OPCODE_QRY ? "nsn" : "nsssssssn";
        break;
    default:
        /* A flagged command without a known layout: no payload to skip. */
        return PIECE_PAYLOAD;
    }
    *len = length_by_form(w, form);
    return PIECE_PAYLOAD;
}

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
    if (!dd->ptrs || !dd->ptrsize) {
        free(dd->ptrs);
        free(dd->ptrsize);
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
    dd->room = want;
}

void tq3_decouple_data_destroy(tq3_decouple_data *dd)
{
    if (!dd)
        return;
    free(dd->base);
    free(dd->ptrs);
    free(dd->ptrsize);
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
        bool cut = false;
        /* The copy ends in NULs and cur never passes the chunk's end, so
         * this search stops inside the copy at the latest there. */
        char *crlf = strstr(cur, "\r\n");
        next = nullptr;
        if (crlf) {
            next = crlf + 2;
            const msnp_table *entry = table_search_opcode_wrapper(cur);
            size_t len = 0;
            if (classify(entry, cur, crlf, &len) == PIECE_PAYLOAD) {
                size_t head = static_cast<size_t>(crlf - cur);
                size_t left = tam - consumed;
                /* head + 2 <= left: the CR LF lies inside the chunk. */
                if (len > left - head - 2) {
                    len = left - head - 2;
                    cut = true;
                }
                next = cur + head + 2 + len;
                if (!cut && *next == '\0') {
                    dd->moredata = 0;
                    next = nullptr;
                }
            }
        }

        if ((index + 1) % kGrowStep == 0)
            tq3_decouple_data_resize(dd, index + 1);
        if (index + 1 >= dd->room)
            next = nullptr; /* no room for another piece: keep the rest whole */

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
        dd->incomplete = cut ? 1 : 0;
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

task_struct *new_task_struct(tq3_decouple_data *data, int index, tqconn *conn,
                             const msnp_table *table, tq3_module *self)
{
    if (!data || !conn || index < 0 || static_cast<size_t>(index) >= data->size)
        return nullptr;
    auto *t = static_cast<task_struct *>(calloc(1, sizeof(task_struct)));
    if (!t)
        return nullptr;
    const char *piece = data->ptrs[index];
    size_t len = data->ptrsize[index];
    t->data_buffer = copy_piece(piece, len);
    if (!t->data_buffer) {
        free(t);
        return nullptr;
    }
    t->buffer_size = len;
    if (handler_for(table, conn->direction)) {
        t->safe_buffer = copy_piece(piece, len);
        if (!t->safe_buffer) {
            free(t->data_buffer);
            free(t);
            return nullptr;
        }
    }
    t->conn = conn;
    t->self = self;
    t->opcode = table ? table->opcode : MSN_OPCODE_UNKNOWN;
    t->data_bpsize = 0;
    t->message = nullptr;
    t->risk_level = 0;
    t->lda_groups = t->lda_supers = t->lda_objects = t->lda_temp = nullptr;
    return t;
}

void task_struct_destroy(task_struct *tstruct)
{
    if (!tstruct)
        return;
    free(tstruct->data_buffer);
    free(tstruct->safe_buffer);
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

match_t tq3_msn_dispatch_entry(task_struct **tstruct, tqconn *conn, tq3_decouple_data *data,
                               size_t index, tq3_module *self, const msnp_table *entry)
{
    if (tstruct)
        *tstruct = nullptr;
    if (!tstruct || !conn || !data || index >= data->size || index > INT_MAX)
        return TQ_MATCH_PASS;
    task_struct *t = new_task_struct(data, static_cast<int>(index), conn, entry, self);
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
    return handler(t);
}

match_t tq3_msn_dispatcher(task_struct **tstruct, tqconn *conn, tq3_decouple_data *data,
                           size_t index, tq3_module *self)
{
    return tq3_msn_dispatch_entry(tstruct, conn, data, index, self,
                                  tq3_msn_piece_entry(data, index, table_search_opcode_wrapper));
}
