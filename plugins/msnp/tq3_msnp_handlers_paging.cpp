/* Pages (PAG, PGD, IPG), e-mail invitations (SDC) and user-to-user
 * notifications (UUN, UBN) on the notification connection. Each is put to
 * the policy for its contact; the text of what the user sends is checked
 * and logged as a message's. A notification that carries a SIP invitation to a voice or video session
 * is classified as a P2P message of that invitation type, so that IM type
 * sets can refuse voice or webcam invitations sent this way, and it is
 * recorded like a message. */
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tq3_core_interface.h"
#include "tq3_iovec.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_match.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_task.h"

int msnp_decode_sip_base64_type(const char *msg_data)
{
    if (!msg_data)
        return 0;
    /* Every line is decoded from its start to the end of the text: the
     * decoder stops at what is not base64, so each line yields itself. */
    tq3_iov *iov = tq3_iov_new();
    if (!iov)
        return 0;
    for (const char *at = msg_data;;) {
        char *decoded = iks_base64_decode(at);
        if (decoded) {
            tq3_iov_add(iov, decoded, strlen(decoded));
            iks_free(decoded);
        }
        const char *eol = strstr(at, "\r\n");
        if (!eol || !eol[2])
            break;
        at = eol + 2;
    }
    size_t size = 0;
    unsigned char *joined = tq3_iov_reassembly(iov, &size);
    tq3_iov_dtr(iov);
    int type = 0;
    if (joined) {
        const char *text = reinterpret_cast<const char *>(joined);
        if (memmem(text, size, "m=video", 7))
            type = MSNP_INVITE_WEBCAM;
        else if (memmem(text, size, "m=audio", 7))
            type = MSNP_INVITE_VOICE;
        free(joined);
    }
    return type;
}

msnp_message *msnp_process_notification(task_struct *t)
{
    if (!t || !t->data_buffer)
        return nullptr;
    auto *m = static_cast<msnp_message *>(calloc(1, sizeof(msnp_message)));
    if (!m)
        return nullptr;
    m->basecontent = static_cast<char *>(malloc(t->buffer_size + 1));
    if (!m->basecontent) {
        free(m);
        return nullptr;
    }
    memcpy(m->basecontent, t->data_buffer, t->buffer_size);
    m->basecontent[t->buffer_size] = '\0';
    m->content = m->basecontent;
    m->content_len = strlen(m->content);

    int type = 0;
    if (const char *sip = strstr(m->basecontent, "<sip")) {
        int err = 0;
        iks *tree = iks_tree(sip, 0, &err);
        iks *msg = tree ? iks_find(tree, "msg") : nullptr;
        /* The reader may hand the element's text over in several pieces
         * (it breaks at line ends): the text is all of them. */
        std::string text;
        for (iks *c = msg ? iks_child(msg) : nullptr; c && iks_type(c) == IKS_CDATA; c = iks_next(c))
            text.append(iks_cdata(c), iks_cdata_size(c));
        if (!text.empty())
            type = msnp_decode_sip_base64_type(text.c_str());
        iks_delete(tree);
    }
    if (type == 0) {
        destroy_msnp_message(m);
        return nullptr;
    }
    m->ctype = MSNP_MESSAGE_P2P;
    m->itype = static_cast<msnp_invite_code>(type);
    return m;
}

namespace {

/* A page or an e-mail invitation: the text the user sends the contact the
 * line names ("PAG trid handle len", "PGD trid handle 1 len", "SDC trid
 * handle lcid ... name len"), decided, checked and logged as a message to
 * that contact. */
match_t decide_text_to_contact(task_struct *t, msnp_stat_family &family)
{
    family.count();
    char *handle = msnp_contact_word(t, 2);
    const char *eol = t->data_buffer ? static_cast<const char *>(memmem(t->data_buffer, t->buffer_size, "\r\n", 2)) : nullptr;
    size_t body = eol ? t->buffer_size - static_cast<size_t>(eol + 2 - t->data_buffer) : 0;
    msnp_message *m = msnp_text_message(eol ? eol + 2 : "", body);
    if (!m) {
        free(handle);
        family.count_result(TQ_MATCH_BLOCK);
        return TQ_MATCH_BLOCK;
    }
    msnp_conntrack *ct = msnp_task_tracker(t);
    m->dest = handle ? strdup(handle) : nullptr;
    m->orig = ct && ct->user_handle ? strdup(ct->user_handle) : nullptr;
    destroy_msnp_message(t->message);
    t->message = m;
    match_t verdict = handle ? rtree_backref_match(t, handle) : TQ_MATCH_BLOCK;
    message_log(m, t, verdict);
    family.count_result(verdict);
    free(handle);
    return verdict;
}

} // namespace

match_t tq3_handler_pgd(task_struct *t)
{
    static msnp_stat_family family("stats-paging-send");
    return decide_text_to_contact(t, family);
}

match_t tq3_handler_pag(task_struct *t)
{
    static msnp_stat_family family("stats-paging-send");
    return decide_text_to_contact(t, family);
}

match_t tq3_handler_sdc(task_struct *t)
{
    static msnp_stat_family family("stats-email-invitation");
    return decide_text_to_contact(t, family);
}

match_t tq3_handler_ipg(task_struct *t)
{
    static msnp_stat_family family("stats-paging-receive");
    family.count();
    match_t verdict = TQ_MATCH_PASS;
    const char *eol = t->data_buffer ? strstr(t->data_buffer, "\r\n") : nullptr;
    if (eol) {
        int err = 0;
        iks *tree = iks_tree(eol + 2, 0, &err);
        iks *from = tree ? iks_find(tree, "FROM") : nullptr;
        const char *name = from ? iks_find_attrib(from, "name") : nullptr;
        if (name)
            verdict = rtree_backref_match(t, name);
        iks_delete(tree);
    }
    family.count_result(verdict);
    return verdict;
}

match_t tq3_handler_uun_ubn(task_struct *t)
{
    char *handle = msnp_contact_word(t, t->opcode == MSN_OPCODE_UUN ? 2 : 1);
    msnp_scramble_address(t);
    msnp_message *m = msnp_process_notification(t);
    match_t verdict;
    if (!m) {
        verdict = rtree_backref_match(t, handle);
    } else {
        msnp_conntrack *ct = msnp_task_tracker(t);
        m->dest = handle ? strdup(handle) : nullptr;
        m->orig = ct && ct->user_handle ? strdup(ct->user_handle) : nullptr;
        /* The policy sees the invitation as a message of its type. */
        destroy_msnp_message(t->message);
        t->message = m;
        t->opcode = MSN_OPCODE_MSG;
        verdict = rtree_backref_match(t, handle);
        message_log(m, t, verdict);
        destroy_msnp_message(m);
        t->message = nullptr;
    }
    free(handle);
    return verdict;
}
