// Stream distribution and duplicate outputs in direct-file mode, through the loaded library on
// real files: where an added output joins the stream, which ids outputs get, how a save is
// found by its path, and that every file holds exactly the stream bytes from its boundary on.
#include "quill_fixture.h"

#include <cctype>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#endif

using namespace quill_test;
using test_support::FileExists;
using test_support::ReadFileBytes;
using test_support::WriteFileBytes;

namespace {

class DistributeTest : public QuillTest {
protected:
    // A library with the given DataUnit setting (empty: the key is absent) and control 1
    // saving to "main.ts".
    void StartWithUnit(const std::string& unit)
    {
        if (!unit.empty())
            WriteSettings({"DataUnit=" + unit});
        Load();
        id = NewCtrl();
        main_path = Path("main.ts");
        ASSERT_TRUE(q.StartSave(id, main_path.c_str(), 0, 0));
    }
    // Hands stream bytes [from, from + size) over; the result of AddTSBuff.
    BOOL Feed(std::size_t from, std::size_t size, DWORD* written = nullptr)
    {
        DWORD local = 12345;
        DWORD* ws = written != nullptr ? written : &local;
        const BYTE* data = reinterpret_cast<const BYTE*>(stream.data()) + from;
        BOOL ok = q.AddTSBuff(id, data, static_cast<DWORD>(size), ws);
        if (ok) {
            EXPECT_EQ(*ws, size);
        }
        return ok;
    }
    // Adds an output for name under the save of primary; its id, or 0. path gets the path used.
    DWORD Add(const WStr& primary, const std::string& name, int mode = -1, WStr* path = nullptr)
    {
        WStr buf = Path(name);
        buf.resize(600, 0);
        DWORD out = 0;
        if (!q.DuplicateSave(primary.c_str(), &out, &buf[0], 600, mode, 0))
            return 0;
        if (path != nullptr)
            *path = WStr(buf.c_str());
        return out;
    }
    DWORD Add(const std::string& name, int mode = -1) { return Add(main_path, name, mode); }
    BOOL Remove(DWORD output)
    {
        return q.DuplicateSave(main_path.c_str(), &output, nullptr, 0, -1, 0);
    }
    std::string Bytes(const std::string& name) { return ReadFileBytes(dir.File(name)); }
    std::string Stream(std::size_t from, std::size_t to) { return stream.substr(from, to - from); }

    std::string stream = test_support::PatternBytes(1 << 20, 11);
    DWORD id = 0;
    WStr main_path;
};

TEST_F(DistributeTest, duplicate_joins_at_next_unit_boundary)
{
    StartWithUnit("");  // 188 by default
    ASSERT_TRUE(Feed(0, 100));
    ASSERT_EQ(Add("dup.ts"), 2u);
    ASSERT_TRUE(Feed(100, 50));   // ends before the boundary at 188: output 1 only
    EXPECT_EQ(Bytes("dup.ts"), "");
    ASSERT_TRUE(Feed(150, 100));  // the duplicate takes the last 62 bytes
    EXPECT_EQ(Bytes("dup.ts"), Stream(188, 250));
    ASSERT_TRUE(Feed(250, 5000));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Bytes("main.ts"), Stream(0, 5250));
    EXPECT_EQ(Bytes("dup.ts"), Stream(188, 5250));
}

TEST_F(DistributeTest, unit_one_takes_every_byte_at_once)
{
    StartWithUnit("1");
    ASSERT_TRUE(Feed(0, 100));
    ASSERT_EQ(Add("dup.ts"), 2u);
    ASSERT_TRUE(Feed(100, 50));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Bytes("dup.ts"), Stream(100, 150));
}

TEST_F(DistributeTest, boundary_at_buffer_end_starts_with_next_buffer)
{
    StartWithUnit("188");
    ASSERT_TRUE(Feed(0, 100));
    ASSERT_EQ(Add("dup.ts"), 2u);
    ASSERT_TRUE(Feed(100, 88));  // skip 88 = size: nothing for the duplicate
    ASSERT_TRUE(Feed(188, 10));  // position 0 again: all of it
    // Added exactly at a boundary: the whole next buffer.
    ASSERT_TRUE(Feed(198, 178));
    ASSERT_EQ(Add("third.ts"), 3u);
    ASSERT_TRUE(Feed(376, 7));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Bytes("dup.ts"), Stream(188, 383));
    EXPECT_EQ(Bytes("third.ts"), Stream(376, 383));
    EXPECT_EQ(Bytes("main.ts"), Stream(0, 383));
}

