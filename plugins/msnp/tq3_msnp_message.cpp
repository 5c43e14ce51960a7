/* MSG payload model: the vocabulary tables of message kinds, invited
 * applications, datacasts, command classes and SLP methods, their lookups,
 * and the parser that turns one MSG/UUM/UBM command into an msnp_message.
 *
 * All parsing cuts into one private copy of the command. Payload bytes come
 * straight from the network, so every scan over binary data is bounded by
 * the command's size, never by a terminator. */
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_task.h"
#include "utils.h"

/* ------------------------------------------------------------------ */
/* Tables                                                              */
/* ------------------------------------------------------------------ */

/* Type sets store these bits in policies: a kind moved in its list would
 * change what a saved policy means. */
static_assert(MSNP_MESSAGE_INVITE == 512 && MSNP_MESSAGE_TEXTSECWAY == 8192 && MSNP_INVITE_WEBCAM == 256 &&
              MSNP_INVITE_PHOTOS == 262144 && MSNP_DATACAST_ACTION == 4);

/* The "all" rows carry an empty key and sit right before the terminating
 * row, so an empty key classifies as "all". */
extern "C" const msnp_message_ctype msnp_message_ctypes[] = {
    {"text/plain", MSNP_MESSAGE_TEXTPLAIN, "message_plaintext"},
    {"application/x-msnmsgrp2p", MSNP_MESSAGE_P2P, "message_p2p"},
    {"text/x-msnmsgr-datacast", MSNP_MESSAGE_DATACAST, "message_datacast"},
    {"text/x-mms-emoticon", MSNP_MESSAGE_EMOTICON, "message_emoticon"},
    {"text/x-mms-animemoticon", MSNP_MESSAGE_EMOTICON, "message_emoticon"},
    {"text/x-clientcaps", MSNP_MESSAGE_CLIENTCAPS, "message_clientcaps"},
    {"text/x-msmsgscontrol", MSNP_MESSAGE_CONTROL, "message_control"},
    {"text/x-msmsgsprofile", MSNP_MESSAGE_PROFILE, "message_profile"},
    {"text/x-msmsgsinitialemailnotification", MSNP_MESSAGE_INIMAILNOTIFICIATION,
     "message_initialemailnotification"},
    {"text/x-msmsgsinitialmdatanotification", MSNP_MESSAGE_INIMAILNOTIFICIATION,
     "message_initialemailnotification"},
    {"text/x-msmsgsemailnotification", MSNP_MESSAGE_MAILNOTIFICATION, "message_emailnotification"},
    {"text/x-msmsgsactivemailnotification", MSNP_MESSAGE_MAILACTIVENOTIFICATION,
     "message_emailactivenotification"},
    {"text/x-msmsgsinvite", MSNP_MESSAGE_INVITE, "message_invite"},
    {"application/x-msmsgssystemmessage", MSNP_MESSAGE_SYSTEMMESSAGE, "message_system"},
    {"application/x-ms-ink", MSNP_MESSAGE_INK, "message_ink"},
    {"text/x-secway", MSNP_MESSAGE_TEXTSECWAY, "message_secway"},
    {"", MSNP_MESSAGE_ALL, "message_all"},
    {"", MSNP_MESSAGE_UNKNOWN, ""},
};

/* GUID texts exactly as clients send them, including the brace-less webcam
 * GUID and the short first group of the MechWarrior one. */
