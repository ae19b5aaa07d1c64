// What the installation check needs to know of a Windows program or library, read from its
// bytes: the architecture, whether it is a DLL, the names it exports and the file version. A
// library is never loaded to find this out: loading runs its code, and one of the wrong
// architecture or a damaged one would not load at all, which says nothing about why.
// Portable C++: no OS header, every read checked against the end of the bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace selftest {

struct PeImage {
    std::string problem;               // empty when the image could be read; else what is wrong
    std::uint16_t machine = 0;         // 0x8664 x64, 0x14c x86, others as they stand
    bool dll = false;
    std::vector<std::string> exports;  // exported names, as the export table lists them
    bool hasVersion = false;
    std::uint16_t version[4] = {};     // FileVersion of the version resource
};

PeImage ReadPeImage(const std::vector<unsigned char>& bytes);

// "64-bit (x64)", "32-bit (x86)", or the machine number for anything else.
std::string MachineName(std::uint16_t machine);

// "1.0.0.0", or "no version" for an image without a version resource.
std::string VersionText(const PeImage& image);

}  // namespace selftest