TEST_F(DistributeTest, idle_and_invalid_feeds_are_refused)
{
    StartWithUnit("");
    DWORD ws = 77;
    const BYTE* data = reinterpret_cast<const BYTE*>(stream.data());
    EXPECT_FALSE(q.AddTSBuff(id, data, 0, &ws));
    EXPECT_EQ(ws, 77u);
    EXPECT_FALSE(q.AddTSBuff(id, nullptr, 10, &ws));
    EXPECT_FALSE(q.AddTSBuff(id, data, 10, nullptr));
    EXPECT_FALSE(q.AddTSBuff(0, data, 10, &ws));
    EXPECT_FALSE(q.AddTSBuff(17, data, 10, &ws));
    EXPECT_FALSE(q.AddTSBuff(2, data, 10, &ws));  // free slot
    EXPECT_EQ(ws, 77u);
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_FALSE(q.AddTSBuff(id, data, 10, &ws));  // idle: no outputs
    EXPECT_EQ(ws, 0u);
    EXPECT_EQ(Bytes("main.ts"), "");
}

TEST_F(DistributeTest, output_ids_count_up_and_freed_ones_are_reused)
{
    StartWithUnit("");
    EXPECT_EQ(Add("d2.ts"), 2u);
    EXPECT_EQ(Add("d3.ts"), 3u);
    EXPECT_EQ(Add("d4.ts"), 4u);
    EXPECT_TRUE(Remove(3));
    EXPECT_FALSE(HeldForWriting(dir.File("d3.ts")));
    EXPECT_FALSE(Remove(3));  // free already
    EXPECT_FALSE(Remove(0));
    EXPECT_FALSE(Remove(5));  // beyond the outputs counted
    EXPECT_EQ(Add("d3b.ts"), 3u);
    EXPECT_EQ(Add("d5.ts"), 5u);
    ASSERT_TRUE(Feed(0, 188 * 3));
    EXPECT_TRUE(q.StopSave(id));
    for (const char* name : {"main.ts", "d2.ts", "d3b.ts", "d4.ts", "d5.ts"})
        EXPECT_EQ(Bytes(name), Stream(0, 188 * 3)) << name;
    EXPECT_EQ(Bytes("d3.ts"), "");
}

TEST_F(DistributeTest, sixty_four_outputs_at_most)
{
    StartWithUnit("");
    for (DWORD want = 2; want <= 64; ++want)
        ASSERT_EQ(Add("d" + std::to_string(want) + ".ts"), want);
    EXPECT_EQ(Add("one-too-many.ts"), 0u);
    EXPECT_FALSE(FileExists(dir.File("one-too-many.ts")));
    EXPECT_TRUE(Remove(40));
    EXPECT_EQ(Add("again.ts"), 40u);
    ASSERT_TRUE(Feed(0, 1000));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Bytes("d64.ts"), Stream(0, 1000));
    EXPECT_EQ(Bytes("again.ts"), Stream(0, 1000));
    EXPECT_EQ(Bytes("d40.ts"), "");
}

TEST_F(DistributeTest, removed_primary_leaves_the_duplicates)
{
    StartWithUnit("188");
    ASSERT_TRUE(Feed(0, 100));
    ASSERT_EQ(Add("dup.ts"), 2u);
    EXPECT_TRUE(Remove(1));
    EXPECT_FALSE(HeldForWriting(dir.File("main.ts")));
    // Only the duplicate is left, and these buffers end before its boundary or right on it:
    // not accepted.
    DWORD ws = 99;
    EXPECT_FALSE(Feed(100, 50, &ws));
    EXPECT_EQ(ws, 0u);
    EXPECT_FALSE(Feed(150, 88, &ws));
    EXPECT_EQ(ws, 0u);
    // The position did not move: the next buffer's skip is 88 again.
    ASSERT_TRUE(Feed(238, 100));
    EXPECT_EQ(Bytes("dup.ts"), Stream(326, 338));
    // The save is still found by its path, and output 1's id is reused first.
    EXPECT_EQ(Add("new1.ts"), 1u);
    ASSERT_TRUE(Feed(338, 200));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Bytes("main.ts"), Stream(0, 100));
    // Accepted so far: 100 + 100 bytes, so the next boundary lies 176 bytes into this buffer.
    EXPECT_EQ(Bytes("new1.ts"), Stream(338 + 176, 538));
    EXPECT_EQ(Bytes("dup.ts"), Stream(326, 538));
}