extern "C" const msnp_invite_itype msnp_invite_codes[] = {
    {"{1DF57D09-637A-4ca5-91B9-2C3EDAAF62FE}", MSNP_INVITE_WHITEBOARD, "invite_whiteboard"},
    {"{44BBA842-CC51-11CF-AAFA-00AA00B6015C}", MSNP_INVITE_NETMEETING, "invite_netmeeting"},
    {"{F1B1920C-6A3C-4ce7-B18C-AFAB305FD03D}", MSNP_INVITE_APPLICATIONSHARING,
     "invite_application_sharing"},
    {"{02D3C01F-BF30-4825-A83A-DE7AF41648AA}", MSNP_INVITE_VOICE, "invite_voice"},
    {"{5D3E02AB-6190-11D3-BBBB-00C04F795683}", MSNP_INVITE_FILETRANSFER, "invite_file_transfer"},
    {"{A4268EEC-FEC5-49E5-95C3-F126696BDBF6}", MSNP_INVITE_PICTURE, "invite_picture"},
    {"{56b994a7-380f-410b-9985-c809d78c1bdc}", MSNP_INVITE_RDESKTOP, "invite_remote_desktop"},
    {"2A23868E-B45F-401d-B8B0-1E16B774A5B7", MSNP_INVITE_WEBCAM, "invite_webcam"},
    {"{1C9AA97E-9C05-4583-A3BD-908A196F1E92}", MSNP_INVITE_WEBCAM, "invite_webcam"},
    {"{4BD96FC0-AB17-4425-A14A-439185962DC8}", MSNP_INVITE_WEBCAM, "invite_webcam"},
    {"{534142D5-1F2A-431F-A60C-B0CF723FDF7D}", MSNP_INVITE_FOLDERSHARING, "invite_folder_sharing"},
    {"{6A13AF9C-5308-4F35-923A-67E8DDA40C2F}", MSNP_INVITE_FOTOSHOW, "invite_foto_show"},
    {"{41D3E74E-04A2-4B37-96F8-08ACDB610874}", MSNP_INVITE_PHOTOS, "invite_photos"},
    {"{51EE01C3-3121-11D2-BF69-0060083FE27C}", MSNP_INVITE_EUROPEAN_AIR_WAR, "invite_air_war"},
    {"{01020200-0000-4002-9200-100000000666}", MSNP_INVITE_DEEP_SPACE9, "invite_deep_space9"},
    {"{130366E3-B397-11D3-8823-0050DA5A270B}", MSNP_INVITE_CRIMSON_SKIES, "invite_crimson_skies"},
    {"{9475A347-20CF-4F26-80CC-9D60779C2711}", MSNP_INVITE_CRIMSON_SKIES_TRIAL,
     "invite_crimson_skies_trial"},
    {"{FB69A260-5031-11D3-A2D4-006097BA6550}", MSNP_INVITE_AGE_OF_EMPIRES2,
     "invite_age_of_empires_2"},
    {"{A5794C17-F586-4941-9906-9AF0F8E62283}", MSNP_INVITE_JEDIKNIGHT, "invite_jedi_knight"},
    {"{8DAE4336-2B71-11D4-9A6C-006067325E47}", MSNP_INVITE_BALDURGATE, "invite_baldur_gate"},
    {"{41FD0FA-2942-4DC4-B4C5-73D2C55F4C94}", MSNP_INVITE_MECHWARRIOR, "invite_mech_warrior"},
    {"", MSNP_INVITE_ALL, "invite_all"},
    {"", MSNP_INVITE_UNKNOWN, ""},
};

/* The identifiers are the protocol's ("1" is a nudge), the codes our own
 * bit values. */
extern "C" const msnp_datacast msnp_datacasts[] = {
    {"1", MSNP_DATACAST_NUDGE, "datacast_nudge"},
    {"2", MSNP_DATACAST_WINK, "datacast_wink"},
    {"4", MSNP_DATACAST_ACTION, "datacast_action"},
    {"all", MSNP_DATACAST_ALL, "datacast_all"},
    {"", MSNP_DATACAST_UNKNOWN, ""},
};

extern "C" const msnp_com_type msnp_com_types[] = {
    {"command_make_call", MSNP_COM_CALL},
    {"command_receive_call", MSNP_COM_RCALL},
    {"command_list_user", MSNP_COM_LIST},
    {"command_receive_message", MSNP_COM_MESSAGE},
    {"command_add_contact", MSNP_COM_ADD},
    {"command_remove_contact", MSNP_COM_REM},
    {"command_pmm", MSNP_COM_PMM},
    {"command_send_notification", MSNP_COM_SEND_NOTIFICATION},
    {"command_receive_notification", MSNP_COM_RECEIVE_NOTIFICATION},
    {"command_send_mobile", MSNP_COM_SEND_MOBILE},
    {"command_receive_mobile", MSNP_COM_RECEIVE_MOBILE},
    {"command_federation", MSNP_COM_FEDERATION},
    {"command_send_federation", MSNP_COM_SEND_FEDERATION},
    {"command_receive_federation", MSNP_COM_RECEIVE_FEDERATION},
    {"command_all", MSNP_COM_ALL},
    {"", MSNP_COM_NONE},
};

