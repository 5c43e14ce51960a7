/* Segments cut again as a network might have: for tests that replay the
 * same bytes in other segmentations. */
#ifndef TESTS_TOOLS_SEGMENT_CUTS_H
#define TESTS_TOOLS_SEGMENT_CUTS_H

#include <algorithm>
#include <random>
#include <vector>

#include "capture_reader.h"

inline /* Every segment in random pieces; some pieces sent twice (whole, or
 * overlapping the next), and neighbours of one segment swapped. */
std::vector<tqreplay::Segment> shuffle_cut(const std::vector<tqreplay::Segment> &segments, std::mt19937 &rng)
{
    auto pick = [&](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };
    std::vector<tqreplay::Segment> out;
    for (const tqreplay::Segment &s : segments) {
        if (s.payload.empty()) {
            out.push_back(s);
            continue;
        }
        std::vector<tqreplay::Segment> pieces;
        for (size_t at = 0; at < s.payload.size();) {
            size_t n = std::min(s.payload.size() - at, pick(1, 24));
            tqreplay::Segment p = s;
            p.seq = s.seq + static_cast<uint32_t>(at);
            p.payload = s.payload.substr(at, n);
            pieces.push_back(p);
            if (pick(0, 5) == 0)
                pieces.push_back(p); // retransmitted
            if (pick(0, 7) == 0 && at + n < s.payload.size()) {
                tqreplay::Segment o = p; // retransmitted with more of the stream
                o.payload = s.payload.substr(at, n + pick(1, s.payload.size() - at - n));
                pieces.push_back(o);
            }
            at += n;
        }
        for (size_t i = 0; i + 1 < pieces.size(); ++i)
            if (pick(0, 4) == 0)
                std::swap(pieces[i], pieces[i + 1]);
        out.insert(out.end(), pieces.begin(), pieces.end());
    }
    return out;
}

#endif