TEST_F(DistributeTest, save_found_by_its_path_ignoring_case)
{
    StartWithUnit("");
    std::string upper = N(main_path);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    WStr path;
    EXPECT_EQ(Add(W(upper), "dup.ts", -1, &path), 2u);
    EXPECT_EQ(path, Path("dup.ts"));
    EXPECT_EQ(Add(Path("other.ts"), "x.ts"), 0u);  // no save of that path
    DWORD out = 0;
    WStr buf = Path("y.ts");
    EXPECT_FALSE(q.DuplicateSave(nullptr, &out, &buf[0], 100, -1, 0));
    EXPECT_FALSE(q.DuplicateSave(main_path.c_str(), nullptr, &buf[0], 100, -1, 0));
    EXPECT_FALSE(FileExists(dir.File("y.ts")));
}

TEST_F(DistributeTest, numbered_save_found_only_by_that_name)
{
    ASSERT_TRUE(WriteFileBytes(dir.File("main.ts"), "taken"));
    StartWithUnit("");
    ASSERT_EQ(lib.SavePath(id), Path("main-(1).ts"));
    EXPECT_EQ(Add(Path("main.ts"), "dup.ts"), 0u);
    EXPECT_EQ(Add(Path("main-(1).ts"), "dup.ts"), 2u);
}

TEST_F(DistributeTest, duplicate_of_the_open_file_gets_a_numbered_name)
{
    StartWithUnit("");
    WStr path;
    EXPECT_EQ(Add(main_path, "main.ts", 0, &path), 2u);
    EXPECT_EQ(path, Path("main-(1).ts"));
}

TEST_F(DistributeTest, overwrite_mode_picks_the_flag)
{
    // mode -1 takes the save's own flag; 0 never replaces; positive replaces.
    struct Case {
        BOOL save_overwrite;
        int mode;
        bool replaces;
    };
    const Case cases[] = {{0, -1, false}, {1, -1, true}, {1, 0, false}, {0, 1, true}, {0, 9, true}};
    Load();
    id = NewCtrl();
    int n = 0;
    for (const Case& c : cases) {
        std::string name = "target" + std::to_string(n) + ".ts";
        main_path = Path("main" + std::to_string(n++) + ".ts");
        ASSERT_TRUE(q.StartSave(id, main_path.c_str(), c.save_overwrite, 0));
        ASSERT_TRUE(WriteFileBytes(dir.File(name), "existing"));
        WStr path;
        ASSERT_NE(Add(main_path, name, c.mode, &path), 0u);
        std::string stem = name.substr(0, name.size() - 3);
        EXPECT_EQ(path, Path(c.replaces ? name : stem + "-(1).ts")) << c.mode;
        EXPECT_EQ(Bytes(name), c.replaces ? "" : "existing") << c.mode;
        EXPECT_TRUE(q.StopSave(id));
    }
}

TEST_F(DistributeTest, too_small_path_buffer_limits_the_candidates)
{
    StartWithUnit("");
    ASSERT_TRUE(WriteFileBytes(dir.File("n.ts"), ""));
    WStr buf = Path("n.ts");
    DWORD size = static_cast<DWORD>(buf.size() + 1);  // no room for "-(1)"
    buf.resize(size + 10, 0);
    DWORD out = 0;
    EXPECT_FALSE(q.DuplicateSave(main_path.c_str(), &out, &buf[0], size, 0, 0));
    EXPECT_FALSE(FileExists(dir.File("n-(1).ts")));
    EXPECT_TRUE(q.DuplicateSave(main_path.c_str(), &out, &buf[0], size + 4, 0, 0));
    EXPECT_EQ(WStr(buf.c_str()), Path("n-(1).ts"));
    EXPECT_EQ(out, 2u);  // the failed add left entry 2 counted and free, and it is reused
    // A capacity of 2^31 or more is as large as it says, not negative.
    buf = Path("n.ts");
    buf.resize(size + 10, 0);
    EXPECT_TRUE(q.DuplicateSave(main_path.c_str(), &out, &buf[0], 0x80000000u, 0, 0));
    EXPECT_EQ(WStr(buf.c_str()), Path("n-(2).ts"));
}

TEST_F(DistributeTest, stopped_control_takes_a_new_output_as_id_one)
{
    StartWithUnit("188");
    ASSERT_TRUE(Feed(0, 376));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Add("after.ts"), 1u);
    EXPECT_EQ(Add("after2.ts"), 2u);
    ASSERT_TRUE(Feed(376, 100));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Bytes("main.ts"), Stream(0, 376));
    EXPECT_EQ(Bytes("after.ts"), Stream(376, 476));

    // A later control saving to the same file again: the path names the lower id, the
    // stopped one, whose next output is id 1 again (the saving one's would be 2).
    DWORD later = NewCtrl();
    ASSERT_TRUE(q.StartSave(later, main_path.c_str(), 1, 0));
    EXPECT_EQ(Add("lower.ts"), 1u);
}