extern "C" const msnp_slp_command msnp_slp_commands[] = {
    {"BYE", 3, MSNP_SLP_COMMAND_BYE},
    {"INVITE", 6, MSNP_SLP_COMMAND_INVITE},
    {"", 0, MSNP_SLP_COMMAND_UNKNOWN},
};

/* ------------------------------------------------------------------ */
/* Lookups                                                             */
/* ------------------------------------------------------------------ */

namespace {

/* Every scan stops at the terminating row, which is returned when nothing
 * matched; the "all" rows before it take part. */
template <typename Row, typename Code, typename Match>
const Row *find_row(const Row *row, Code end, Match match)
{
    for (; row->type != end; ++row)
        if (match(*row))
            return row;
    return row;
}

} // namespace

msnp_message_code msnp_message_lowered_code(const char *lowered) {
    return find_row(msnp_message_ctypes, MSNP_MESSAGE_UNKNOWN,
                    [&](const msnp_message_ctype &r) { return strcmp(r.name, lowered) == 0; })
        ->type;
}

msnp_message_code msnp_message_code_symbol(const char *sym) {
    /* Media types compare without regard to case, as mail readers do. */
    return find_row(msnp_message_ctypes, MSNP_MESSAGE_UNKNOWN,
                    [&](const msnp_message_ctype &r) { return sym && strcasecmp(r.name, sym) == 0; })
        ->type;
}

msnp_invite_code msnp_invite_code_symbol(const char *sym) {
    return find_row(msnp_invite_codes, MSNP_INVITE_UNKNOWN,
                    [&](const msnp_invite_itype &r) { return sym && strcasecmp(r.name, sym) == 0; })
        ->type;
}

const msnp_datacast *msnp_datacast_symbol(const char *sym) {
    return find_row(msnp_datacasts, MSNP_DATACAST_UNKNOWN,
                    [&](const msnp_datacast &r) { return sym && strcmp(r.name, sym) == 0; });
}

msnp_slp_command_code msnp_slp_command_code_symbol(char *sym) {
    return find_row(msnp_slp_commands, MSNP_SLP_COMMAND_UNKNOWN,
                    [&](const msnp_slp_command &r) { return sym && strncmp(r.name, sym, r.size) == 0; })
        ->type;
}

const msnp_message_ctype *msnp_message_search_friendly_name(const char *friendly) {
    return find_row(msnp_message_ctypes, MSNP_MESSAGE_UNKNOWN,
                    [&](const msnp_message_ctype &r) { return friendly && strcmp(r.fname, friendly) == 0; });
}

const msnp_invite_itype *msnp_invite_search_friendly_name(const char *friendly) {
    return find_row(msnp_invite_codes, MSNP_INVITE_UNKNOWN,
                    [&](const msnp_invite_itype &r) { return friendly && strcmp(r.fname, friendly) == 0; });
}

const msnp_datacast *msnp_datacast_search_friendly_name(const char *friendly) {
    return find_row(msnp_datacasts, MSNP_DATACAST_UNKNOWN,
                    [&](const msnp_datacast &r) { return friendly && strcmp(r.fname, friendly) == 0; });
}

const msnp_message_ctype *msnp_message_search_type(msnp_message_code code) {
    return find_row(msnp_message_ctypes, MSNP_MESSAGE_UNKNOWN,
                    [code](const msnp_message_ctype &r) { return r.type == code; });
}

const msnp_invite_itype *msnp_invite_search_type(msnp_invite_code code) {
    return find_row(msnp_invite_codes, MSNP_INVITE_UNKNOWN,
                    [code](const msnp_invite_itype &r) { return r.type == code; });
}

const msnp_datacast *msnp_datacast_search_type(msnp_datacast_code code) {
    return find_row(msnp_datacasts, MSNP_DATACAST_UNKNOWN, [code](const msnp_datacast &r) { return r.type == code; });
}

