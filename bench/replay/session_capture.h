/* Recorded MSNP7 sessions made with the gateway's own capture writer: one
 * user signs in at a notification server, is sent to a switchboard, calls
 * its contacts and exchanges messages with them. For replay tests and the
 * replay benchmark. */
#ifndef BENCH_REPLAY_SESSION_CAPTURE_H
#define BENCH_REPLAY_SESSION_CAPTURE_H

#include <ctime>
#include <string>
#include <vector>

#include "capture.h"

namespace session_capture {

struct Message {
    bool out;            // from the user; else from the contact
    std::string contact;
    std::string text;
};

inline std::string msg(const std::string &head, const std::string &text)
{
    std::string payload = "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                          "X-MMS-IM-Format: FN=Arial; EF=; CO=0; CS=0; PF=22\r\n\r\n" +
                          text;
    return head + " " + std::to_string(payload.size()) + "\r\n" + payload;
}

/* `hour`:00 local time on Wednesday 2 December 2026: inside the example
 * policy's office hours, outside its weekend and its year-end freeze. */
inline time_t wednesday(int hour)
{
    struct tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 2;
    t.tm_hour = hour;
    t.tm_isdst = -1;
    return mktime(&t);
}

inline gw::CaptureEnd end(uint32_t host_order_ip, uint16_t port)
{
    gw::CaptureEnd e;
    for (int shift = 24; shift >= 0; shift -= 8)
        e.address += static_cast<char>((host_order_ip >> shift) & 0xff);
    e.port = port;
    return e;
}

/* One session of `user` from client 10.1.X.Y (from `n`) starting at
 * `start`; each exchange is 1 ms after the one before. */
inline void write_session(gw::Capture &cap, unsigned n, time_t start, const std::string &user,
                          const std::vector<Message> &messages)
{
    long usec = 0;
    auto tick = [&] {
        timeval tv{start + usec / 1000000, usec % 1000000};
        usec += 1000;
        return tv;
    };
    auto say = [&](gw::CaptureFlow &f, int side, const std::string &bytes) {
        cap.data(f, side, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), tick());
    };
    const uint32_t client_ip = 0x0a010000u | (n & 0xffffu);
    const uint16_t port = static_cast<uint16_t>(20000 + (n * 2) % 40000);
    const std::string sb_host = "10.0.0.2";
    const uint16_t sb_port = 1864;

    gw::CaptureFlow ns;
    ns.client = end(client_ip, port);
    ns.server = end(0x0a000001u, 1863);
    ns.tid = n * 2 + 1;
    cap.begin(ns, tick());
    say(ns, 0, "VER 1 MSNP7 MSNP6 MSNP5 MSNP4 CVR0\r\n");
    say(ns, 1, "VER 1 MSNP7 MSNP6 MSNP5 MSNP4 CVR0\r\n");
    say(ns, 0, "USR 2 MD5 I " + user + "\r\n");
    say(ns, 1, "USR 2 MD5 S 1013928519.693957190\r\n");
    say(ns, 0, "USR 3 MD5 S 9a3e1a4e7b33a9a7fd0d17dd1d2dcbd8\r\n");
    say(ns, 1, "USR 3 OK " + user + " Someone\r\n");
    say(ns, 0, "XFR 4 SB\r\n");
    const std::string ck = "17262740.1050826919." + std::to_string(n);
    say(ns, 1, "XFR 4 SB " + sb_host + ":" + std::to_string(sb_port) + " CKI " + ck + "\r\n");

    gw::CaptureFlow sb;
    sb.client = end(client_ip, static_cast<uint16_t>(port + 1));
    sb.server = end(0x0a000002u, sb_port);
    sb.tid = n * 2 + 2;
    cap.begin(sb, tick());
    say(sb, 0, "USR 1 " + user + " " + ck + "\r\n");
    say(sb, 1, "USR 1 OK " + user + " Someone\r\n");
    std::vector<std::string> called;
    unsigned trid = 2;
    for (const Message &m : messages) {
        bool known = false;
        for (const auto &c : called)
            known = known || c == m.contact;
        if (!known) {
            say(sb, 0, "CAL " + std::to_string(trid) + " " + m.contact + "\r\n");
            say(sb, 1, "CAL " + std::to_string(trid) + " RINGING 11752013\r\nJOI " + m.contact + " Contact\r\n");
            ++trid;
            called.push_back(m.contact);
        }
        if (m.out)
            say(sb, 0, msg("MSG " + std::to_string(trid++) + " N", m.text));
        else
            say(sb, 1, msg("MSG " + m.contact + " Contact", m.text));
    }
    say(sb, 0, "OUT\r\n");
    cap.end(sb, tick());
    say(ns, 0, "OUT\r\n");
    cap.end(ns, tick());
}

} // namespace session_capture

#endif
