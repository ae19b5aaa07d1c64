// A small transport-stream generator for the demo: writes PACKETS 188-byte packets to standard
// output, each starting with the sync byte 0x47, with a PAT and a PMT every 40 packets and one
// elementary stream of pseudo-random payload, continuity counters running per PID.
//
//   quill_ts_generate PACKETS [SEED]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

constexpr int packet_size = 188;
constexpr unsigned pmt_pid = 0x1000;
constexpr unsigned video_pid = 0x100;

// The CRC-32 of MPEG-2 sections (polynomial 0x04C11DB7, no reflection).
std::uint32_t Crc32(const unsigned char* p, std::size_t n)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<std::uint32_t>(p[i]) << 24;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

void Header(unsigned char* pkt, unsigned pid, bool unit_start, unsigned* counter)
{
    pkt[0] = 0x47;
    pkt[1] = static_cast<unsigned char>((unit_start ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    pkt[2] = static_cast<unsigned char>(pid & 0xFF);
    pkt[3] = static_cast<unsigned char>(0x10 | (*counter & 0x0F));  // payload only
    *counter = (*counter + 1) & 0x0F;
}

// A packet carrying one section (PAT or PMT) after a zero pointer field, padded with 0xFF.
void Section(unsigned char* pkt, unsigned pid, const unsigned char* body, std::size_t n,
             unsigned* counter)
{
    std::memset(pkt, 0xFF, packet_size);
    Header(pkt, pid, true, counter);
    pkt[4] = 0;  // pointer field
    std::memcpy(pkt + 5, body, n);
    std::uint32_t crc = Crc32(body, n);
    for (int i = 0; i < 4; ++i)
        pkt[5 + n + i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "Usage: quill_ts_generate PACKETS [SEED]\n");
        return 2;
    }
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    long packets = std::atol(argv[1]);
    std::uint32_t x = argc == 3 ? static_cast<std::uint32_t>(std::atol(argv[2])) : 1u;
    // PAT: program 1 on pmt_pid. PMT: program 1, PCR and one H.262 stream on video_pid.
    const unsigned char pat[] = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00,
                                 0x00, 0x01, static_cast<unsigned char>(0xE0 | (pmt_pid >> 8)),
                                 static_cast<unsigned char>(pmt_pid & 0xFF)};
    const unsigned char pmt[] = {0x02, 0xB0, 0x12, 0x00, 0x01, 0xC1, 0x00, 0x00,
                                 static_cast<unsigned char>(0xE0 | (video_pid >> 8)),
                                 static_cast<unsigned char>(video_pid & 0xFF), 0xF0, 0x00, 0x02,
                                 static_cast<unsigned char>(0xE0 | (video_pid >> 8)),
                                 static_cast<unsigned char>(video_pid & 0xFF), 0xF0, 0x00};
    unsigned pat_cc = 0, pmt_cc = 0, video_cc = 0;
    unsigned char pkt[packet_size];
    for (long i = 0; i < packets; ++i) {
        if (i % 40 == 0) {
            Section(pkt, 0, pat, sizeof pat, &pat_cc);
        } else if (i % 40 == 1) {
            Section(pkt, pmt_pid, pmt, sizeof pmt, &pmt_cc);
        } else {
            Header(pkt, video_pid, i % 40 == 2, &video_cc);
            for (int b = 4; b < packet_size; ++b) {
                x = x * 1664525u + 1013904223u;
                pkt[b] = static_cast<unsigned char>(x >> 24);
            }
        }
        if (std::fwrite(pkt, 1, packet_size, stdout) != packet_size)
            return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
