/* Messages the gateway writes into a conversation itself: the warnings,
 * block notices, welcome and allowance texts. Each carries X-Trevalquin
 * with this gateway's identifier, by which gateways know injected
 * messages in what they relay. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tq3_iovec.h"
#include "tq3_msnp.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_objects.h"
#include "tqconn.h"
#include "utils.h"

char *message_create(const char *content, const char *orig, size_t *msgsiz)
{
    if (!content)
        return nullptr;
    char *text = strdup(content);
    tq3_iov *iov = text ? tq3_iov_new() : nullptr;
    if (!iov) {
        free(text);
        return nullptr;
    }
    dequote(text, '"');
    const char *id = ents && ents->id_secure ? ents->id_secure : "";
    bool ok = tq3_iov_add_fmt(iov, "MIME-Version: 1.0\r\n") &&
              tq3_iov_add_fmt(iov, "Content-Type: text/plain; charset=%s\r\n",
                              msnp_get_var("message-warning-charset", "UTF-8")) &&
              tq3_iov_add_fmt(iov, "X-Trevalquin: %s\r\n", id) &&
              tq3_iov_add_fmt(iov, "X-MMS-IM-Format: FN=%s; EF=%s; CO=%s; PF=%s\r\n\r\n",
                              msnp_get_var("message-warning-font", "MS%20Sans%20Serif"),
                              msnp_get_var("message-warning-font-modifier", ""),
                              msnp_get_var("message-warning-font-fgcolor", "0"), "0") &&
              tq3_iov_add(iov, text, strlen(text));
    free(text);
    size_t n = 0;
    unsigned char *payload = ok ? tq3_iov_reassembly(iov, &n) : nullptr;
    tq3_iov_dtr(iov);
    if (!payload)
        return nullptr;
    char *out = nullptr;
    int len = orig ? asprintf(&out, "MSG %s %s %lu\r\n%s", orig, orig, static_cast<unsigned long>(n),
                              reinterpret_cast<char *>(payload))
                   : asprintf(&out, "MSG 0 U %lu\r\n%s", static_cast<unsigned long>(n),
                              reinterpret_cast<char *>(payload));
    free(payload);
    if (len < 0)
        return nullptr;
    if (msgsiz)
        *msgsiz = static_cast<size_t>(len);
    return out;
}

namespace {

/* Delivers now, or holds the bytes for the host to deliver after the
 * output of the command being handled (replacing bytes held before). */
void deliver(tqconn *conn, int hold, unsigned char *&held, size_t &held_size, int sock, char *msg, size_t size)
{
    if (!hold) {
        tqconn_send(conn, sock, msg, size);
        free(msg);
        return;
    }
    free(held);
    held = reinterpret_cast<unsigned char *>(msg);
    held_size = size;
}

} // namespace

void message_send(tqconn *conn, const char *content, const char *orig)
{
    if (!conn || msnp_get_var_long("message-warning-disabled", 0) == 1)
        return;
    size_t size = 0;
    char *msg = message_create(content, orig, &size);
    if (!msg)
        return;
    if (orig)
        deliver(conn, conn->clid_buf, conn->clid_b, conn->clid_bsiz, conn->clid, msg, size);
    else
        deliver(conn, conn->srvd_buf, conn->srvd_b, conn->srvd_bsiz, conn->srvd, msg, size);
}

int message_by_var(tqconn *conn, const char *orig, const char *var)
{
    const char *text = msnp_get_var(var, nullptr);
    if (!text)
        return 0;
    message_send(conn, text, orig);
    return 1;
}
