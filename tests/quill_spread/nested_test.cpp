// Nested mode through the loaded library: the exact calls, arguments and order that opening
// and closing output 1 make into the nested plug-in, on success and on every failure path.
#include "quill_fixture.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <cstdio>

using namespace quill_test;

namespace {

using Lines = std::vector<std::string>;

// The calls that close the output held by nested control nid.
Lines CloseCalls(DWORD nid)
{
    const std::string of = " id=" + std::to_string(nid);
    return {"StopSave" + of + " ret=1", "DeleteCtrl" + of + " ret=1"};
}

// The calls that open one output as nested control nid: CreateCtrl, StartSave with the path,
// the flag and the parameter, GetSaveFilePath with the capacity. When the step named fail
// fails, what was opened is undone and nothing further is called.
Lines OpenCalls(DWORD nid, const std::string& path, int flag, ULONGLONG param, DWORD cap,
                const std::string& fail = "")
{
    if (fail == "CreateCtrl")
        return {"CreateCtrl ret=0"};
    const std::string of = " id=" + std::to_string(nid);
    auto ret = [&](const char* step) { return fail == step ? " ret=0" : " ret=1"; };
    Lines calls = {"CreateCtrl" + of + " ret=1",
                   "StartSave" + of + ret("StartSave") + " path=" + path +
                       " overwrite=" + std::to_string(flag) + " param=" + std::to_string(param)};
    if (fail == "StartSave") {
        calls.push_back("DeleteCtrl" + of + " ret=1");
        return calls;
    }
    calls.push_back("GetSaveFilePath" + of + ret("GetSaveFilePath") + " cap=" +
                    std::to_string(cap));
    if (fail == "GetSaveFilePath") {
        for (const std::string& line : CloseCalls(nid))
            calls.push_back(line);
    }
    return calls;
}

Lines Joined(Lines a, const Lines& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const char* const failing_steps[] = {"CreateCtrl", "StartSave", "GetSaveFilePath"};

class NestedTest : public QuillTest {
protected:
    void SetUp() override
    {
        QuillTest::SetUp();
        nested = AddNested(std::string("TestNested") + library_suffix);
        WriteSettings({"WritePlugin=TestNested" + std::string(library_suffix)});
        Load();
        id = NewCtrl();
        ClearNestedLog(nested);
    }
    // The calls logged since the last look, and a fresh log.
    Lines Calls()
    {
        Lines lines = NestedLog(nested);
        ClearNestedLog(nested);
        return lines;
    }
    std::string nested;
    DWORD id = 0;
};

TEST_F(NestedTest, start_and_stop_make_the_fixed_sequence)
{
    WStr file = Path("news.ts");
    const ULONGLONG param = 0x123456789ABCDEF0ull;
    ASSERT_TRUE(q.StartSave(id, file.c_str(), 5, param));
    const std::string p = N(file);
    EXPECT_EQ(Calls(), OpenCalls(101, p, 1, param, 512));
    EXPECT_EQ(lib.SavePath(id), file + W(".nested"));

    // A restart stops the running nested save first; overwrite 0 is handed on as 0.
    ASSERT_TRUE(q.StartSave(id, file.c_str(), 0, 7));
    EXPECT_EQ(Calls(), Joined(CloseCalls(101), OpenCalls(101, p, 0, 7, 512)));

    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Calls(), CloseCalls(101));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Calls(), Lines{});
    EXPECT_EQ(lib.SavePath(id), file + W(".nested"));  // kept after the stop
}

TEST_F(NestedTest, each_failed_step_undoes_what_was_opened)
{
    WStr file = Path("fail.ts");
    for (const char* fail : failing_steps) {
        // Each case begins with a running save, which the failing start stops first.
        FailNested(nested, {});
        WStr before = Path("before.ts");
        ASSERT_TRUE(q.StartSave(id, before.c_str(), 0, 0));
        Calls();
        FailNested(nested, {fail});
        EXPECT_FALSE(q.StartSave(id, file.c_str(), 0, 9)) << fail;
        EXPECT_EQ(Calls(), Joined(CloseCalls(101), OpenCalls(101, N(file), 0, 9, 512, fail)))
            << fail;
        EXPECT_EQ(lib.SavePath(id), WStr()) << fail;
        // Nothing is left open: the stop calls nothing.
        EXPECT_TRUE(q.StopSave(id));
        EXPECT_EQ(Calls(), Lines{}) << fail;
    }
}

