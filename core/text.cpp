// Text helpers. All of them work on NUL-terminated byte strings and treat a
// NULL argument as bad input (a neutral result), never as a crash.
#include "utils.h"

#include <arpa/inet.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <array>
#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Stops of memchr after which memmem_local filters by both ends instead.
constexpr int kMemchrStops = 4;

// How common a byte is in chat text and protocol headers, roughly: a
// higher rank is a rarer byte.
constexpr int byte_rank(unsigned char c)
{
    constexpr const char kLetters[] = "etaoinshrdlcumwfgypbvkjxqz";
    if (c == ' ')
        return 0;
    for (int i = 0; kLetters[i]; ++i)
        if (c == static_cast<unsigned char>(kLetters[i]))
            return 1 + i;
    if (c == '\r' || c == '\n')
        return 30;
    if (c >= '0' && c <= '9')
        return 40;
    if (c >= 'A' && c <= 'Z')
        return 50;
    if (c >= 0x21 && c <= 0x7e)
        return 60; // punctuation
    return 70;     // control bytes and bytes of other scripts
}

constexpr std::array<unsigned char, 256> kByteRank = [] {
    std::array<unsigned char, 256> ranks{};
    for (int c = 0; c < 256; ++c)
        ranks[static_cast<size_t>(c)] = static_cast<unsigned char>(byte_rank(static_cast<unsigned char>(c)));
    return ranks;
}();

// The position of the needle's rarest byte (the first of equals).
size_t rarest_byte(const unsigned char *n, size_t len)
{
    size_t best = 0;
    unsigned best_rank = kByteRank[n[0]];
    for (size_t i = 1; i < len; ++i) {
        unsigned rank = kByteRank[n[i]];
        if (rank > best_rank) {
            best_rank = rank;
            best = i;
        }
    }
    return best;
}

// The first place in [p, last] where `n` (len >= 2 bytes) starts, or
// NULL: sixteen places at a time are kept only where the needle's first
// and last bytes both fit, and only those are compared. Every read stays
// below last + len, the end of the bytes searched.
const unsigned char *find_by_ends(const unsigned char *p, const unsigned char *last, const unsigned char *n,
                                  size_t len)
{
#ifdef __SSE2__
    const __m128i first = _mm_set1_epi8(static_cast<char>(n[0]));
    const __m128i end = _mm_set1_epi8(static_cast<char>(n[len - 1]));
    for (; last - p >= 15; p += 16) {
        __m128i starts = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i ends = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + len - 1));
        __m128i both = _mm_and_si128(_mm_cmpeq_epi8(starts, first), _mm_cmpeq_epi8(ends, end));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(both));
        for (; mask; mask &= mask - 1) {
            const unsigned char *at = p + __builtin_ctz(mask);
            if (std::memcmp(at + 1, n + 1, len - 2) == 0)
                return at;
        }
    }
#endif
    for (; p <= last; ++p)
        if (p[0] == n[0] && p[len - 1] == n[len - 1] && std::memcmp(p + 1, n + 1, len - 2) == 0)
            return p;
    return nullptr;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Reads H or HH (0-23) ':' MM (00-59), advancing *p.
bool read_hour_minute(const char **p, int *hour, int *minute)
{
    const char *s = *p;
    if (!is_digit(s[0]))
        return false;
    int h = s[0] - '0';
    ++s;
    if (is_digit(s[0])) {
        h = h * 10 + (s[0] - '0');
        ++s;
    }
    if (*s != ':' || !is_digit(s[1]) || !is_digit(s[2]))
        return false;
    int m = (s[1] - '0') * 10 + (s[2] - '0');
    s += 3;
    if (is_digit(*s) || h > 23 || m > 59)
        return false;
    *hour = h;
    *minute = m;
    *p = s;
    return true;
}

} // namespace

