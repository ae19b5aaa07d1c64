// The file side of hopover beyond 4 GiB: a relay that has passed on more than 4 GiB continues
// from that byte count, in a sparse file of a little more than that, where a count cut to 32
// bits would name other bytes. (Relaying 4 GiB through a pipe first would take too long.)
#include "platform.h"

#include "sparse_file.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace test_support;

namespace {

TEST(LargeFile, continues_beyond_4_gib)
{
    ScratchDir dir{"hopover-large"};
    const std::string path = dir.File("large.ts");
    const std::uint64_t four_gib = 4294967296ull;
    const std::string head = PatternBytes(1000, 3), tail = PatternBytes(5000, 4);
    ASSERT_TRUE(WriteBytesAt(path, 0, head));
    ASSERT_TRUE(WriteBytesAt(path, four_gib, tail));

    std::FILE* file = plat::OpenShared(std::wstring(path.begin(), path.end()).c_str());
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(plat::Seek64(file, four_gib + 100), 0);
    char buf[8192];
    std::size_t n = std::fread(buf, 1, sizeof buf, file);
    std::fclose(file);
    EXPECT_TRUE(std::string(buf, n) == tail.substr(100)) << n;
}

}  // namespace