const msnp_com_type *msnp_com_type_search_symbol(const char *name) {
    return find_row(msnp_com_types, MSNP_COM_NONE,
                    [&](const msnp_com_type &r) { return name && strcmp(r.name, name) == 0; });
}

const msnp_com_type *msnp_com_type_search_type(msnp_com_code code) {
    return find_row(msnp_com_types, MSNP_COM_NONE, [code](const msnp_com_type &r) { return r.type == code; });
}

/* ------------------------------------------------------------------ */
/* Header lines and command words                                      */
/* ------------------------------------------------------------------ */

#define MSNP_HEADER_MAX_LINES 63

tqtable *header_to_table(char *header) {
    if (!header)
        return nullptr;
    tqtable *table = new_tqtable(64);
    if (!table)
        return nullptr;
    /* One pass: the lines are the runs between CR and LF bytes (at most
     * MSNP_HEADER_MAX_LINES of them), each ended by a NUL where its CR or
     * LF was, and cut at their first ':' into name and value, as mail
     * readers cut them: the name without regard to case (stored lowered;
     * see msnp_header), blanks around either part dropped. */
    char *p = header;
    for (int lines = 0; lines < MSNP_HEADER_MAX_LINES; ++lines) {
        while (*p == '\r' || *p == '\n')
            ++p;
        if (*p == '\0')
            break;
        char *line = p;
        p += strcspn(p, "\r\n");
        char *sep = static_cast<char *>(memchr(line, ':', static_cast<size_t>(p - line)));
        bool last = *p == '\0';
        char *value_end = p;
        *p = '\0';
        if (sep) {
            char *name_end = sep;
            while (name_end > line && (name_end[-1] == ' ' || name_end[-1] == '\t'))
                --name_end;
            *name_end = '\0';
            for (char *c = line; c < name_end; ++c)
                if (*c >= 'A' && *c <= 'Z')
                    *c = static_cast<char>(*c + ('a' - 'A'));
            char *value = sep + 1;
            while (*value == ' ' || *value == '\t')
                ++value;
            while (value_end > value && (value_end[-1] == ' ' || value_end[-1] == '\t'))
                *--value_end = '\0';
            /* A repeated name keeps its last value. */
            if (name_end > line)
                table->set(table, line, value);
        }
        if (last)
            break;
        ++p;
    }
    return table;
}

const char *msnp_header(tqtable *table, const char *name) {
    return table && name ? static_cast<const char *>(table->get(table, name)) : nullptr;
}

char *fetch_user_from_preheader(char *conteudo, int index) {
    if (!conteudo || index < 0)
        return nullptr;
    /* Only the command line counts; the payload after it is left alone
     * apart from the one terminator. */
    char *eol = strpbrk(conteudo, "\r\n");
    if (eol)
        *eol = '\0';
    char *words[5];
    int count = strexplode(conteudo, words, 5, " \t", 0);
    if (count < 3 || index >= count)
        return nullptr;
    return words[index];
}

/* ------------------------------------------------------------------ */
/* Record                                                              */
/* ------------------------------------------------------------------ */

static void set_dest_from_p2p(msnp_message *message, tqtable *table) {
    if (message->dest || !table)
        return;
    const char *value = msnp_header(table, "p2p-dest");
    if (value)
        message->dest = msnp_normalize_msnp16_guid(value);
}

void destroy_msnp_message(msnp_message *message) {
    if (!message)
        return;
    /* The tables' values lie in basecontent. */
    tqtable_destroy(message->header);
    tqtable_destroy(message->subheader);
    tqtable_destroy(message->subslp);
    free(message->orig);
    free(message->dest);
    /* The parse keeps both copies in the record's own block. */
    if (message->basecontent != reinterpret_cast<char *>(message + 1)) {
        free(message->basecontent);
        free(message->header_content);
    }
    free(message->body_copy);
    free(message->ft_name);
    free(message);
}

/* Length of the data iks_base64_decode produces for `text`: every four
 * characters give three bytes, trailing '=' give none. */
static size_t base64_decoded_length(const char *text) {
    size_t len = strlen(text);
    size_t pad = 0;
    while (pad < len && pad < 2 && text[len - 1 - pad] == '=')
        ++pad;
    size_t out = len * 3 / 4;
    return out > pad ? out - pad : 0;
}

