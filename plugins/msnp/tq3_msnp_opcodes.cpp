/* The MSNP command table and its lookups.
 *
 * ltable is indexed by command code: entry i holds code i, and the last
 * entry ("XXX") is both the end marker and the answer for anything that is
 * not a command we know. Each entry carries the handler for data travelling
 * server -> client (slot DIR_SERVER_TO_CLIENT) and client -> server (slot
 * DIR_CLIENT_TO_SERVER); a null slot lets the command through untouched. */
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_task.h"

namespace {

constexpr unsigned NONE = MSNP_OPTYPE_NONE;
constexpr unsigned NEEDUSER = MSNP_OPTYPE_NEEDUSER;
constexpr unsigned EXPLODE = MSNP_OPTYPE_SAFE_EXPLODE;
constexpr unsigned OFFSET = MSNP_OPTYPE_OFFSET;

} // namespace

/*                 command  code                 flags                          {in (s->c), out (c->s)} */
extern "C" const msnp_table ltable[MSN_OPCODE_UNKNOWN + 1] = {
    {"ACK", MSN_OPCODE_ACK, NONE, {nullptr, nullptr}},
    {"ADC", MSN_OPCODE_ADC, NEEDUSER | EXPLODE, {tq3_handler_adc, tq3_handler_adc}},
    {"ADD", MSN_OPCODE_ADD, NEEDUSER | EXPLODE, {tq3_handler_add_reverse, tq3_handler_add}},
    {"ADG", MSN_OPCODE_ADG, NONE, {nullptr, nullptr}},
    {"ADL", MSN_OPCODE_ADL, NEEDUSER | OFFSET, {nullptr, tq3_handler_adl}},
    {"ANS", MSN_OPCODE_ANS, EXPLODE, {tq3_handler_ans_server, tq3_handler_try_new_msnp_conntrack}},
    {"BLP", MSN_OPCODE_BLP, NEEDUSER | EXPLODE, {nullptr, tq3_handler_blp}},
    {"BPR", MSN_OPCODE_BPR, NONE, {nullptr, nullptr}},
    {"BYE", MSN_OPCODE_BYE, NEEDUSER | EXPLODE, {tq3_handler_bye, nullptr}},
    {"CAL", MSN_OPCODE_CAL, NEEDUSER | EXPLODE, {nullptr, tq3_handler_cal}},
    {"CHG", MSN_OPCODE_CHG, NEEDUSER | EXPLODE, {nullptr, tq3_handler_chg}},
    {"CHL", MSN_OPCODE_CHL, NONE, {nullptr, nullptr}},
    {"CVQ", MSN_OPCODE_CVQ, NONE, {nullptr, nullptr}},
    {"CVR", MSN_OPCODE_CVR, EXPLODE, {nullptr, tq3_handler_cvr}},
    {"FIL", MSN_OPCODE_FIL, NEEDUSER, {nullptr, nullptr}},
    {"FLN", MSN_OPCODE_FLN, NEEDUSER | EXPLODE, {tq3_handler_fln, nullptr}},
    {"FQY", MSN_OPCODE_FQY, OFFSET, {nullptr, nullptr}},
    {"GCF", MSN_OPCODE_GCF, OFFSET, {nullptr, nullptr}},
    {"GSB", MSN_OPCODE_GSB, NONE, {nullptr, nullptr}},
    {"GTC", MSN_OPCODE_GTC, NONE, {nullptr, nullptr}},
    {"ILN", MSN_OPCODE_ILN, NEEDUSER | EXPLODE, {tq3_handler_iln, nullptr}},
    {"INF", MSN_OPCODE_INF, NONE, {nullptr, nullptr}},
    {"IPG", MSN_OPCODE_IPG, NEEDUSER | OFFSET, {tq3_handler_ipg, nullptr}},
    {"IRO", MSN_OPCODE_IRO, NEEDUSER | EXPLODE, {tq3_handler_iro, nullptr}},
    {"JOI", MSN_OPCODE_JOI, NEEDUSER | EXPLODE, {tq3_handler_joi, nullptr}},
    {"LKP", MSN_OPCODE_LKP, NONE, {nullptr, nullptr}},
    {"LSG", MSN_OPCODE_LSG, EXPLODE, {nullptr, nullptr}},
    {"LST", MSN_OPCODE_LST, NEEDUSER | EXPLODE, {tq3_handler_lst, nullptr}},
    {"MSG", MSN_OPCODE_MSG, NEEDUSER | OFFSET, {tq3_handler_msg_from_switchboard, tq3_handler_msg_to_switchboard}},
    {"NAK", MSN_OPCODE_NAK, NONE, {nullptr, nullptr}},
    {"NLN", MSN_OPCODE_NLN, NEEDUSER | EXPLODE, {tq3_handler_nln, nullptr}},
    {"NOT", MSN_OPCODE_NOT, NEEDUSER | EXPLODE | OFFSET, {nullptr, nullptr}},
    {"OUT", MSN_OPCODE_OUT, NEEDUSER, {nullptr, tq3_handler_out}},
    {"PAG", MSN_OPCODE_PAG, NEEDUSER | EXPLODE | OFFSET, {nullptr, tq3_handler_pag}},
    {"PGD", MSN_OPCODE_PGD, NEEDUSER | EXPLODE | OFFSET, {nullptr, tq3_handler_pgd}},
    {"PNG", MSN_OPCODE_PNG, NONE, {nullptr, nullptr}},
    {"PRP", MSN_OPCODE_PRP, NEEDUSER | EXPLODE, {nullptr, tq3_handler_prp}},
    {"QNG", MSN_OPCODE_QNG, NONE, {nullptr, nullptr}},
    {"QRY", MSN_OPCODE_QRY, NONE, {nullptr, nullptr}},
    {"REA", MSN_OPCODE_REA, NEEDUSER | EXPLODE, {tq3_handler_rea_reverse, tq3_handler_rea}},
    {"REG", MSN_OPCODE_REG, NONE, {nullptr, nullptr}},
    {"REM", MSN_OPCODE_REM, NEEDUSER | EXPLODE, {tq3_handler_rem_reverse, tq3_handler_rem}},
    {"RFS", MSN_OPCODE_RFS, NONE, {nullptr, nullptr}},
    {"RMG", MSN_OPCODE_RMG, NONE, {nullptr, nullptr}},
    {"RML", MSN_OPCODE_RML, NEEDUSER | OFFSET, {nullptr, tq3_handler_rml}},
    {"RNG", MSN_OPCODE_RNG, NEEDUSER | EXPLODE, {tq3_handler_rng, nullptr}},
    {"SBS", MSN_OPCODE_SBS, NONE, {nullptr, nullptr}},
    {"SBP", MSN_OPCODE_SBP, NONE, {nullptr, nullptr}},
    {"SDC", MSN_OPCODE_SDC, NEEDUSER | EXPLODE, {nullptr, tq3_handler_sdc}},
    {"SND", MSN_OPCODE_SND, NEEDUSER, {nullptr, nullptr}},
    {"SYN", MSN_OPCODE_SYN, NEEDUSER, {nullptr, nullptr}},
    {"TFR", MSN_OPCODE_TFR, NEEDUSER, {nullptr, nullptr}},
    {"UBM", MSN_OPCODE_UBM, NEEDUSER | OFFSET, {tq3_handler_msg_from_switchboard, nullptr}},
    {"UBN", MSN_OPCODE_UBN, NEEDUSER | EXPLODE | OFFSET, {tq3_handler_uun_ubn, nullptr}},
    {"UBX", MSN_OPCODE_UBX, NEEDUSER | EXPLODE | OFFSET, {tq3_handler_ubx, nullptr}},
    {"URL", MSN_OPCODE_URL, NEEDUSER, {nullptr, nullptr}},
    {"USR", MSN_OPCODE_USR, EXPLODE, {tq3_handler_try_new_msnp_conntrack, nullptr}},
    {"UUM", MSN_OPCODE_UUM, NEEDUSER | OFFSET, {nullptr, tq3_handler_msg_to_switchboard}},
    {"UUN", MSN_OPCODE_UUN, NEEDUSER | EXPLODE | OFFSET, {nullptr, tq3_handler_uun_ubn}},
    {"UUX", MSN_OPCODE_UUX, NEEDUSER | OFFSET, {nullptr, tq3_handler_uux}},
    {"VER", MSN_OPCODE_VER, EXPLODE, {tq3_handler_ver_reply, tq3_handler_ver}},
    {"XFR", MSN_OPCODE_XFR, EXPLODE, {tq3_handler_xfr, nullptr}},
    {"XXX", MSN_OPCODE_UNKNOWN, NONE, {nullptr, nullptr}},
};

