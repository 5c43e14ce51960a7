/* Identity and policy helpers: handle forms, versions, friendly names,
 * guests, the authentication expectation, contact lists, impersonation and
 * address scrambling. */
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "msnp/decision_fixture.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_task.h"

namespace {

std::string owned(char *text)
{
    std::string s = text ? text : "(null)";
    free(text);
    return s;
}

TEST(Identity, HandleForms)
{
    EXPECT_EQ(owned(msnp_normalize_handle("bob.smith@example.com")), "bob_smith_example_com");
    EXPECT_EQ(owned(msnp_normalize_handle(nullptr)), "(null)");
    EXPECT_EQ(owned(msnp_normalize_msnp16_guid("1:user@x;{abc}")), "user@x");
    EXPECT_EQ(owned(msnp_normalize_msnp16_guid("user:")), "user:");
    EXPECT_EQ(owned(msnp_normalize_msnp16_guid("plain")), "plain");
}

TEST(Identity, VersionBounds)
{
    EXPECT_EQ(msnp_version_chunk("8.1.0178", 0), 8);
    EXPECT_EQ(msnp_version_chunk("8.1.0178", 2), 178);
    EXPECT_EQ(msnp_version_chunk("8.1.0178", 3), -1);
    EXPECT_EQ(msnp_version_chunk("8.x", 1), 0);
    EXPECT_EQ(msnp_version_chunk(nullptr, 0), -1);

    msnp_person p{};
    const struct {
        const char *lower, *upper, *version;
        match_t expected;
    } cases[] = {
        {"7.5.0311", nullptr, "7.5", TQ_MATCH_PASS},  {"7.5", nullptr, "7.0", TQ_MATCH_BLOCK},
        {nullptr, "8.0", "8.1", TQ_MATCH_BLOCK},      {nullptr, "8.0", "7.9", TQ_MATCH_PASS},
        {"7.0", "8.0", "8.0", TQ_MATCH_PASS},         {"7.0", "8.0", "7.0.1", TQ_MATCH_PASS},
        {"7.0", "8.0", "6.9.9", TQ_MATCH_BLOCK},      {"7.0", "8.0", "8.1", TQ_MATCH_BLOCK},
        {"7.0", "8.0", "8.0.1", TQ_MATCH_PASS} /* components past a bound's end are not compared */,
        {"7.0", "8.0", "7.99", TQ_MATCH_PASS},        {nullptr, nullptr, "1.0", TQ_MATCH_PASS},
    };
    for (const auto &c : cases) {
        p.ver_client_lower = const_cast<char *>(c.lower);
        p.ver_client_upper = const_cast<char *>(c.upper);
        EXPECT_EQ(msnp_check_client_version(&p, c.version), c.expected)
            << (c.lower ? c.lower : "-") << " " << (c.upper ? c.upper : "-") << " " << c.version;
    }
    p = msnp_person{};
    EXPECT_EQ(msnp_check_system_version(&p, "winnt", "5.1", nullptr), TQ_MATCH_NONE);
    EXPECT_EQ(msnp_check_system_version(&p, "winnt", "5.1", "i386"), TQ_MATCH_NONE);
    p.ver_system_lower = const_cast<char *>("5.1");
    EXPECT_EQ(msnp_check_system_version(&p, "winnt", "5.0", "i386"), TQ_MATCH_BLOCK);
    EXPECT_EQ(msnp_check_system_version(&p, "winnt", "6.0", "i386"), TQ_MATCH_PASS);
}

class Helpers : public DecisionTest {
protected:
    void alice(const std::string &attributes = "")
    {
        ASSERT_TRUE(load("<person type='1' name='alice'><handle>alice@corp</handle>" + attributes + "</person>",
                         "<node identifier='office'><user>alice</user></node>"));
        sign_in("alice@corp");
    }
    std::string fix(const char *candidate, msnp_opcode op = MSN_OPCODE_REA, msnp_person *person = nullptr)
    {
        task.opcode = op;
        return owned(msnp_match_friendly(&task, person, candidate));
    }
};

TEST_F(Helpers, FriendlyNames)
{
    alice("<friendly>Alice A</friendly>");
    EXPECT_EQ(fix("Ali"), "(null)") << "nothing configured";
    var("i/fixed-friendly", "1");
    EXPECT_EQ(fix("Ali"), "Alice A");
    EXPECT_EQ(fix("Alice A"), "(null)");
    EXPECT_EQ(fix("1", MSN_OPCODE_USR), "(null)");
    EXPECT_EQ(fix("Ali%20(E-mail%20Address%20Not%20Verified)"), "(null)");
    var("s/friendly-append", " [corp]");
    var("s/friendly-prepend", "~");
    EXPECT_EQ(fix("Ali"), "~Alice A [corp]");
    EXPECT_EQ(fix("~Alice A [corp]"), "(null)") << "never twice";
    var("i/fixed-friendly", "0");
    EXPECT_EQ(fix("Bob"), "~Bob [corp]");

    /* Without a configured name, the handle is forced when asked to. */
    msnp_reset(self, nullptr);
    alice();
    var("s/friendly-append", "");
    var("s/friendly-prepend", "");
    EXPECT_EQ(fix("Ali"), "(null)") << "an empty suffix and prefix change nothing";
    var("i/fixed-friendly-hard", "1");
    EXPECT_EQ(fix("Ali"), "alice@corp");
}

TEST_F(Helpers, GuestsContactsAndTheAuthenticationExpectation)
{
    ASSERT_TRUE(load("<person type='1' name='alice'><handle>alice@corp</handle></person>",
                     "<node identifier='jail'/><node identifier='office'><user>alice</user></node>"));
    EXPECT_EQ(msnp_guest_user(&task, "g@x.org"), nullptr) << "guests are not permitted by default";
    var("i/guests-permit", "1");
    var("s/guests-jail", "jail");
    var("i/guests-grace", "300");
    EXPECT_EQ(msnp_guest_user(&task, "alice@corp"), nullptr) << "a user is no guest";
    const char *h = "g@x.org";
    EXPECT_EQ(msnp_guest_user(&task, h), h);
    msnp_person *guest = msnp_search_person("g_x_org", 0);
    ASSERT_NE(guest, nullptr);
    ASSERT_NE(guest->user, nullptr);
    EXPECT_EQ(guest->user->guest_time, g_test_now);
    EXPECT_EQ(guest->user->guest_grace, 300);
    EXPECT_EQ(tqlist_search_ref(rtree_resolve_tree(ents->root, "jail", nullptr)->people, guest) != nullptr, true);
    EXPECT_EQ(tqlist_length(conn.eventsq), 2u) << "the new person and the node's change";
    /* An insecure guest: a person still, in the root node, not expiring. */
    var("i/guests-insecure", "1");
    EXPECT_EQ(msnp_guest_user(&task, "h@x.org"), std::string("h@x.org"));
    msnp_person *open_guest = msnp_search_person("h_x_org", 0);
    ASSERT_NE(open_guest, nullptr);
    ASSERT_NE(open_guest->user, nullptr);
    EXPECT_EQ(open_guest->user->guest_time, 0);
    EXPECT_NE(tqlist_search_ref(ents->root->people, open_guest), nullptr);

    sign_in("alice@corp");
    msnp_person *a = ct->person;
    msnp_user_contacts_add(a, "b@x");
    msnp_user_contacts_add(a, "c@x");
    msnp_user_contacts_add(a, "b@x");
    EXPECT_EQ(xml_text(msnp_serialize_contacts(a->user->contacts, nullptr, 0)),
              "<contacts>\n<contact>c@x</contact>\n<contact>b@x</contact>\n</contacts>");
    /* Lists hold one copy of a handle between them; a copy lasts while
     * anyone holds it (a use after free is the sanitizers' to see). */
    msnp_user_contacts_add(open_guest, "b@x");
    EXPECT_EQ(open_guest->user->contacts[0], a->user->contacts[0]);
    const char *one = msnp_handle_intern("z@x"), *two = msnp_handle_intern("z@x");
    EXPECT_EQ(one, two);
    msnp_handle_release(const_cast<char *>(one));
    EXPECT_STREQ(two, "z@x");
    msnp_handle_release(const_cast<char *>(two));
    EXPECT_EQ(msnp_serialize_contacts({}, nullptr, 0), nullptr);
    EXPECT_EQ(xml_text(msnp_serialize_contacts({}, nullptr, 1)), "<contacts>\n</contacts>");

    tq3_expectation *e = msnp_authentication_expectation(&task);
    EXPECT_TRUE(tq3_expectation_match(e, conn.saddr, htons(5000), inet_addr("65.54.1.1"), htons(443)));
    EXPECT_FALSE(tq3_expectation_match(e, inet_addr("10.9.9.9"), htons(5000), inet_addr("65.54.1.1"), htons(443)));
    EXPECT_FALSE(tq3_expectation_match(e, conn.saddr, htons(5000), inet_addr("65.54.1.1"), htons(80)));
    tq3_expectation_destroy(e);
    var("i/strict-auth-expectation", "1");
    var("s/auth-server-address", "65.54.1.1");
    e = msnp_authentication_expectation(&task);
    EXPECT_TRUE(tq3_expectation_match(e, conn.saddr, htons(5000), inet_addr("65.54.1.1"), htons(443)));
    EXPECT_FALSE(tq3_expectation_match(e, conn.saddr, htons(5000), inet_addr("65.54.1.2"), htons(443)));
    tq3_expectation_destroy(e);
}

/* The identifiers the lists teach (GUIDs, and other words): each sign-in
 * brings the list again, and the first handle learnt for a word stays; a
 * word never learnt is none. A GUID is the same in any case, with or
 * without dashes, braces or parentheses; any other word only as written. */
TEST(Identity, ContactIdentifiersKeepTheFirstHandleLearnt)
{
    msnp_contact_ids ids;
    auto id = [](int i) {
        char guid[40];
        snprintf(guid, sizeof guid, "%08x-0000-4abc-9def-%012x", i * 7919, i);
        return i % 2 ? std::string(guid) : "{" + std::to_string(i) + "-c0ffee}";
    };
    for (int round = 0; round < 4; ++round) {
        for (int i = round * 50; i < 300; ++i)
            EXPECT_TRUE(ids.learn(id(i).c_str(), ("c" + std::to_string(i + round * 1000) + "@x").c_str()));
        if (round % 2 == 0)
            continue; /* so that the words of two rounds wait together */
        for (int i : {0, 1, 63, 64, 65, 150, 270, 299})
            EXPECT_EQ(ids.find(id(i).c_str()), "c" + std::to_string(i) + "@x") << "round " << round << ", " << id(i);
        EXPECT_EQ(ids.find(id(300).c_str()), "");
        EXPECT_EQ(ids.find(id(301).c_str()), "");
        EXPECT_EQ(ids.find("{"), "");
    }
    auto upper = [](std::string w) {
        for (char &c : w)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        return w;
    };
    std::string undashed = id(1);
    undashed.erase(std::remove(undashed.begin(), undashed.end(), '-'), undashed.end());
    for (const std::string &form : {upper(id(1)), "{" + id(1) + "}", "(" + upper(id(1)) + ")", undashed,
                                    "{" + upper(undashed) + "}"})
        EXPECT_EQ(ids.find(form.c_str()), "c1@x") << form;
    for (const std::string &other : {"{" + id(1), id(1) + "}", "[" + id(1) + "]", id(1).substr(1), " " + id(1),
                                     upper(id(2)), id(1).replace(8, 1, "_")})
        EXPECT_EQ(ids.find(other.c_str()), "") << other;
    EXPECT_TRUE(ids.learn(upper(id(1)).c_str(), "upper@x"));
    EXPECT_EQ(ids.find(id(1).c_str()), "c1@x") << "the first handle stays, whatever form came later";
    /* GUIDs apart only in the order of two digits are two words. */
    EXPECT_TRUE(ids.learn("00000000-0000-0000-0000-000000000012", "d12@x"));
    EXPECT_TRUE(ids.learn("00000000-0000-0000-0000-000000000021", "d21@x"));
    EXPECT_EQ(ids.find("00000000-0000-0000-0000-000000000021"), "d21@x");
}

/* Two clients of one account sign in at once: their connections learn the
 * same contacts and identifiers on threads of their own while the
 * administrator reads the person with its contacts. */
TEST_F(Helpers, ContactsLearntConcurrentlyByTwoConnectionsOfOneUser)
{
    alice();
    msnp_person *a = ct->person;
    ASSERT_NE(a->user, nullptr);
    constexpr int kContacts = 300;
    auto learn = [a](int from) {
        for (int k = 0; k < kContacts; ++k) {
            const int i = (k + from) % kContacts;
            const std::string handle = "c" + std::to_string(i) + "@x";
            msnp_user_contacts_add(a, handle.c_str());
            a->user->user_codes.learn(std::to_string(i).c_str(), handle.c_str());
        }
    };
    std::thread one(learn, 0), two(learn, kContacts / 2);
    for (int i = 0; i < 20; ++i)
        iks_delete(msnp_serialize_object_single(a, WITH_CONTACTS, nullptr, nullptr));
    one.join();
    two.join();
    EXPECT_EQ(a->user->contacts.size(), static_cast<size_t>(kContacts));
    for (int i : {0, 149, 150, 299})
        EXPECT_EQ(a->user->user_codes.find(std::to_string(i).c_str()), "c" + std::to_string(i) + "@x");
}

TEST_F(Helpers, ImpersonationSendsAsTheClient)
{
    alice();
    EXPECT_EQ(msnp_impersonate(idl, nullptr), 0);
    char *one[] = {const_cast<char *>("1f"), nullptr};
    EXPECT_EQ(msnp_impersonate(idl, one), 0);
    EXPECT_EQ(errors(), (std::vector<std::string>{"2: Incorrect syntax", "2: Incorrect syntax"}));

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    conn.srvd = sv[0];
    conn.tid = 0x1f;
    tqlist_insert_begin(&self->data, ct);
    char *args[] = {const_cast<char *>("1f"), const_cast<char *>("\"hi there\""), nullptr};
    EXPECT_EQ(msnp_impersonate(idl, args), 0);
    char *other[] = {const_cast<char *>("20"), const_cast<char *>("nobody"), nullptr};
    EXPECT_EQ(msnp_impersonate(idl, other), 0);
    tqlist_unlink_remove_ref(&self->data, ct);
    close(sv[0]);
    std::string got;
    char buf[512];
    for (ssize_t n; (n = read(sv[1], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    close(sv[1]);
    EXPECT_EQ(got.rfind("MSG 0 U ", 0), 0u) << got;
    EXPECT_EQ(got.size() - got.find("\r\n") - 2, std::stoul(got.substr(8)));
    EXPECT_NE(got.find("\r\n\r\nhi there"), std::string::npos) << got;
    EXPECT_EQ(got.find("nobody"), std::string::npos);
}

/* Each rule alters the first byte of the value after its field's first
 * occurrence, and only that; the server address only in TURN setups. */
TEST(Identity, ScramblingAltersTheFirstAnnouncedAddresses)
{
    auto scrambled = [](std::string bytes) {
        task_struct t{};
        t.data_buffer = bytes.data();
        t.buffer_size = bytes.size();
        msnp_scramble_address(&t);
        return bytes;
    };
    EXPECT_EQ(scrambled("srddA-lanretxE4vPI: 1.2.3.4 srddA-lanretxE4vPI: 5.6.7.8"),
              "srddA-lanretxE4vPI: 2.2.3.4 srddA-lanretxE4vPI: 5.6.7.8");
    EXPECT_EQ(scrambled("x srddA-lanretnI4vPI: 10.0.0.1"), "x srddA-lanretnI4vPI: 20.0.0.1");
    EXPECT_EQ(scrambled("stroPdnAsrddAlanretnI4vPI: 4.3.2.1:80"), "stroPdnAsrddAlanretnI4vPI: 5.3.2.1:80");
    EXPECT_EQ(scrambled("ServerAddress: 7.7.7.7"), "ServerAddress: 7.7.7.7");
    EXPECT_EQ(scrambled("turnsetup ServerAddress: 7.7.7.7"), "turnsetup ServerAddress: 8.7.7.7");
    EXPECT_EQ(scrambled("srddA-lanretxE4vPI:"), "srddA-lanretxE4vPI:") << "no value byte to alter";
}

} // namespace
