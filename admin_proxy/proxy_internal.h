// The decoding steps of the two requests, for proxy_core.cpp and its tests; nothing else
// includes this header.
#pragma once

#include "proxy_core.h"

#include <cstddef>
#include <cstdint>

namespace proxy {

// The requested time of a set-time request: lParam's low 32 bits above wParam's, signed.
std::int64_t RequestedTime(WParam wParam, LParam lParam);

// True when requested lies strictly inside the acceptance window around now.
bool WithinAcceptanceWindow(std::int64_t requested, std::int64_t now);

// The match suffix of an open-file query: a dot, the eight extension bytes as units, and a
// terminating 0.
constexpr std::size_t match_suffix_units = 10;
struct MatchSuffix {
    Unit units[match_suffix_units];
    std::size_t length;   // of the dot and the extension, 2 to 9
};

// Fills *suffix from the query's bytes; false if any of the eight bytes is neither 0, a digit
// nor an ASCII letter, or the extension is empty.
bool MakeMatchSuffix(WParam wParam, LParam lParam, MatchSuffix* suffix);

}  // namespace proxy