TEST_F(NestedTest, long_name_is_handed_on_unchecked)
{
    // The nested plug-in decides about the name; only its reported path must fit.
    std::string name(600, 'x');
    WStr file = W(name);
    q.StartSave(id, file.c_str(), 0, 0);  // whether the nested plug-in can create it is its business
    Lines calls = Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[1].find("StartSave id=101"), 0u);
    EXPECT_NE(calls[1].find("path=" + name + " "), std::string::npos);
}

TEST_F(NestedTest, delete_closes_every_nested_control_and_releases_the_library)
{
    DWORD second = NewCtrl();
    WStr a = Path("a.ts"), b = Path("b.ts");
    ASSERT_TRUE(q.StartSave(id, a.c_str(), 0, 0));
    ASSERT_TRUE(q.StartSave(second, b.c_str(), 0, 0));
    Calls();
    EXPECT_TRUE(q.DeleteCtrl(id));
    EXPECT_EQ(Calls(), CloseCalls(101));
    EXPECT_TRUE(q.DeleteCtrl(second));
    EXPECT_EQ(Calls(), Joined(CloseCalls(102), {"unload"}));
    EXPECT_FALSE(IsLoaded(nested));
}

#ifndef _WIN32
TEST_F(NestedTest, unloading_with_a_save_running_leaves_the_nested_plug_in_alone)
{
    // The nested plug-in may be unloaded before us when the process ends, so the unload
    // neither calls it nor releases it.
    WStr file = Path("left.ts");
    ASSERT_TRUE(q.StartSave(id, file.c_str(), 0, 0));
    Calls();
    lib.Unload();
    EXPECT_EQ(Calls(), Lines{});
    // Clean up what the host left behind: its nested control, and the library's reference.
    void* leftover = dlopen(nested.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(leftover, nullptr);
    auto delete_ctrl = reinterpret_cast<BOOL (*)(DWORD)>(dlsym(leftover, "DeleteCtrl"));
    ASSERT_NE(delete_ctrl, nullptr);
    EXPECT_TRUE(delete_ctrl(101));
    dlclose(leftover);
    dlclose(leftover);
    EXPECT_FALSE(IsLoaded(nested));
}
#endif

class NestedDuplicateTest : public NestedTest {
protected:
    void SetUp() override
    {
        NestedTest::SetUp();
        main_path = Path("main.ts");
        ASSERT_TRUE(q.StartSave(id, main_path.c_str(), 1, 0));
        primary = lib.SavePath(id);  // the nested plug-in's name for it
        Calls();
    }
    // Adds an output for name; its id or 0, and the path written back.
    DWORD Add(const std::string& name, int mode, ULONGLONG param, WStr* path = nullptr,
              DWORD capacity = 600)
    {
        WStr buf = Path(name);
        buf.resize(600, 0);
        DWORD out = 0;
        if (!q.DuplicateSave(primary.c_str(), &out, &buf[0], capacity, mode, param))
            return 0;
        if (path != nullptr)
            *path = WStr(buf.c_str());
        return out;
    }
    BOOL Feed(std::size_t from, std::size_t size, DWORD* ws)
    {
        return q.AddTSBuff(id, reinterpret_cast<const BYTE*>(stream.data()) + from,
                           static_cast<DWORD>(size), ws);
    }
    static std::string Pointer(const void* p)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%p", p);
        return text;
    }
    // The logged nested write of size bytes that must point into the host's own stream at
    // from and at the host's own counter ws: nothing copied on the way.
    std::string Forwarded(DWORD nid, int ret, std::size_t from, std::size_t size,
                          const DWORD* ws) const
    {
        return "AddTSBuff id=" + std::to_string(nid) + " ret=" + std::to_string(ret) +
               " size=" + std::to_string(size) + " data=" + Pointer(stream.data() + from) +
               " ws=" + Pointer(ws);
    }
    WStr main_path, primary;
    std::string stream = test_support::PatternBytes(100000, 5);
};

