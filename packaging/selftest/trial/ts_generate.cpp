// The stream generator of the demo, the scripts and the benchmarks: writes to standard output
// either a transport stream of 188-byte packets, each starting with the sync byte 0x47, with a
// PAT and a PMT every 40 packets and one elementary stream of pseudo-random payload, continuity
// counters running per PID; or, with --random, pseudo-random bytes without any structure. The
// same arguments always give the same bytes, so a script can compare against a second run.
//
//   quill_ts_generate PACKETS [SEED]                  PACKETS whole packets
//   quill_ts_generate --size BYTES [--random] [--seed SEED]
//                                                     BYTES bytes: the stream cut at that size
//                                                     (the last packet may be partial), or
//                                                     pseudo-random bytes
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

// Pseudo-random bytes: the top byte of a 32-bit linear congruential generator.
void Fill(unsigned char* p, std::size_t n, std::uint32_t* x)
{
    for (std::size_t i = 0; i < n; ++i) {
        *x = *x * 1664525u + 1013904223u;
        p[i] = static_cast<unsigned char>(*x >> 24);
    }
}

// A decimal count; false for anything else (a sign, other characters, nothing at all).
bool ParseCount(const char* text, unsigned long long* value)
{
    if (*text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    *value = std::strtoull(text, &end, 10);
    return *end == '\0';
}

// Writes the first n bytes of p, and no more than *left; false when standard output failed.
bool Put(const unsigned char* p, std::size_t n, unsigned long long* left)
{
    if (n > *left)
        n = static_cast<std::size_t>(*left);
    *left -= n;
    return std::fwrite(p, 1, n, stdout) == n;
}

bool WritePackets(unsigned long long bytes, std::uint32_t x)
{
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
    for (unsigned long long i = 0; bytes > 0; ++i) {
        if (i % 40 == 0) {
            Section(pkt, 0, pat, sizeof pat, &pat_cc);
        } else if (i % 40 == 1) {
            Section(pkt, pmt_pid, pmt, sizeof pmt, &pmt_cc);
        } else {
            Header(pkt, video_pid, i % 40 == 2, &video_cc);
            Fill(pkt + 4, packet_size - 4, &x);
        }
        if (!Put(pkt, packet_size, &bytes))
            return false;
    }
    return true;
}

bool WriteRandom(unsigned long long bytes, std::uint32_t x)
{
    static unsigned char block[65536];
    while (bytes > 0) {
        Fill(block, sizeof block, &x);
        if (!Put(block, sizeof block, &bytes))
            return false;
    }
    return true;
}

int Usage()
{
    std::fprintf(stderr,
                 "Usage: quill_ts_generate PACKETS [SEED]\n"
                 "       quill_ts_generate --size BYTES [--random] [--seed SEED]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned long long bytes = 0, seed = 1;
    bool sized = false, random = false;
    if (argc >= 2 && argv[1][0] != '-') {
        unsigned long long packets = 0;
        if (argc > 3 || !ParseCount(argv[1], &packets) ||
            (argc == 3 && !ParseCount(argv[2], &seed)))
            return Usage();
        bytes = packets * packet_size;
    } else {
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--random") == 0) {
                random = true;
            } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
                if (!ParseCount(argv[++i], &bytes))
                    return Usage();
                sized = true;
            } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
                if (!ParseCount(argv[++i], &seed))
                    return Usage();
            } else {
                return Usage();
            }
        }
        if (!sized)
            return Usage();
    }
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::uint32_t x = static_cast<std::uint32_t>(seed);
    bool ok = random ? WriteRandom(bytes, x) : WritePackets(bytes, x);
    return ok && std::fflush(stdout) == 0 ? 0 : 1;
}
