// Positions beyond 4 GiB, in a sparse file of a little more than that: the loop's I/O reading,
// moving back and reading again there, and the real program starting at an offset whose low 32
// bits alone would name other bytes.
#include "platform.h"
#include "tailgrip_core.h"

#include "child_process.h"
#include "sparse_file.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace test_support;

namespace {

constexpr std::uint64_t four_gib = 4294967296ull;

class LargeFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        // head at 0 and tail at 4 GiB: an offset cut to 32 bits reads the head instead.
        ASSERT_TRUE(WriteBytesAt(path, 0, head));
        ASSERT_TRUE(WriteBytesAt(path, four_gib, tail));
    }

    ScratchDir dir{"tailgrip-large"};
    const std::string path = dir.File("large.ts");
    const std::string head = PatternBytes(1000, 1);
    const std::string tail = PatternBytes(70000, 2);
};

TEST_F(LargeFile, loop_io_reads_and_steps_back_beyond_4_gib)
{
    std::FILE* file = plat::OpenShared(std::wstring(path.begin(), path.end()).c_str());
    ASSERT_NE(file, nullptr);
    tailgrip::FileLoopIo io(file, stdout);
    auto read = [&](std::size_t size) {
        std::vector<unsigned char> buf(size);
        std::size_t n = io.Read(buf.data(), size);
        return std::string(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    };
    ASSERT_EQ(plat::Seek64(file, static_cast<std::int64_t>(four_gib + 100),
                           plat::SeekFrom::start), 0);
    EXPECT_EQ(read(188), tail.substr(100, 188));
    io.SeekBack(188);
    EXPECT_EQ(read(188), tail.substr(100, 188));
    EXPECT_EQ(read(100000), tail.substr(288));
    EXPECT_EQ(read(100000), "");
    // What is appended there is found by the next read.
    ASSERT_TRUE(WriteBytesAt(path, four_gib + tail.size(), "appended"));
    EXPECT_EQ(read(100000), "appended");
    std::fclose(file);
}

TEST_F(LargeFile, program_starts_beyond_4_gib_from_either_end)
{
    // 4294967396 is 4 GiB + 100; "-1001" starts 1000 bytes before the end.
    RunResult from_start = RunTool(TAILGRIP_PATH, {"4294967396", "0", path});
    EXPECT_EQ(from_start.exit_code, 0) << from_start.err;
    EXPECT_TRUE(from_start.out == tail.substr(100)) << from_start.out.size();
    RunResult from_end = RunTool(TAILGRIP_PATH, {"-1001", "0", path});
    EXPECT_EQ(from_end.exit_code, 0) << from_end.err;
    EXPECT_TRUE(from_end.out == tail.substr(tail.size() - 1000)) << from_end.out.size();
}

}  // namespace
