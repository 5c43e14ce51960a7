/* The gateway's holding of incomplete commands, and its agreement with the
 * module's decoupler on where every command ends. */
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "msnp_frame.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_framing.h"

namespace {

gw::FrameScan scan(const std::string &s, unsigned state = 0, bool from_client = true)
{
    return gw::scan_msnp_commands(reinterpret_cast<const uint8_t *>(s.data()), s.size(), state, from_client);
}

} // namespace

/* What the module does with a chunk: the bytes it dispatches at once (all
 * pieces, or all but an unfinished last one), and where its pieces end. */
struct ModuleCut {
    size_t dispatched = 0;
    std::vector<size_t> ends;
    bool incomplete = false; /* the last piece is a payload cut short */
};

ModuleCut module_cut(const std::string &bytes, unsigned state, bool from_client)
{
    ModuleCut m;
    tq3_decouple_data *dd = tq3_msn_decouple_as(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                                                msnp_dialect_unpack(state, from_client));
    if (!dd)
        return m;
    size_t total = 0;
    for (size_t i = 0; i < dd->size; ++i)
        m.ends.push_back(total += dd->ptrsize[i]);
    m.dispatched = total;
    m.incomplete = dd->incomplete;
    if (dd->size) {
        const char *last = dd->ptrs[dd->size - 1];
        size_t n = dd->ptrsize[dd->size - 1];
        bool ends_line = n >= 2 && last[n - 2] == '\r' && last[n - 1] == '\n';
        if (dd->incomplete || (dd->moredata && !ends_line))
            m.dispatched -= n;
    }
    tq3_decouple_data_destroy(dd);
    return m;
}

/* Random streams of well-formed, malformed and hostile commands, read
 * through every prefix in every dialect (versions, roles, directions):
 * what the gateway hands over is exactly what the module dispatches
 * without asking for more, cut at the same places; a length beyond
 * anything that can arrive never wraps around. */
TEST(MsnpFrame, GatewayAndModuleAgreeOnEveryBoundary)
{
    const std::string nul(1, '\0');
    const std::string parts[] = {
        "VER 1 MSNP15 CVR0\r\n", "CHG 4 NLN 0\r\n", "PNG\r\n", "OUT\r\n", "QRY 9\r\n",
        "MSG 2 N 7\r\nab\r\n" + nul + "cd", "MSG 3 U 5\r\n", "MSG a@b c 2\r\nhi", "PAG 4 x 3\r\nabc",
        "217 6\r\n", "msg 1 N 2\r\nhi", "SDG 5 4\r\nabcd", "NFY PUT 2\r\nab", "UUM 7 b@x 32 1 2\r\nhi", "MSG 4 N -3\r\n", "MSG 5 N x\r\n",
        "GCF 0 4\r\nabcd", "GCF 6 Shields.xml\r\n", "GCF 7 a b 2\r\nzz", "UBX b@x 1 3\r\nabc",
        "UBX b@x 2\r\nab", "UUN 5 b@x 1 2\r\nhi", "UUN 5 b@x\r\n", "QRY 10 PROD 3\r\nfff",
        "SDC 11 OK\r\n", "SDC 12 a b c d e f g 2\r\nxy", "ADL 8 6\r\n<ml/>\n", "NOT 4\r\n\r\n\r\n",
        "IPG 99999999999999999999999\r\n", "MSG 1 N 99999999999999999999999999\r\nabc", "\r", "\n", "\r\n", nul, "X" + nul + "Y\r\n", "MS",
        "G 1 N 2\r\n", "  ", "\x80\xff",
    };
    const unsigned versions[] = {0, 2, 5, 8, 9, 11, 13, 15, 18, 21};
    std::mt19937 rng(1863);
    for (int round = 0; round < 2000 && !::testing::Test::HasFailure(); ++round) {
        std::string stream;
        for (int i = 1 + rng() % 12; i > 0; --i)
            stream += parts[rng() % std::size(parts)];
        const unsigned state = msnp_dialect_pack(versions[rng() % std::size(versions)], rng() % 3);
        const bool from_client = rng() % 2;
        for (size_t k = 1; k <= stream.size(); ++k) {
            std::string bytes = stream.substr(0, k);
            gw::FrameScan s = scan(bytes, state, from_client);
            ModuleCut whole = module_cut(bytes, state, from_client);
            ASSERT_EQ(s.complete, whole.dispatched) << ::testing::PrintToString(bytes);
            EXPECT_EQ(s.first_awaits_payload, whole.ends.size() == 1 && whole.incomplete)
                << ::testing::PrintToString(bytes);
            /* Handed only the complete commands, the module cuts them where
             * it cuts the longer chunk, and dispatches all of them. */
            ModuleCut given = module_cut(bytes.substr(0, s.complete), state, from_client);
            EXPECT_EQ(given.dispatched, s.complete) << ::testing::PrintToString(bytes);
            for (size_t i = 0; i + 1 < given.ends.size(); ++i)
                EXPECT_EQ(given.ends[i], whole.ends[i]) << ::testing::PrintToString(bytes);
        }
    }
}
