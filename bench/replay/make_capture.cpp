/* Writes a capture for the replay benchmark: SESSIONS recorded sessions of
 * dave (the example policy's /Company/Research/Lab user), each with
 * MESSAGES messages over five contacts, one of them the competition and
 * every tenth outgoing text marked confidential. Prints the capture's file
 * and how many commands it holds. */
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "session_capture.h"

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_capture DIR SESSIONS MESSAGES\n");
        return 2;
    }
    const unsigned sessions = static_cast<unsigned>(std::atoi(argv[2]));
    const unsigned messages = static_cast<unsigned>(std::atoi(argv[3]));
    gw::CaptureOptions o;
    o.dir = argv[1];
    o.prefix = "replay-bench";
    o.file_size = size_t(1) << 40; // one file
    std::string error;
    auto cap = gw::Capture::open(o, error);
    if (!cap) {
        std::fprintf(stderr, "make_capture: %s\n", error.c_str());
        return 1;
    }
    const time_t start = session_capture::wednesday(9);
    const char *contacts[] = {"ann@corp.example.com", "pat@partner.example.com", "rival@competitor.example",
                              "lee@corp.example.com", "kim@elsewhere.example"};
    size_t commands = 0;
    for (unsigned s = 0; s < sessions; ++s) {
        std::vector<session_capture::Message> m;
        for (unsigned i = 0; i < messages; ++i) {
            bool out = i % 2 == 1;
            std::string text = out && i % 20 == 1 ? "CONFIDENTIAL: figures for the board" : "see you at " + std::to_string(i % 24) + ":00";
            m.push_back({out, contacts[i % 5], text});
        }
        session_capture::write_session(*cap, s + 1, start + s, "dave@corp.example.com", m);
        // 8 sign-in lines and XFR, USR pair and OUT on the switchboard,
        // a call (CAL, RINGING, JOI) per contact, the messages.
        commands += 8 + 1 + 2 + 1 + 3 * std::min<size_t>(5, messages) + messages;
    }
    auto files = cap->files();
    cap.reset();
    std::printf("%s %zu\n", files.empty() ? "" : files.back().c_str(), commands);
    return 0;
}
