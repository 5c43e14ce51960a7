// Expectation registry.
#include "expectations.h"

#include <algorithm>

namespace gw {

void ExpectationRegistry::add(tq3_expectation *e, void *owner, Clock::time_point now)
{
    if (!e)
        return;
    ExpectationRef ref(e, tq3_expectation_destroy);
    std::lock_guard<std::mutex> g(lock_);
    entries_.push_back(Entry{std::move(ref), owner, now + lifetime_});
}

namespace {

constexpr unsigned kWithdrawal = EXPECTATION_FLAG_DATA_ONLY | EXPECTATION_FLAG_INVALIDATE;

bool is_withdrawal(const tq3_expectation *e)
{
    return e && e->data && (e->flags & kWithdrawal) == kWithdrawal;
}

} // namespace

void ExpectationRegistry::withdraw_data(const void *data)
{
    std::vector<Entry> gone; // destroyed outside the lock
    {
        std::lock_guard<std::mutex> g(lock_);
        auto keep = std::stable_partition(entries_.begin(), entries_.end(), [&](const Entry &e) {
            return e.expectation->data != data;
        });
        std::move(keep, entries_.end(), std::back_inserter(gone));
        entries_.erase(keep, entries_.end());
    }
}

void ExpectationRegistry::take_list(tqlist **list, void *owner, Clock::time_point now)
{
    if (!list)
        return;
    for (tqlist *n = *list; n; n = n->next) {
        auto *e = static_cast<tq3_expectation *>(n->data);
        if (!is_withdrawal(e)) {
            add(e, owner, now);
            continue;
        }
        withdraw_data(e->data);
        e->data = nullptr; // owned by the expectations it came from
        tq3_expectation_destroy(e);
    }
    tqlist_destroy_without_refs(list);
}

std::vector<ExpectationMatch> ExpectationRegistry::match(uint32_t saddr, uint16_t sport,
                                                         uint32_t daddr, uint16_t dport,
                                                         Clock::time_point now)
{
    std::vector<ExpectationMatch> found;
    std::vector<Entry> withdrawn; // destroyed outside the lock
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto it = entries_.begin(); it != entries_.end();) {
            const tq3_expectation *e = it->expectation.get();
            if (it->expires <= now ||
                !tq3_expectation_match(e, saddr, sport, daddr, dport)) {
                ++it;
                continue;
            }
            found.push_back(ExpectationMatch{it->expectation, it->owner,
                                             (e->flags & EXPECTATION_FLAG_DATA_ONLY) != 0});
            if (e->flags & EXPECTATION_FLAG_INVALIDATE) {
                withdrawn.push_back(std::move(*it));
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
    }
    return found;
}

size_t ExpectationRegistry::expire(Clock::time_point now)
{
    std::vector<Entry> gone;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto keep = std::stable_partition(entries_.begin(), entries_.end(),
                                          [&](const Entry &e) { return e.expires > now; });
        std::move(keep, entries_.end(), std::back_inserter(gone));
        entries_.erase(keep, entries_.end());
    }
    return gone.size();
}

void ExpectationRegistry::clear(void *owner)
{
    std::vector<Entry> gone;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto keep = std::stable_partition(entries_.begin(), entries_.end(), [&](const Entry &e) {
            return owner && e.owner != owner;
        });
        std::move(keep, entries_.end(), std::back_inserter(gone));
        entries_.erase(keep, entries_.end());
    }
}

size_t ExpectationRegistry::size() const
{
    std::lock_guard<std::mutex> g(lock_);
    return entries_.size();
}

} // namespace gw
