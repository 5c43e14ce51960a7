/* How a message meets the policy: whether a relation's IM type sets cover
 * its kind, and whether a relation's expressions match its text. */
#include <ctype.h>
#include <fnmatch.h>
#include <regex.h>
#include <string.h>

#include <string>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_task.h"

match_t message_match(msnp_relates *relation, task_struct *tstruct)
{
    if (!tstruct || !tstruct->message || !relation)
        return TQ_MATCH_PASS;
    msnp_message *m = tstruct->message;
    tqlist_destroy_without_refs(&tstruct->lda_temp);
    match_t r = search_imbitmap_for_message_type(tstruct, relation->imbitmaps, m->ctype);
    tqlist_destroy_without_refs(&tstruct->lda_temp);
    if (r != TQ_MATCH_PASS)
        return r;
    /* The message's header table is the task's own: no lock to take. */
    const char *via = msnp_header(m->header, "via");
    if (via && strncmp(via, "Simp", 4) == 0 && msnp_get_var_long("crypto-block-simp", 0) != 0)
        return TQ_MATCH_BLOCK;
    if (m->ctype == MSNP_MESSAGE_TEXTPLAIN && m->content && strncmp(m->content, "?OTR", 4) == 0 &&
        msnp_get_var_long("crypto-block-otr", 0) != 0)
        return TQ_MATCH_BLOCK;
    if (m->ctype == MSNP_MESSAGE_INVITE || m->ctype == MSNP_MESSAGE_P2P) {
        if (m->itype == MSNP_INVITE_UNKNOWN)
            return TQ_MATCH_PASS;
        r = search_imbitmap_for_invitation_type(tstruct, relation->imbitmaps, m->itype);
    } else if (m->ctype == MSNP_MESSAGE_DATACAST) {
        r = search_imbitmap_for_datacast_type(tstruct, relation->imbitmaps, m->dtype);
    } else {
        return TQ_MATCH_PASS;
    }
    tqlist_destroy_without_refs(&tstruct->lda_temp);
    return r;
}

match_t foreach_expr_match(tqlist *exprs, msnp_relates *relation, msnp_expr_type_refs *refs,
                           task_struct *tstruct)
{
    match_t r = TQ_MATCH_NONE;
    for (tqlist *l = exprs; l && r == TQ_MATCH_NONE; l = l->next) {
        auto *obj = static_cast<msnp_object_generic *>(l->data);
        if (!obj || !msnp_first_look(&tstruct->lda_objects, obj))
            continue;
        r = message_match_expressions(obj, relation, tstruct, tstruct->message, refs);
    }
    return r;
}

bool msnp_expr_node_matches(const msnp_expr_node *node, const char *subject, size_t size)
{
    if (!node || !subject)
        return false;
    /* A case-blind node compares with lowered text: its literal, glob and
     * required text are stored lowered. */
    std::string lowered;
    if (node->modifier & MSNP_EXPR_IGNORECASE) {
        lowered.assign(subject, size);
        for (char &c : lowered)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        subject = lowered.c_str();
    }
    switch (node->type & MSNP_EXPR_KIND_MASK) {
    case MSNP_EXPR_LITERAL:
        return node->literal && strcmp(subject, node->literal) == 0;
    case MSNP_EXPR_SRE:
    case MSNP_EXPR_ERE:
        if (node->must && !msnp_text_holds(subject, size, node->must, node->must_len, node->must_rare))
            return false;
        if (node->must_class_min && !msnp_text_has_class(subject, size, node->must_class, node->must_class_min))
            return false;
        return node->expr && regexec(node->expr, subject, 0, nullptr, 0) == 0;
    case MSNP_EXPR_GLOB:
        return node->literal && fnmatch(node->literal, subject, 0) == 0;
    default:
        return false;
    }
}

match_t message_match_expressions(msnp_object_generic *expr, msnp_relates *relation, task_struct *tstruct,
                                  msnp_message *message, msnp_expr_type_refs *refs)
{
    if (!message || !message->content)
        return TQ_MATCH_PASS;
    msnp_expr_type_refs scratch{};
    if (!refs)
        refs = &scratch;
    bool text = message->ctype == MSNP_MESSAGE_TEXTPLAIN;
    bool file = message->itype == MSNP_INVITE_FILETRANSFER;
    for (tqlist *l = expr ? static_cast<tqlist *>(expr->data) : nullptr; l; l = l->next) {
        auto *node = static_cast<msnp_expr_node *>(l->data);
        if (!node)
            continue;
        unsigned mod = node->modifier;
        if (mod & MSNP_EXPR_RAW)
            ++refs->raw;
        if (!text && !file && !(mod & MSNP_EXPR_RAW))
            continue;
        /* The parts the node reads, in order: header, body, file name. */
        const char *parts[3];
        size_t count = 0;
        if (mod & MSNP_EXPR_HEADER) {
            ++refs->header;
            parts[count++] = message->header_content ? message->header_content : "";
        }
        if (mod & MSNP_EXPR_BODY) {
            ++refs->body;
            parts[count++] = message->content;
        }
        if (mod & MSNP_EXPR_FILENAME) {
            /* Only a file-transfer invitation has a file name to test. */
            if (!file)
                continue;
            ++refs->fname;
            parts[count++] = message->ft_name ? message->ft_name : "";
        }
        if (count == 0)
            continue;
        /* A single part is read where it lies; only joining needs a copy
         * (a message body is most of a message). */
        std::string joined;
        const char *subject = parts[0];
        size_t size;
        if (count == 1) {
            size = subject == message->content ? message->content_len : strlen(subject);
        } else {
            for (size_t i = 0; i < count; ++i)
                joined += parts[i];
            subject = joined.c_str();
            size = joined.size();
        }
        if (msnp_expr_node_matches(node, subject, size) != ((mod & MSNP_EXPR_INVERSE) != 0))
            return TQ_MATCH_PASS;
    }
    if (expr && expr->sibs)
        return foreach_expr_match(expr->sibs, relation, refs, tstruct);
    return TQ_MATCH_NONE;
}
