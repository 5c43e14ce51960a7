/* Prometheus scrapes the gateway: the text passes promtool's check, and
 * the counters move with a sign-in and a conversation through it. */
#include <httplib.h>

#include <cstdlib>
#include <map>

#include "gateway/e2e_fixture.h"

using namespace e2e;

namespace {

class Metrics : public GatewayE2E {
protected:
    uint16_t port = 0;

    void start_with_metrics()
    {
        start({"metrics = 0"});
        const std::string out = gw.stdout_text(), said = "metrics on 127.0.0.1:";
        size_t at = out.find(said);
        ASSERT_NE(at, std::string::npos) << out;
        port = static_cast<uint16_t>(std::atoi(out.c_str() + at + said.size()));
        ASSERT_NE(port, 0) << out;
    }

    std::string scrape()
    {
        httplib::Client cli("127.0.0.1", port);
        auto res = cli.Get("/metrics");
        EXPECT_TRUE(res && res->status == 200);
        if (!res)
            return "";
        EXPECT_EQ(res->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
        return res->body;
    }

    /* The samples of a scrape by their full name with labels. */
    static std::map<std::string, double> samples(const std::string &text)
    {
        std::map<std::string, double> out;
        for (const auto &line : lines_of(text))
            if (!line.empty() && line[0] != '#') {
                size_t sp = line.rfind(' ');
                out[line.substr(0, sp)] = std::stod(line.substr(sp + 1));
            }
        return out;
    }

    void promtool_accepts(const std::string &text)
    {
        std::ofstream(dir / "scrape.txt") << text;
        EXPECT_EQ(sh("promtool check metrics < " + std::string(dir / "scrape.txt") + " > " +
                     std::string(dir / "promtool.out") + " 2>&1"),
                  0)
            << slurp(dir / "promtool.out");
    }
};

TEST_F(Metrics, CountersMoveWithTheTrafficAndPromtoolAcceptsTheText)
{
    start_with_metrics();
    const std::string before_text = scrape();
    promtool_accepts(before_text);
    auto before = samples(before_text);
    EXPECT_EQ(before["trevalquin_connections_total{door=\"socks\"}"], 0);

    {
        Sessions t = alice_calls_trent();
        ASSERT_TRUE(t.sb.client && t.sb.server);
        const std::string text = "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\nhello trent";
        EXPECT_TRUE(pass_through(t.sb.client.get(), t.sb.server.get(),
                                 "MSG 5 N " + std::to_string(text.size()) + "\r\n" + text));
        auto during = samples(scrape());
        EXPECT_EQ(during["trevalquin_connections_open{door=\"socks\"}"], 2);
    }
    const std::string after_text = scrape();
    promtool_accepts(after_text);
    auto after = samples(after_text);
    EXPECT_EQ(after["trevalquin_connections_total{door=\"socks\"}"], 2);
    EXPECT_TRUE(eventually([&] { return samples(scrape())["trevalquin_connections_open{door=\"socks\"}"] == 0; }));
    EXPECT_GT(after["trevalquin_relayed_bytes_total{from=\"client\"}"], 70);
    EXPECT_GT(after["trevalquin_relayed_bytes_total{from=\"server\"}"], 0);
    EXPECT_GT(after["trevalquin_decision_seconds_count"], before["trevalquin_decision_seconds_count"]);
    EXPECT_EQ(after["trevalquin_decision_seconds_count"], after["trevalquin_decision_seconds_bucket{le=\"+Inf\"}"]);
    EXPECT_GE(after["trevalquin_relay_latency_seconds_count"], after["trevalquin_decision_seconds_count"]);
    double module_before = 0, module_after = 0;
    for (const auto &[name, v] : before)
        if (name.rfind("trevalquin_module_events_total{", 0) == 0)
            module_before += v;
    for (const auto &[name, v] : after)
        if (name.rfind("trevalquin_module_events_total{", 0) == 0)
            module_after += v;
    EXPECT_GT(module_after, module_before) << after_text;

    /* A reload that fails is counted as one. */
    std::ofstream(policy) << "<trevalquin><object-list>";
    EXPECT_EQ(tqctl({"reload-policy"}).status, 1);
    EXPECT_EQ(samples(scrape())["trevalquin_policy_reloads_total{result=\"failed\"}"], 1);
}

} // namespace
