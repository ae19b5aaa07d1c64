// Reading PE images, natively under the sanitizers: a small 64-bit DLL made here, read whole
// and cut at every length.
#include "selftest/pe_image.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

void Put32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// Headers at 0x40, one section (address 0x1000) at file offset 0x200 holding the export table
// with two names at 0x200 and the version resource's directories at 0x300; the version data
// ends at the file's end, so that every cut loses something the reader needs.
std::vector<unsigned char> SmallDll()
{
    std::vector<unsigned char> b(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, 0x40);
    Put32(b, 0x40, 0x4550);
    Put32(b, 0x44, 0x8664 | 1u << 16);   // machine, one section
    Put32(b, 0x54, 240 | 0x2000u << 16); // optional header size, DLL
    Put32(b, 0x58, 0x20B);
    Put32(b, 0x58 + 108, 16);            // directories
    Put32(b, 0x58 + 112, 0x1000);        // exports
    Put32(b, 0x58 + 128, 0x1100);        // resources
    std::memcpy(&b[0x148], ".rsrc", 5);
    Put32(b, 0x150, 0x200);              // size, address, raw size, raw offset
    Put32(b, 0x154, 0x1000);
    Put32(b, 0x158, 0x200);
    Put32(b, 0x15C, 0x200);
    Put32(b, 0x200 + 24, 2);
    Put32(b, 0x200 + 32, 0x1040);
    Put32(b, 0x240, 0x1050);
    Put32(b, 0x244, 0x1060);
    std::memcpy(&b[0x250], "AddTSBuff", 10);
    std::memcpy(&b[0x260], "CreateCtrl", 11);
    // Type 16, name 1, language 0x409, then the data entry.
    for (std::uint32_t level = 0; level < 3; ++level) {
        Put32(b, 0x300 + 0x18 * level + 12, 1u << 16);
        Put32(b, 0x300 + 0x18 * level + 16, level == 0 ? 16 : 1);
        Put32(b, 0x300 + 0x18 * level + 20, 0x18 * (level + 1) | (level < 2 ? 0x80000000u : 0));
    }
    Put32(b, 0x348, 0x11C0);
    Put32(b, 0x34C, 0x40);
    Put32(b, 0x3C0 + 0x28, 0xFEEF04BD);
    Put32(b, 0x3C0 + 0x30, 1u << 16 | 2);
    Put32(b, 0x3C0 + 0x34, 3u << 16 | 4);
    return b;
}

TEST(PeImage, reads_the_machine_the_export_names_and_the_version_of_a_whole_dll)
{
    selftest::PeImage image = selftest::ReadPeImage(SmallDll());
    EXPECT_EQ(image.problem, "");
    EXPECT_EQ(selftest::MachineName(image.machine), "64-bit (x64)");
    EXPECT_TRUE(image.dll);
    EXPECT_EQ(image.exports, (std::vector<std::string>{"AddTSBuff", "CreateCtrl"}));
    EXPECT_EQ(selftest::VersionText(image), "1.2.3.4");
}

TEST(PeImage, a_file_cut_anywhere_is_reported_and_never_read_beyond_its_end)
{
    std::vector<unsigned char> whole = SmallDll();
    for (std::size_t size = 0; size < whole.size(); ++size) {
        std::vector<unsigned char> cut(whole.begin(), whole.begin() + size);
        EXPECT_NE(selftest::ReadPeImage(cut).problem, "") << "cut at " << size;
    }
    whole.resize(0x3F0);
    EXPECT_EQ(selftest::ReadPeImage(whole).problem,
              "the file ends at byte 1008, before the end of its section .rsrc (byte 1024): it "
              "is cut short");
}

}  // namespace