namespace {

/* Every relayed command is looked up: a word of up to three bytes (all a
 * table entry holds) packs into a number, found by a binary search among
 * the table's words. */
struct Word {
    uint32_t packed;
    const msnp_table *entry;
};

/* False for a word longer than any command. */
bool pack(const char *text, uint32_t *packed)
{
    size_t n = strnlen(text, 4);
    if (n > 3)
        return false;
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = v << 8 | static_cast<unsigned char>(text[i]);
    *packed = v;
    return true;
}

const std::vector<Word> &words()
{
    static const std::vector<Word> sorted = [] {
        std::vector<Word> v;
        for (const msnp_table *e = ltable; e->opcode != MSN_OPCODE_UNKNOWN; ++e) {
            uint32_t packed = 0;
            pack(e->strcmd, &packed);
            v.push_back({packed, e});
        }
        /* A word listed twice answers with its first entry. */
        std::stable_sort(v.begin(), v.end(), [](const Word &a, const Word &b) { return a.packed < b.packed; });
        v.erase(std::unique(v.begin(), v.end(), [](const Word &a, const Word &b) { return a.packed == b.packed; }),
                v.end());
        return v;
    }();
    return sorted;
}

} // namespace

const msnp_table *table_search_opcode(const char *strcmd)
{
    const msnp_table *unknown = &ltable[MSN_OPCODE_UNKNOWN];
    uint32_t packed;
    if (!strcmd || !pack(strcmd, &packed))
        return unknown;
    const std::vector<Word> &v = words();
    auto it = std::lower_bound(v.begin(), v.end(), packed, [](const Word &w, uint32_t p) { return w.packed < p; });
    return it != v.end() && it->packed == packed ? it->entry : unknown;
}

const msnp_table *table_search_opcode_wrapper(const char *text)
{
    char word[4] = {0, 0, 0, 0};
    if (!text)
        return &ltable[MSN_OPCODE_UNKNOWN];
    /* Stop at a NUL: the text may be shorter than a command word. */
    for (int i = 0; i < 3 && text[i] != '\0'; ++i)
        word[i] = text[i];
    return table_search_opcode(word);
}

const msnp_table *table_search_strcmd(msnp_opcode opcode)
{
    if (static_cast<unsigned>(opcode) >= MSN_OPCODE_UNKNOWN)
        return &ltable[MSN_OPCODE_UNKNOWN];
    return &ltable[opcode];
}
