// Output 1 in direct-file mode, through the loaded library on real files: numbered names when
// the requested file cannot be created, overwrite, the path-length limits, restarts, files left
// open at unload, and the share mode that lets others read a recording but not change it.
#include "quill_fixture.h"

#include "child_process.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <filesystem>

using namespace quill_test;
using test_support::FileExists;
using test_support::ReadFileBytes;
using test_support::WriteFileBytes;

namespace {

class SaveTest : public QuillTest {
protected:
    void SetUp() override
    {
        QuillTest::SetUp();
        Load();
        id = NewCtrl();
    }
    DWORD id = 0;
};

TEST_F(SaveTest, numbered_name_when_file_exists)
{
    // Requested name, first fallback; the requested file exists already.
    struct Case {
        std::string requested, fallback;
    };
    std::vector<Case> cases = {
        {"news.ts", "news-(1).ts"},
        {"news.hd.ts", "news.hd-(1).ts"},
        {"news", "news-(1)"},
        {".ts", "-(1).ts"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileBytes(dir.File(c.requested), "old"));
        WStr requested = Path(c.requested);
        ASSERT_TRUE(q.StartSave(id, requested.c_str(), 0, 0)) << c.requested;
        EXPECT_EQ(lib.SavePath(id), Path(c.fallback)) << c.requested;
        EXPECT_EQ(ReadFileBytes(dir.File(c.requested)), "old");
        EXPECT_TRUE(FileExists(dir.File(c.fallback)));
        EXPECT_TRUE(q.StopSave(id));
    }
    // The second fallback when the first is taken too.
    WStr requested = Path("news.ts");
    ASSERT_TRUE(q.StartSave(id, requested.c_str(), 0, 0));
    EXPECT_EQ(lib.SavePath(id), Path("news-(2).ts"));
}

TEST_F(SaveTest, dot_in_directory_name_is_no_extension)
{
    std::string subdir = dir.File("rec.d");
    ASSERT_TRUE(MakeDir(subdir));
    std::string name = subdir + Sep() + "news";
    ASSERT_TRUE(WriteFileBytes(name, "old"));
    WStr requested = W(name);
    ASSERT_TRUE(q.StartSave(id, requested.c_str(), 0, 0));
    EXPECT_EQ(lib.SavePath(id), W(name + "-(1)"));
}

TEST_F(SaveTest, overwrite_replaces_the_file_under_its_name)
{
    ASSERT_TRUE(WriteFileBytes(dir.File("news.ts"), "old contents"));
    WStr requested = Path("news.ts");
    ASSERT_TRUE(q.StartSave(id, requested.c_str(), 7, 0));
    EXPECT_EQ(lib.SavePath(id), requested);
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(ReadFileBytes(dir.File("news.ts")), "");
    EXPECT_FALSE(FileExists(dir.File("news-(1).ts")));
}

TEST_F(SaveTest, name_that_cannot_be_replaced_falls_back_even_with_overwrite)
{
    // A folder under the requested name cannot be replaced by a file.
    std::string busy = dir.File("busy.ts");
    ASSERT_TRUE(MakeDir(busy));
    WStr requested = W(busy);
    ASSERT_TRUE(q.StartSave(id, requested.c_str(), 1, 0));
    EXPECT_EQ(lib.SavePath(id), Path("busy-(1).ts"));
#ifdef _WIN32
    // Nor can a file that another handle holds without sharing.
    ASSERT_TRUE(WriteFileBytes(dir.File("locked.ts"), "old"));
    HANDLE holder = CreateFileW(Path("locked.ts").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    WStr locked = Path("locked.ts");
    EXPECT_TRUE(q.StartSave(id, locked.c_str(), 1, 0));
    EXPECT_EQ(lib.SavePath(id), Path("locked-(1).ts"));
    CloseHandle(holder);
    EXPECT_EQ(ReadFileBytes(dir.File("locked.ts")), "old");
#endif
    // Nor can a file that another output of ours still writes (on POSIX, where there are no
    // share modes, this once cut the running recording and both wrote into one file).
    DWORD other = NewCtrl();
    WStr live = Path("live.ts");
    ASSERT_TRUE(q.StartSave(other, live.c_str(), 0, 0));
    const BYTE data[3] = {1, 2, 3};
    DWORD ws = 0;
    ASSERT_TRUE(q.AddTSBuff(other, data, 3, &ws));
    EXPECT_TRUE(q.StartSave(id, live.c_str(), 1, 0));
    EXPECT_EQ(lib.SavePath(id), Path("live-(1).ts"));
    ASSERT_TRUE(q.AddTSBuff(other, data, 3, &ws));
    EXPECT_TRUE(q.DeleteCtrl(other));
    EXPECT_EQ(ReadFileBytes(dir.File("live.ts")), std::string("\1\2\3\1\2\3"));
}

TEST_F(SaveTest, unloading_closes_files_left_open)
{
    WStr file = Path("left-open.ts");
    ASSERT_TRUE(q.StartSave(id, file.c_str(), 0, 0));
    ASSERT_TRUE(HeldForWriting(N(file)));
    lib.Unload();  // the host never stopped its save
    EXPECT_FALSE(HeldForWriting(N(file)));
}

TEST_F(SaveTest, all_numbered_names_taken_fails_with_empty_path)
{
    ASSERT_TRUE(WriteFileBytes(dir.File("full.ts"), ""));
    for (int n = 1; n <= 999; ++n)
        ASSERT_TRUE(WriteFileBytes(dir.File("full-(" + std::to_string(n) + ").ts"), ""));
    WStr requested = Path("full.ts");
    EXPECT_FALSE(q.StartSave(id, requested.c_str(), 0, 0));
    DWORD size = 0;
    EXPECT_TRUE(q.GetSaveFilePath(id, nullptr, &size));
    EXPECT_EQ(size, 1u);

    // One freed name is found again.
    ASSERT_TRUE(std::remove(dir.File("full-(998).ts").c_str()) == 0);
    ASSERT_TRUE(q.StartSave(id, requested.c_str(), 0, 0));
    EXPECT_EQ(lib.SavePath(id), Path("full-(998).ts"));
}

// An empty name fails as one that cannot be created does; tried as a file all the same, it
// would end as "-(1)" in the host's current folder.
TEST_F(SaveTest, failed_start_clears_the_reported_path)
{
    const std::filesystem::path host_folder = std::filesystem::current_path();
    std::filesystem::current_path(std::filesystem::u8path(dir.path()));
    WStr good = Path("good.ts");
    WCHAR empty[64] = {};
    DWORD out = 0;
    for (const WStr& failing : {Path("no-such-dir" + Sep() + "x.ts"), WStr()}) {
        ASSERT_TRUE(q.StartSave(id, good.c_str(), 1, 0));
        EXPECT_FALSE(q.DuplicateSave(good.c_str(), &out, empty, 64, 0, 0));
        EXPECT_FALSE(q.StartSave(id, failing.c_str(), 0, 0));
        EXPECT_EQ(lib.SavePath(id), WStr());
        EXPECT_FALSE(HeldForWriting(N(good)));  // the first save was stopped
    }
    std::filesystem::current_path(host_folder);
    EXPECT_FALSE(FileExists(dir.File("-(1)")));
}

TEST_F(SaveTest, second_start_closes_the_first_file)
{
    WStr first = Path("first.ts");
    WStr second = Path("second.ts");
    ASSERT_TRUE(q.StartSave(id, first.c_str(), 0, 0));
    EXPECT_TRUE(HeldForWriting(N(first)));
    ASSERT_TRUE(q.StartSave(id, second.c_str(), 0, 0));
    EXPECT_FALSE(HeldForWriting(N(first)));
    EXPECT_TRUE(HeldForWriting(N(second)));
    EXPECT_EQ(lib.SavePath(id), second);
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_FALSE(HeldForWriting(N(second)));
}

// A file path exactly length units long, in folders made for it; the file does not exist.
std::string PathOfLength(const std::string& base, std::size_t length, const std::string& ext)
{
    const std::size_t name = 100;
    return DirOfLength(base, length - name - 1) + Sep() + std::string(name - ext.size(), 'n') + ext;
}

// Creates an empty file with the platform's own call, which takes paths longer than the C
// runtime's limit on Windows.
bool Touch(const std::string& path)
{
#ifdef _WIN32
    HANDLE h = CreateFileW(W(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
#else
    return WriteFileBytes(path, "");
#endif
}

bool Exists(const std::string& path)
{
#ifdef _WIN32
    return GetFileAttributesW(W(path).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    return FileExists(path);
#endif
}

// Whether this platform lets us create a file under a path this long at all.
bool CanCreate(const std::string& path)
{
    if (!Touch(path))
        return false;
#ifdef _WIN32
    DeleteFileW(W(path).c_str());
#else
    std::remove(path.c_str());
#endif
    return true;
}

TEST_F(SaveTest, path_length_limits)
{
    std::string p511 = PathOfLength(dir.path(), 511, ".ts");
    std::string p512 = p511.substr(0, p511.size() - 3) + "n.ts";
    ASSERT_EQ(p511.size(), 511u);
    ASSERT_EQ(p512.size(), 512u);
    if (!CanCreate(p512))
        GTEST_SKIP() << "this platform does not allow 512-character paths";

    WStr w512 = W(p512);
    EXPECT_FALSE(q.StartSave(id, w512.c_str(), 0, 0));
    EXPECT_FALSE(Exists(p512));
    WStr w511 = W(p511);
    ASSERT_TRUE(q.StartSave(id, w511.c_str(), 0, 0));
    EXPECT_EQ(lib.SavePath(id), w511);
    EXPECT_TRUE(q.StopSave(id));

    // 508 units and the file exists: "-(1)" makes 512, so no candidate fits.
    std::string p508 = PathOfLength(dir.path(), 508, ".ts");
    ASSERT_TRUE(Touch(p508));
    WStr w508 = W(p508);
    EXPECT_FALSE(q.StartSave(id, w508.c_str(), 0, 0));

    // 507 units: only N = 1 to 9 fit; with 1 to 8 taken as well, -(9) is chosen.
    std::string p507 = PathOfLength(dir.path(), 507, ".ts");
    std::string stem = p507.substr(0, p507.size() - 3);
    ASSERT_TRUE(Touch(p507));
    for (int n = 1; n <= 8; ++n)
        ASSERT_TRUE(Touch(stem + "-(" + std::to_string(n) + ").ts"));
    WStr w507 = W(p507);
    ASSERT_TRUE(q.StartSave(id, w507.c_str(), 0, 0));
    EXPECT_EQ(lib.SavePath(id), W(stem + "-(9).ts"));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_FALSE(q.StartSave(id, w507.c_str(), 0, 0));  // -(10) would be 512 long
    EXPECT_FALSE(Exists(stem + "-(10).ts"));
}

#ifdef _WIN32
TEST_F(SaveTest, others_may_read_the_recording_but_not_write_or_delete_it)
{
    WStr file = Path("shared.ts");
    ASSERT_TRUE(q.StartSave(id, file.c_str(), 0, 0));
    test_support::RunResult r = test_support::RunTool(SHARE_PROBE_PATH, {N(file)});
    EXPECT_EQ(r.out, "read=1 write=0 delete=0");
    EXPECT_TRUE(q.StopSave(id));
    r = test_support::RunTool(SHARE_PROBE_PATH, {N(file)});
    EXPECT_EQ(r.out, "read=1 write=1 delete=1");
}
#endif

}  // namespace
