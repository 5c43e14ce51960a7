/* The kinds of messages, invitations and datacasts, written once, and the
 * verdict counters made from them. */
#ifndef TQ3_MSNP_KINDS_H
#define TQ3_MSNP_KINDS_H



/* Every kind of message, invitation and datacast, once, in the bit order
 * of its code (the first kind has code 0, the k-th 1 << (k-1)): the enums
 * of codes, the counter groups of the statistics blocks and the message
 * handler's counters are made from these lists. X(A, NAME, word, MORE):
 * NAME ends the code's enumerator, word names its counters (with '-' for
 * '_'), MORE the groups that follow the kind's own (BYTES: its bytes). */
#define MSNP_MESSAGE_KIND_LIST(X, A)                                                                    \
    X(A, UNKNOWN, unknown, NONE) X(A, TEXTPLAIN, textplain, BYTES) X(A, EMOTICON, emoticon, NONE)        \
    X(A, DATACAST, datacast, NONE) X(A, P2P, p2p, NONE) X(A, CLIENTCAPS, clientcaps, NONE)               \
    X(A, CONTROL, control, NONE) X(A, PROFILE, profile, NONE)                                            \
    X(A, INIMAILNOTIFICIATION, inimailnotification, NONE) X(A, MAILNOTIFICATION, mailnotification, NONE) \
    X(A, INVITE, invite, NONE) X(A, SYSTEMMESSAGE, systemmessage, NONE)                                  \
    X(A, MAILACTIVENOTIFICATION, mailactivenotification, NONE) X(A, INK, ink, NONE)                      \
    X(A, TEXTSECWAY, textsecway, NONE)
#define MSNP_INVITE_KIND_LIST(X, A)                                                                     \
    X(A, UNKNOWN, unknown, NONE) X(A, FILETRANSFER, filetransfer, NONE) X(A, PICTURE, picture, NONE)     \
    X(A, VOICE, voice, NONE) X(A, WHITEBOARD, whiteboard, NONE) X(A, NETMEETING, netmeeting, NONE)       \
    X(A, APPLICATIONSHARING, applicationsharing, NONE) X(A, FOLDERSHARING, foldersharing, NONE)          \
    X(A, RDESKTOP, rdesktop, NONE) X(A, WEBCAM, webcam, NONE) X(A, FOTOSHOW, fotoshow, NONE)             \
    X(A, BALDURGATE, baldurgate, NONE) X(A, MECHWARRIOR, mechwarrior, NONE)                              \
    X(A, JEDIKNIGHT, jediknight, NONE) X(A, EUROPEAN_AIR_WAR, european_air_war, NONE)                    \
    X(A, DEEP_SPACE9, deep_space9, NONE) X(A, CRIMSON_SKIES, crimson_skies, NONE)                        \
    X(A, CRIMSON_SKIES_TRIAL, crimson_skies_trial, NONE) X(A, AGE_OF_EMPIRES2, age_of_empires2, NONE)    \
    X(A, PHOTOS, photos, NONE)
#define MSNP_DATACAST_KIND_LIST(X, A) \
    X(A, UNKNOWN, unknown, NONE) X(A, WINK, wink, NONE) X(A, NUDGE, nudge, NONE) X(A, ACTION, action, NONE)

/* Per-person and per-connection verdict counters: for every group four
 * counters stats_<group>_none/_pass/_block/_alert, then chat_time. A
 * group is a kind of the lists above in one direction. */
#define MSNP_KIND_GROUP_MORE_NONE(G, g)
#define MSNP_KIND_GROUP_MORE_BYTES(G, g) G(g##_bytes)
#define MSNP_KIND_GROUP_message_out(G, NAME, w, MORE) G(message_out_##w) MSNP_KIND_GROUP_MORE_##MORE(G, message_out_##w)
#define MSNP_KIND_GROUP_message_in(G, NAME, w, MORE) G(message_in_##w) MSNP_KIND_GROUP_MORE_##MORE(G, message_in_##w)
#define MSNP_KIND_GROUP_invite_out(G, NAME, w, MORE) G(invite_out_##w)
#define MSNP_KIND_GROUP_invite_in(G, NAME, w, MORE) G(invite_in_##w)
#define MSNP_KIND_GROUP_datacast_out(G, NAME, w, MORE) G(datacast_out_##w)
#define MSNP_KIND_GROUP_datacast_in(G, NAME, w, MORE) G(datacast_in_##w)
#define MSNP_STATISTICS_GROUPS(G)                                                                      \
    MSNP_MESSAGE_KIND_LIST(MSNP_KIND_GROUP_message_out, G) MSNP_MESSAGE_KIND_LIST(MSNP_KIND_GROUP_message_in, G) \
    MSNP_INVITE_KIND_LIST(MSNP_KIND_GROUP_invite_out, G) MSNP_INVITE_KIND_LIST(MSNP_KIND_GROUP_invite_in, G)     \
    MSNP_DATACAST_KIND_LIST(MSNP_KIND_GROUP_datacast_out, G)                                                    \
    MSNP_DATACAST_KIND_LIST(MSNP_KIND_GROUP_datacast_in, G)

#define MSNP_STATISTICS_FIELDS(g) \
    unsigned long stats_##g##_none, stats_##g##_pass, stats_##g##_block, stats_##g##_alert;

typedef struct msnp_statistics {
    MSNP_STATISTICS_GROUPS(MSNP_STATISTICS_FIELDS)
    unsigned long chat_time;
} msnp_statistics;

#endif
