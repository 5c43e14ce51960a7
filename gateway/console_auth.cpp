#include "console_auth.h"

#include <crypt.h>
#include <sys/random.h>

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

std::optional<std::string> ConsoleAuth::login(const std::string &name, const std::string &password)
{
    auto it = users_.find(name);
    // An unknown name costs a hash as well: the time does not tell.
    static const std::string dummy = hash_console_password("no such account");
    bool ok = check_console_password(password, it == users_.end() ? dummy : it->second.hash) && it != users_.end();
    if (!ok)
        return std::nullopt;
    unsigned char raw[32];
    if (getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw))
        return std::nullopt;
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char c : raw) {
        token += hex[c >> 4];
        token += hex[c & 15];
    }
    std::lock_guard<std::mutex> g(lock_);
    Clock::time_point now = Clock::now();
    for (auto s = sessions_.begin(); s != sessions_.end();)
        s = now - s->second.seen > kIdle ? sessions_.erase(s) : std::next(s);
    sessions_[token] = {it->second.account, now};
    return token;
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