/* The file-transfer context carries a fixed 20-byte preamble, then the
 * offered name as 16-bit little-endian characters. */
#define MSNP_FT_CONTEXT_NAME_OFFSET 20

static void recover_ft_name(msnp_message *message) {
    const char *context = message->slp_context;
    size_t limit = strlen(context) / 2 + 1;
    size_t decoded_len = base64_decoded_length(context);
    char *decoded = iks_base64_decode(context);
    if (!decoded)
        return;
    char *name = (char *)calloc(limit + 1, 1);
    if (!name) {
        iks_free(decoded);
        return;
    }
    size_t n = 0;
    for (size_t pos = MSNP_FT_CONTEXT_NAME_OFFSET; n < limit && pos + 1 < decoded_len; pos += 2) {
        char low = decoded[pos];
        if (low == '\0')
            break;
        name[n++] = low;
    }
    name[n] = '\0';
    iks_free(decoded);
    free(message->ft_name);
    message->ft_name = name;
}

void tq3_msnp_message_slp(msnp_message *message, size_t content_size) {
    if (!message || !message->content)
        return;
    unsigned char *body = (unsigned char *)message->content;

    /* A P2P chunk is a binary header and, for session set-up, an SLP
     * request in text; its method starts within the first 50 bytes. */
    size_t offset = 0;
    int found = 0;
    for (; offset < 50 && offset < content_size && !found; ++offset) {
        for (const msnp_slp_command *row = msnp_slp_commands; row->type != MSNP_SLP_COMMAND_UNKNOWN;
             ++row) {
            if (offset + row->size <= content_size && memcmp(body + offset, row->name, row->size) == 0) {
                found = 1;
                break;
            }
        }
        if (found)
            break;
    }
    if (!found) {
        /* Ink sent through a P2P session starts with '@'. */
        if (content_size > 0 && body[0] == 0x40)
            message->ctype = MSNP_MESSAGE_INK;
        return;
    }

    char *method = (char *)body + offset;
    size_t rest = content_size - offset;
    char *eol = (char *)memmem_local(method, rest, "\r\n", 2);
    if (!eol)
        return;
    *eol = '\0';
    char *slp_headers = eol + 2;
    size_t headers_size = rest - (size_t)(slp_headers - method);
    char *slp_body = nullptr;
    char *blank = (char *)memmem_local(slp_headers, headers_size, "\r\n\r\n", 4);
    if (blank) {
        *blank = '\0';
        slp_body = blank + 4;
    }

    message->subheader = header_to_table(slp_headers);
    message->subslp = header_to_table(slp_body);

    if (message->subslp) {
        tqtable *slp = message->subslp;
        const char *guid = msnp_header(slp, "euf-guid");
        if (guid) {
            message->slp_euf_guid = msnp_invite_code_symbol(guid);
            message->itype = message->slp_euf_guid;
        }
        set_dest_from_p2p(message, slp);
        message->slp_context = const_cast<char *>(msnp_header(slp, "context"));
        message->slp_sessionid = const_cast<char *>(msnp_header(slp, "sessionid"));
        message->slp_appid = const_cast<char *>(msnp_header(slp, "appid"));
    }

    if (message->itype == MSNP_INVITE_FILETRANSFER && message->slp_context)
        recover_ft_name(message);
}

/* Moves the message's body, `size` bytes where it lies, into a copy of
 * its own; false when there is no memory. */
static bool own_body(msnp_message *message, size_t size) {
    message->body_copy = (char *)malloc(size + 1);
    if (!message->body_copy)
        return false;
    memcpy(message->body_copy, message->content, size);
    message->body_copy[size] = '\0';
    message->content = message->body_copy;
    return true;
}

/* Sets the body's lengths. Text is read whole: a NUL byte would end it for
 * the expressions and the log, not for every client that shows it, so in a
 * text the NUL bytes read as blanks (in the message's own copy). False when
 * there is no memory for the copy. */
