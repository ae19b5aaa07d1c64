// Test data of tailgrip's tests: streams of fixed-length packets that each begin with a given
// byte, as the preamble check expects them.
#pragma once

#include "test_files.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace tailgrip_test {

constexpr unsigned char sync_byte = 0x47;
constexpr std::size_t ts_packet = 188;

// size bytes of interval-byte packets from offset 0 on: preamble at every packet start, varied
// bytes elsewhere that never equal the preamble, so that only packet starts can pass the check.
inline std::string PacketStream(std::size_t size, std::size_t interval, std::uint32_t seed,
                                unsigned char preamble = sync_byte)
{
    std::string s = test_support::PatternBytes(size, seed);
    for (std::size_t i = 0; i < size; ++i) {
        if (i % interval == 0)
            s[i] = static_cast<char>(preamble);
        else if (static_cast<unsigned char>(s[i]) == preamble)
            s[i] = static_cast<char>(preamble ^ 1);
    }
    return s;
}

inline std::string TsStream(std::size_t size, std::uint32_t seed)
{
    return PacketStream(size, ts_packet, seed);
}

}  // namespace tailgrip_test
