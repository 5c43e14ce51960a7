#include "console_auth.h"

#include <crypt.h>
#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

#include "textutil.h"

namespace gw {

std::string hash_console_password(const std::string &password)
{
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt))
        return "";
    auto data = std::make_unique<crypt_data>();
    const char *h = crypt_r(password.c_str(), salt, data.get());
    return h && h[0] == '$' ? h : "";
}

bool check_console_password(const std::string &password, const std::string &hash)
{
    if (hash.empty() || hash[0] != '$')
        return false;
    auto data = std::make_unique<crypt_data>();
    const char *h = crypt_r(password.c_str(), hash.c_str(), data.get());
    if (!h || h[0] != '$' || std::strlen(h) != hash.size())
        return false;
    // In constant time: the comparison must not tell how much matched.
    unsigned char diff = 0;
    for (size_t i = 0; i < hash.size(); ++i)
        diff |= static_cast<unsigned char>(h[i] ^ hash[i]);
    return diff == 0;
}

bool ConsoleAuth::load(const std::string &file, std::string &error)
{
    std::ifstream in(file);
    if (!in) {
        error = file + ": cannot read the console accounts: " + std::strerror(errno);
        return false;
    }
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        size_t a = t.find(':'), b = a == std::string::npos ? a : t.find(':', a + 1);
        if (b == std::string::npos) {
            error = file + ":" + std::to_string(n) + ": expected NAME:LEVEL:HASH";
            return false;
        }
        User u;
        u.account.name = t.substr(0, a);
        std::string level = t.substr(a + 1, b - a - 1);
        u.hash = t.substr(b + 1);
        if (u.account.name.empty() || level.size() != 1 || level[0] < '0' || level[0] > '9' || u.hash.empty() ||
            u.hash[0] != '$') {
            error = file + ":" + std::to_string(n) + ": expected NAME:LEVEL:HASH (a level 0-9, a crypt(3) hash)";
            return false;
        }
        u.account.level = level[0] - '0';
        users_[u.account.name] = u;
    }
    return true;
}

void ConsoleAuth::set_limits(int failures, std::chrono::minutes lockout)
{
    std::lock_guard<std::mutex> g(lock_);
    lock_after_ = failures;
    lockout_ = lockout;
}

bool ConsoleAuth::strike(Strikes &account, Strikes &address, Clock::time_point now)
{
    constexpr std::chrono::seconds kFirstWait{1}, kLongestWait{60};
    bool locked = false;
    for (Strikes *s : {&account, &address}) {
        ++s->failures;
        auto wait = kFirstWait * (1L << std::min(s->failures - 1, 6));
        s->not_before = now + std::min<Clock::duration>(wait, kLongestWait);
    }
    if (lock_after_ > 0 && account.failures >= lock_after_ && account.locked_until <= now) {
        account.locked_until = now + lockout_;
        locked = true;
    }
    return locked;
}

void ConsoleAuth::prune(Clock::time_point now)
{
    constexpr size_t kKept = 10000;
    for (auto *m : {&accounts_, &addresses_}) {
        if (m->size() < kKept)
            continue;
        for (auto it = m->begin(); it != m->end();)
            it = it->second.not_before <= now && it->second.locked_until <= now ? m->erase(it) : std::next(it);
        while (m->size() >= kKept) // all of them still hold someone back: the oldest names go
            m->erase(m->begin());
    }
}

ConsoleAuth::LoginResult ConsoleAuth::login(const std::string &name, const std::string &password,
                                            const std::string &address)
{
    LoginResult out;
    auto seconds_until = [](Clock::time_point t, Clock::time_point now) {
        return std::max<long>(1, static_cast<long>(std::chrono::ceil<std::chrono::seconds>(t - now).count()));
    };
    {
        std::lock_guard<std::mutex> g(lock_);
        Clock::time_point now = Clock::now();
        prune(now);
        Strikes &account = accounts_[name], &from = addresses_[address];
        if (account.locked_until > now) {
            out.retry_after = seconds_until(account.locked_until, now);
            out.why = "account locked after failed logins; try again in " + std::to_string(out.retry_after) + " s";
            strike(account, from, now);
            return out;
        }
        Clock::time_point wait = std::max(account.not_before, from.not_before);
        if (wait > now) {
            out.locked_now = strike(account, from, now);
            out.retry_after = seconds_until(out.locked_now ? account.locked_until : wait, now);
            out.why = (out.locked_now ? "account locked after failed logins" : "too many failed logins")
                      + std::string("; try again in ") + std::to_string(out.retry_after) + " s";
            return out;
        }
    }
    auto it = users_.find(name);
    // An unknown name costs a hash as well: the time does not tell.
    static const std::string dummy = hash_console_password("no such account");
    bool ok = check_console_password(password, it == users_.end() ? dummy : it->second.hash) && it != users_.end();
    unsigned char raw[32];
    if (ok && getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw))
        ok = false;
    std::lock_guard<std::mutex> g(lock_);
    Clock::time_point now = Clock::now();
    Strikes &account = accounts_[name], &from = addresses_[address];
    if (!ok) {
        out.locked_now = strike(account, from, now);
        out.why = out.locked_now ? "wrong name or password; the account is locked" : "wrong name or password";
        if (out.locked_now)
            out.retry_after = seconds_until(account.locked_until, now);
        return out;
    }
    accounts_.erase(name);
    addresses_.erase(address);
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char c : raw) {
        token += hex[c >> 4];
        token += hex[c & 15];
    }
    for (auto s = sessions_.begin(); s != sessions_.end();)
        s = now - s->second.seen > kIdle ? sessions_.erase(s) : std::next(s);
    sessions_[token] = {it->second.account, now};
    out.token = token;
    return out;
}

std::optional<ConsoleAccount> ConsoleAuth::session(const std::string &token)
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = sessions_.find(token);
    if (it == sessions_.end())
        return std::nullopt;
    Clock::time_point now = Clock::now();
    if (now - it->second.seen > kIdle) {
        sessions_.erase(it);
        return std::nullopt;
    }
    it->second.seen = now;
    return it->second.account;
}

void ConsoleAuth::logout(const std::string &token)
{
    std::lock_guard<std::mutex> g(lock_);
    sessions_.erase(token);
}

} // namespace gw