static bool measure_body(msnp_message *message, size_t size, bool text) {
    message->body_size = size;
    message->content_len = strnlen(message->content, size);
    if (!text || message->content_len == size)
        return true;
    if (message->content != message->body_copy && !own_body(message, size))
        return false;
    for (size_t i = 0; i < size; ++i)
        if (message->content[i] == '\0')
            message->content[i] = ' ';
    message->content_len = size;
    return true;
}

msnp_message *msnp_text_message(const char *bytes, size_t size) {
    auto *message = static_cast<msnp_message *>(calloc(1, sizeof(msnp_message)));
    if (!message)
        return nullptr;
    message->content = const_cast<char *>(bytes);
    message->ctype = MSNP_MESSAGE_TEXTPLAIN;
    if (!own_body(message, size) || !measure_body(message, size, true)) {
        free(message->body_copy);
        free(message);
        return nullptr;
    }
    return message;
}

static msnp_message *discard(msnp_message *message) {
    destroy_msnp_message(message);
    return nullptr;
}

/* Where the header block of the payload at `p` (`n` bytes) ends and the
 * body starts: at the first empty line, whether lines end in CR LF or in
 * LF alone. A payload without an empty line is all body: text sent
 * without a header must still meet the expressions. */
static void split_payload(const char *p, size_t n, size_t *header_len, size_t *body_at) {
    *header_len = 0;
    *body_at = 0;
    if (n >= 1 && p[0] == '\n') {
        *body_at = 1;
        return;
    }
    if (n >= 2 && p[0] == '\r' && p[1] == '\n') {
        *body_at = 2;
        return;
    }
    for (const char *lf = (const char *)memchr(p, '\n', n); lf; lf = (const char *)memchr(lf + 1, '\n', n - (size_t)(lf + 1 - p))) {
        size_t at = (size_t)(lf - p);
        size_t line_end = at > 0 && p[at - 1] == '\r' ? at - 1 : at;
        if (at + 1 < n && p[at + 1] == '\n') {
            *header_len = line_end;
            *body_at = at + 2;
            return;
        }
        if (at + 2 < n && p[at + 1] == '\r' && p[at + 2] == '\n') {
            *header_len = line_end;
            *body_at = at + 3;
            return;
        }
        if (at + 1 >= n)
            break;
    }
}

/* How a message of a kind we do not know (or with no Content-Type) is
 * decided: "text" (the default) reads it as text, so that expressions and
 * the chat log see it; "pass" relays it undecided; "block" withholds it. */
static const char *unknown_type_mode() {
    const char *mode = msnp_get_var("message-unknown-type", nullptr);
    return mode ? mode : "text";
}

std::string msnp_message_invitation_key(const msnp_message *m) {
    if (!m)
        return {};
    if (m->ctype == MSNP_MESSAGE_INVITE) {
        const char *cookie = msnp_header(m->subheader, "invitation-cookie");
        return cookie && *cookie ? std::string("c:") + cookie : std::string();
    }
    if (m->ctype != MSNP_MESSAGE_P2P)
        return {};
    if (m->slp_sessionid && *m->slp_sessionid)
        return std::string("s:") + std::to_string(strtoul(m->slp_sessionid, nullptr, 10));
    /* A data packet names its session in the first four bytes of its
     * binary header, least significant first. */
    if (m->body_size < 48 || !m->content)
        return {};
    const auto *b = reinterpret_cast<const unsigned char *>(m->content);
    unsigned long id = b[0] | b[1] << 8 | b[2] << 16 | static_cast<unsigned long>(b[3]) << 24;
    return id ? "s:" + std::to_string(id) : std::string();
}

int msnp_message_unknown_blocked(const msnp_message *m) {
    return m && m->ctype == MSNP_MESSAGE_UNKNOWN && strcmp(unknown_type_mode(), "block") == 0;
}

