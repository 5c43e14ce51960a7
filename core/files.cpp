// Paths, directories, rotated files and unique names.
//
// Module paths come from configuration written for hosts that separate path
// parts with a backslash, so every path handed in goes through host_path.
#include "utils.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Rotated copies are NAME.0 (newest) up to NAME.keep-1 (oldest).
constexpr long kFirstRotated = 0;

std::string join(const std::string &dir, const std::string &name)
{
    if (dir.empty())
        return name;
    if (dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

std::string rotated(const std::string &base, long k) { return base + "." + std::to_string(k); }

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A bare file name: no separators, not "." or "..".
bool plain_name(const char *name)
{
    return name && *name && !std::strchr(name, '/') && !std::strchr(name, '\\') &&
           std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

std::string to_host(const char *path)
{
    std::string s(path);
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

// Numbers k of the entries NAME.k in `dir`, written without leading zeros.
bool rotated_numbers(const std::string &dir, const char *name, std::vector<long> &out)
{
    DIR *d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d)
        return false;
    size_t nlen = std::strlen(name);
    while (struct dirent *e = readdir(d)) {
        const char *n = e->d_name;
        if (std::strncmp(n, name, nlen) != 0 || n[nlen] != '.')
            continue;
        const char *digits = n + nlen + 1;
        if (!*digits || (digits[0] == '0' && digits[1]))
            continue;
        long k = 0;
        bool ok = true;
        for (const char *p = digits; *p && ok; ++p) {
            if (*p < '0' || *p > '9' || k > (LONG_MAX - 9) / 10)
                ok = false;
            else
                k = k * 10 + (*p - '0');
        }
        if (ok)
            out.push_back(k);
    }
    closedir(d);
    return true;
}

bool fill_random(unsigned char *buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        ssize_t n = getrandom(buf + got, len - got, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

char *hex_of(const unsigned char *bytes, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    auto *out = static_cast<char *>(std::malloc(len * 2 + 1));
    if (!out)
        return nullptr;
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    out[len * 2] = '\0';
    return out;
}

// A bijection on 64-bit values (the splitmix64 finaliser): distinct inputs
// give distinct outputs, without showing the counter behind them.
uint64_t mix64(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

} // namespace

extern "C" {

char *host_path(const char *path)
{
    if (!path)
        return nullptr;
    char *out = strdup(path);
    if (!out)
        return nullptr;
    for (char *p = out; *p; ++p)
        if (*p == '\\')
            *p = '/';
    return out;
}

int check_dir_and_create(const char *path)
{
    if (!path || !*path)
        return 0;
    std::string p = to_host(path);
    // Create each prefix in turn; EEXIST is fine, the final stat decides.
    for (size_t i = 1; i <= p.size(); ++i) {
        if (i == p.size() || p[i] == '/') {
            if (p[i - 1] == '/')
                continue;
            std::string prefix = p.substr(0, i);
            if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
                break;
        }
    }
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int rotate_logs_pattern(const char *dir, const char *name, int keep)
{
    if (!dir || !plain_name(name))
        return -1;
    std::string d = to_host(dir);
    std::string base = join(d, name);
    std::vector<long> nums;
    if (!rotated_numbers(d, name, nums))
        return -1;
    std::sort(nums.begin(), nums.end());

    long limit = (keep > 0 ? keep : 0) + kFirstRotated;
    // Without a current file there is nothing to rotate: shifting would
    // only open a gap at the newest number.
    long shift = keep > 0 && exists(base) ? 1 : 0;
    // Copies that would end up numbered past the limit after the shift.
    for (long k : nums)
        if (k + shift >= limit)
            unlink(rotated(base, k).c_str());
    if (shift) {
        // Oldest first, so that no rename lands on a copy not yet moved.
        for (auto it = nums.rbegin(); it != nums.rend(); ++it)
            if (*it + 1 < limit)
                rename(rotated(base, *it).c_str(), rotated(base, *it + 1).c_str());
        rename(base.c_str(), rotated(base, kFirstRotated).c_str());
    }

    int left = 0;
    for (long k = kFirstRotated; k < limit; ++k)
        if (exists(rotated(base, k)))
            ++left;
    return left;
}

int count_directory_pattern(const char *dir, const char *name, int flags)
{
    if (!dir || !plain_name(name))
        return 0;
    std::string base = join(to_host(dir), name);
    int n = 0;
    for (long k = kFirstRotated; k < INT_MAX && exists(rotated(base, k)); ++k)
        ++n;
    if ((flags & 1) && exists(base))
        ++n;
    return n;
}

int fnmatch_list(const tqlist *patterns, const char *name, int flags)
{
    if (!name)
        return 0;
    for (; patterns; patterns = patterns->next) {
        const auto *pat = static_cast<const char *>(patterns->data);
        if (pat && fnmatch(pat, name, flags) == 0)
            return 1;
    }
    return 0;
}

char *simple_unique_name(char **insecure)
{
    if (insecure) {
        char host[256] = "localhost";
        if (gethostname(host, sizeof host - 1) != 0)
            std::strcpy(host, "localhost");
        host[sizeof host - 1] = '\0';
        char *text = nullptr;
        if (asprintf(&text, "%s-%ld-%lld", host, static_cast<long>(getpid()),
                     static_cast<long long>(time(nullptr))) < 0)
            text = nullptr;
        *insecure = text;
    }
    unsigned char bytes[16];
    if (!fill_random(bytes, sizeof bytes))
        return nullptr;
    return hex_of(bytes, sizeof bytes);
}

char *simple_unique_name_hashed(void)
{
    static std::atomic<uint64_t> counter{0};
    unsigned char bytes[16];
    if (!fill_random(bytes, 8))
        return nullptr;
    // The random half separates runs; the mixed counter half makes every
    // identifier of this run distinct for certain.
    uint64_t tail = mix64(counter.fetch_add(1, std::memory_order_relaxed));
    for (int i = 0; i < 8; ++i)
        bytes[8 + i] = static_cast<unsigned char>(tail >> (56 - 8 * i));
    return hex_of(bytes, sizeof bytes);
}

} // extern "C"