extern "C" {

// Length of the well-formed UTF-8 sequence at `s` (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0.
size_t utf8_sequence(const unsigned char *s)
{
    unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    unsigned char lo = 0x80, hi = 0xBF;
    size_t len;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    // The terminating NUL is not a continuation byte, so a truncated
    // sequence stops the scan before reading past the string.
    if (s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < len; ++i)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return len;
}

int strexplode(char *text, char **words, int max, const char *seps, char quote)
{
    if (!text || !words || max <= 0)
        return 0;
    if (!seps)
        seps = "";
    int n = 0;
    char *p = text;
    while (n < max) {
        // strspn and strcspn look each byte up in one table they build
        // from seps: headers and command lines are split per message.
        p += std::strspn(p, seps);
        if (*p == '\0')
            break;
        words[n++] = p;
        if (quote != '\0' && *p == quote) {
            char *close = std::strchr(p + 1, quote);
            p = close ? close + 1 : p + std::strlen(p);
        }
        p += std::strcspn(p, seps);
        if (*p == '\0')
            break;
        *p++ = '\0';
    }
    return n;
}

char *dequote(char *text, char quote)
{
    if (!text)
        return nullptr;
    size_t len = std::strlen(text);
    if (len >= 2 && text[0] == quote && text[len - 1] == quote) {
        std::memmove(text, text + 1, len - 2);
        text[len - 2] = '\0';
    }
    return text;
}

size_t strlcpy(char *dst, const char *src, size_t size)
{
    if (!src)
        src = "";
    size_t len = std::strlen(src);
    if (dst && size) {
        size_t n = len < size - 1 ? len : size - 1;
        std::memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len;
}

size_t strlcat(char *dst, const char *src, size_t size)
{
    // Like the BSD original, a destination without a NUL inside `size`
    // counts as `size` long and is left untouched.
    if (!src)
        src = "";
    if (!dst)
        return std::strlen(src);
    size_t dlen = strnlen(dst, size);
    if (dlen == size)
        return size + std::strlen(src);
    return dlen + strlcpy(dst + dlen, src, size - dlen);
}

void *memmem_local(const void *hay, size_t hay_len, const void *needle, size_t needle_len)
{
    if (!hay || !needle || needle_len == 0 || needle_len > hay_len)
        return nullptr;
    const auto *h = static_cast<const unsigned char *>(hay);
    const auto *n = static_cast<const unsigned char *>(needle);
    const unsigned char *last = h + (hay_len - needle_len);
    // memchr leaps to the needle's rarest byte: the best search while that
    // byte is rare in the haystack. Where it is common every stop costs a
    // call, and after a few the rest of the places go through a filter that
    // keeps only those where the first and the last byte both fit.
    size_t k = rarest_byte(n, needle_len);
    int stops = 0;
    for (const unsigned char *p = h + k; p <= last + k; ++p) {
        p = static_cast<const unsigned char *>(std::memchr(p, n[k], static_cast<size_t>(last + k - p) + 1));
        if (!p)
            return nullptr;
        const unsigned char *start = p - k;
        // Both ends are looked at before the call: the rarest byte is
        // often one of them, and a stop mostly fails at the other.
        if (start[0] == n[0] && start[needle_len - 1] == n[needle_len - 1] &&
            std::memcmp(start, n, needle_len) == 0)
            return const_cast<unsigned char *>(start);
        if (++stops == kMemchrStops && needle_len > 1)
            return const_cast<unsigned char *>(find_by_ends(start + 1, last, n, needle_len));
    }
    return nullptr;
}

int count_char_from_string(const char *text, char c)
{
    if (!text || c == '\0')
        return 0;
    int n = 0;
    for (; *text; ++text)
        if (*text == c)
            ++n;
    return n;
}

int sanitize_utf8_string(char *text)
{
    if (!text)
        return 0;
    int replaced = 0;
    auto *p = reinterpret_cast<unsigned char *>(text);
    while (*p) {
        /* Printable ASCII, the bulk of any text, needs no look. */
        while (*p >= 0x20 && *p < 0x7F)
            ++p;
        if (!*p)
            break;
        unsigned char c = *p;
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
                *p = '?';
                ++replaced;
            }
            ++p;
            continue;
        }
        size_t len = utf8_sequence(p);
        if (len == 0) {
            *p++ = '?';
            ++replaced;
        } else {
            p += len;
        }
    }
    return replaced;
}

int data_format(char *text, char delim, char **pattern, char **options)
{
    if (!text || delim == '\0' || text[0] != delim)
        return 0;
    char *last = std::strrchr(text + 1, delim);
    if (!last || last == text + 1)
        return 0;
    *last = '\0';
    if (pattern)
        *pattern = text + 1;
    if (options)
        *options = last + 1;
    return 1;
}

int range_hourminute(const char *text, int *hour_start, int *minute_start, int *hour_end,
                     int *minute_end)
{
    if (!text)
        return 0;
    const char *p = text;
    int hs, ms, he, me;
    while (is_blank(*p))
        ++p;
    if (!read_hour_minute(&p, &hs, &ms))
        return 0;
    while (is_blank(*p))
        ++p;
    if (*p++ != '-')
        return 0;
    while (is_blank(*p))
        ++p;
    if (!read_hour_minute(&p, &he, &me))
        return 0;
    while (is_blank(*p))
        ++p;
    if (*p != '\0')
        return 0;
    if (hour_start)
        *hour_start = hs;
    if (minute_start)
        *minute_start = ms;
    if (hour_end)
        *hour_end = he;
    if (minute_end)
        *minute_end = me;
    return 1;
}

int host_address(const char *text, uint32_t *addr)
{
    if (!text)
        return 0;
    struct in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1)
        return 0;
    if (addr)
        *addr = a.s_addr;
    return 1;
}

} // extern "C"