msnp_message *new_msnp_message(task_struct *tstruct) {
    if (!tstruct || !tstruct->data_buffer || tstruct->buffer_size == 0)
        return nullptr;
    /* The command line and the header are parsed in a copy, which the
     * parse cuts; the body, most of a message, is read where it lies. */
    char *data = tstruct->data_buffer;
    size_t size = tstruct->buffer_size;
    const char *eol = (const char *)memmem_local(data, size, "\r\n", 2);
    size_t header_at = eol ? (size_t)(eol - data) + 2 : size;
    size_t header_len = 0, body_at = 0;
    split_payload(data + header_at, size - header_at, &header_len, &body_at);
    size_t head = header_at + header_len;
    body_at += header_at;
    /* One block: the record, the copy the parse cuts, and the header
     * block as it came (for expressions that read it whole). */
    msnp_message *message = (msnp_message *)malloc(sizeof *message + head + 1 + header_len + 1);
    if (!message)
        return nullptr;
    *message = msnp_message{};
    char *base = reinterpret_cast<char *>(message + 1);
    message->basecontent = base;
    memcpy(base, data, head);
    base[head] = '\0';
    message->header_content = base + head + 1;
    memcpy(message->header_content, data + header_at, header_len);
    message->header_content[header_len] = '\0';

    if (eol) {
        base[eol - data] = '\0';
        conn_direction dir = tstruct->conn ? tstruct->conn->direction : DIR_UNKNOWN;
        if (dir == DIR_SERVER_TO_CLIENT) {
            char *word = fetch_user_from_preheader(base, 1);
            if (word)
                message->orig = strdup(word);
        } else if (dir == DIR_CLIENT_TO_SERVER && tstruct->opcode == MSN_OPCODE_UUM) {
            char *word = fetch_user_from_preheader(base, 2);
            if (word)
                message->dest = strdup(word);
        }
    }

    char *header_start = base + header_at;
    message->content = data + body_at;
    size_t body_size = size - body_at;
    message->header = header_to_table(header_start);

    tqtable *header = message->header;
    char *ctype = const_cast<char *>(msnp_header(header, "content-type"));
    if (ctype) {
        set_dest_from_p2p(message, header);
        /* Parameters such as "; charset=UTF-8" are dropped from the stored
         * value too, so later readers see the bare type. */
        char *semi = strchr(ctype, ';');
        if (semi)
            *semi = '\0';
        size_t n = strlen(ctype);
        for (; n > 0 && (ctype[n - 1] == ' ' || ctype[n - 1] == '\t'); --n)
            ctype[n - 1] = '\0';
        for (size_t i = 0; i < n; ++i)
            if (ctype[i] >= 'A' && ctype[i] <= 'Z')
                ctype[i] = static_cast<char>(ctype[i] + ('a' - 'A'));
        message->ctype = msnp_message_lowered_code(ctype);
    }
    if (message->ctype == MSNP_MESSAGE_UNKNOWN || message->ctype == MSNP_MESSAGE_ALL)
        message->ctype = strcmp(unknown_type_mode(), "text") == 0 ? MSNP_MESSAGE_TEXTPLAIN : MSNP_MESSAGE_UNKNOWN;

    /* These kinds parse their body too, which cuts it: in a copy. */
    switch (message->ctype) {
    case MSNP_MESSAGE_DATACAST:
    case MSNP_MESSAGE_CLIENTCAPS:
    case MSNP_MESSAGE_INVITE: {
        if (!own_body(message, body_size))
            return discard(message);
        tqtable *sub = header_to_table(message->content);
        message->subheader = sub;
        if (!sub)
            break;
        const char *value = msnp_header(sub, "application-guid");
        if (value)
            message->itype = msnp_invite_code_symbol(value);
        set_dest_from_p2p(message, sub);
        value = msnp_header(sub, "id");
        if (value)
            message->dtype = msnp_datacast_symbol(value)->type;
        value = msnp_header(sub, "application-file");
        if (value)
            message->ft_name = strdup(value);
        break;
    }
    case MSNP_MESSAGE_P2P:
        if (!own_body(message, body_size))
            return discard(message);
        tq3_msnp_message_slp(message, body_size);
        break;
    default:
        break;
    }

    /* Measured last: an invitation's parse cuts its body in place. */
    bool text = message->ctype == MSNP_MESSAGE_TEXTPLAIN || message->ctype == MSNP_MESSAGE_EMOTICON ||
                message->ctype == MSNP_MESSAGE_INK || message->ctype == MSNP_MESSAGE_TEXTSECWAY;
    if (!measure_body(message, body_size, text))
        return discard(message);
    tstruct->message = message;
    return message;
}