TEST_F(NestedDuplicateTest, add_and_remove_make_the_fixed_sequences)
{
    WStr path;
    ASSERT_EQ(Add("dup.ts", -1, 42, &path, 300), 2u);
    EXPECT_EQ(Calls(), OpenCalls(102, N(Path("dup.ts")), 1, 42, 300));
    EXPECT_EQ(path, Path("dup.ts.nested"));

    DWORD out = 2;
    EXPECT_TRUE(q.DuplicateSave(primary.c_str(), &out, nullptr, 0, -1, 0));
    EXPECT_EQ(Calls(), CloseCalls(102));
    EXPECT_FALSE(q.DuplicateSave(primary.c_str(), &out, nullptr, 0, -1, 0));
    EXPECT_EQ(Calls(), Lines{});

    // The flag: 0 hands on 0, a positive mode 1.
    ASSERT_EQ(Add("zero.ts", 0, 1), 2u);
    EXPECT_EQ(Calls(), OpenCalls(102, N(Path("zero.ts")), 0, 1, 600));
    ASSERT_EQ(Add("nine.ts", 9, 2), 3u);
    EXPECT_EQ(Calls(), OpenCalls(103, N(Path("nine.ts")), 1, 2, 600));
}

TEST_F(NestedDuplicateTest, failed_add_undoes_its_nested_control)
{
    for (const char* fail : failing_steps) {
        FailNested(nested, {fail});
        EXPECT_EQ(Add("dup.ts", 0, 3), 0u) << fail;
        EXPECT_EQ(Calls(), OpenCalls(102, N(Path("dup.ts")), 0, 3, 600, fail)) << fail;
    }
    // The appended entry stayed counted and free: the next add takes it.
    FailNested(nested, {});
    EXPECT_EQ(Add("ok.ts", 0, 3), 2u);
    EXPECT_EQ(Add("ok2.ts", 0, 3), 3u);
}

TEST_F(NestedDuplicateTest, buffers_are_forwarded_with_the_skip_and_the_hosts_counter)
{
    DWORD ws = 0;
    ASSERT_TRUE(Feed(0, 100, &ws));
    ASSERT_EQ(Add("dup.ts", -1, 0), 2u);
    Calls();
    ASSERT_TRUE(Feed(100, 50, &ws));
    EXPECT_EQ(Calls(), (Lines{Forwarded(101, 1, 100, 50, &ws)}));
    // The new output starts 38 bytes into this buffer, at stream byte 188.
    ASSERT_TRUE(Feed(150, 100, &ws));
    EXPECT_EQ(ws, 100u);
    EXPECT_EQ(Calls(), (Lines{Forwarded(101, 1, 150, 100, &ws), Forwarded(102, 1, 188, 62, &ws)}));

    // A failing nested write stops and deletes that output only.
    FailNested(nested, {"AddTSBuff 5"});  // the fifth call: output 1 on this buffer
    ASSERT_TRUE(Feed(250, 10, &ws));
    EXPECT_EQ(ws, 10u);
    EXPECT_EQ(Calls(), (Lines{Forwarded(101, 0, 250, 10, &ws), "StopSave id=101 ret=1",
                              "DeleteCtrl id=101 ret=1", Forwarded(102, 1, 250, 10, &ws)}));
    FailNested(nested, {});
    ASSERT_TRUE(Feed(260, 40, &ws));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(test_support::ReadFileBytes(dir.File("dup.ts.nested")), stream.substr(188, 300 - 188));
    EXPECT_EQ(test_support::ReadFileBytes(N(primary)), stream.substr(0, 250));
}

}  // namespace
