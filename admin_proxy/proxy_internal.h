// The decoding of a set-time request, for proxy_core.cpp and its tests; nothing else includes
// this header.
#pragma once

#include "proxy_core.h"

#include <cstdint>

namespace proxy {

// The requested time of a set-time request: lParam's low 32 bits above wParam's, signed.
std::int64_t RequestedTime(WParam wParam, LParam lParam);

// True when requested lies strictly inside the acceptance window around now.
bool WithinAcceptanceWindow(std::int64_t requested, std::int64_t now);

}  // namespace proxy