TEST_F(DistributeTest, empty_primary_path_names_a_control_never_started)
{
    Load();
    DWORD started = NewCtrl();
    WStr path = Path("s.ts");
    ASSERT_TRUE(q.StartSave(started, path.c_str(), 0, 0));
    id = NewCtrl();  // never started: empty path
    EXPECT_EQ(Add(W(""), "blank.ts"), 1u);
    ASSERT_TRUE(Feed(0, 10));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Bytes("blank.ts"), Stream(0, 10));
    EXPECT_EQ(Bytes("s.ts"), "");
}

// A slot keeps its stream position across DeleteCtrl and CreateCtrl; the data unit read by the
// next first control may be smaller than that position. An output added to the never-started
// control must still join at a boundary of the new unit, not wait for ever.
TEST_F(DistributeTest, position_left_from_a_larger_unit_still_finds_a_boundary)
{
    StartWithUnit("188");
    ASSERT_TRUE(Feed(0, 150));  // position 150
    ASSERT_TRUE(q.DeleteCtrl(id));
    WriteSettings({"DataUnit=100"});
    id = NewCtrl();  // the same slot, still at 150: 50 into a 100-byte unit
    ASSERT_EQ(Add(W(""), "late.ts"), 1u);
    ASSERT_TRUE(Feed(0, 120));
    ASSERT_TRUE(Feed(120, 100));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Bytes("late.ts"), Stream(50, 220));
}

#ifndef _WIN32
// The position moves by the buffer's length modulo the data unit, also for a buffer of nearly
// 4 GiB, where position plus length no longer fits 32 bits. The buffer is a mapping that is
// never touched; the main output is a pipe in the scratch folder that a thread drains, counting.
TEST_F(DistributeTest, position_after_a_buffer_of_almost_four_gib)
{
    WriteSettings({"DataUnit=188"});
    Load();
    id = NewCtrl();
    std::string fifo = dir.File("main.ts");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    unsigned long long drained = 0;
    std::thread drain([&] {
        int fd = open(fifo.c_str(), O_RDONLY);  // waits for StartSave to open the writing end
        static char chunk[1 << 16];
        for (ssize_t n; fd >= 0 && (n = read(fd, chunk, sizeof chunk)) > 0;)
            drained += static_cast<unsigned long long>(n);
        if (fd >= 0)
            close(fd);
    });
    main_path = W(fifo);
    bool started = q.StartSave(id, main_path.c_str(), 1, 0);
    if (!started)  // let the drain's open return
        close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    ASSERT_TRUE(started);
    ASSERT_TRUE(Feed(0, 100));
    const DWORD huge = 0xFFFFFFFFu;
    void* big = mmap(nullptr, huge, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    DWORD ws = 0;
    EXPECT_NE(big, MAP_FAILED);
    if (big != MAP_FAILED) {
        EXPECT_TRUE(q.AddTSBuff(id, static_cast<const BYTE*>(big), huge, &ws));
        EXPECT_EQ(ws, huge);
        munmap(big, huge);
    }
    // 100 + 0xFFFFFFFF is 47 modulo 188 (the sum cut to 32 bits would give 99): a duplicate
    // added now skips 141 bytes.
    EXPECT_EQ(Add("dup.ts"), 2u);
    EXPECT_TRUE(Feed(0, 400));
    EXPECT_TRUE(q.StopSave(id));
    drain.join();
    EXPECT_EQ(drained, 100ull + huge + 400);
    EXPECT_EQ(Bytes("dup.ts"), Stream(141, 400));
}
#endif

#ifdef _WIN32
const char* full_device = "Z:\\dev\\full";
#else
const char* full_device = "/dev/full";
#endif

TEST_F(DistributeTest, failing_output_is_dropped_alone)
{
    StartWithUnit("188");
    WStr buf = W(full_device);
    buf.resize(100, 0);
    DWORD out = 0;
    if (!q.DuplicateSave(main_path.c_str(), &out, &buf[0], 100, 1, 0))
        GTEST_SKIP() << full_device << " cannot be opened here";
    ASSERT_EQ(out, 2u);
    ASSERT_EQ(Add("third.ts"), 3u);
    DWORD ws = 0;
    ASSERT_TRUE(Feed(0, 1000, &ws));  // output 2 fails; 1 and 3 go on
    EXPECT_EQ(ws, 1000u);
    EXPECT_EQ(Add("reuse.ts"), 2u);   // the failed entry is free; the count did not change
    EXPECT_EQ(Add("fourth.ts"), 4u);
    ASSERT_TRUE(Feed(1000, 128));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Bytes("main.ts"), Stream(0, 1128));
    EXPECT_EQ(Bytes("third.ts"), Stream(0, 1128));
    EXPECT_EQ(Bytes("reuse.ts"), Stream(1128, 1128));
}

}  // namespace
