// Nested mode through the loaded library: the exact calls, arguments and order that opening
// and closing output 1 make into the nested plug-in, on success and on every failure path.
#include "quill_fixture.h"

using namespace quill_test;

namespace {

using Lines = std::vector<std::string>;

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
    EXPECT_EQ(Calls(), (Lines{"CreateCtrl id=101 ret=1",
                              "StartSave id=101 ret=1 path=" + p + " overwrite=1 param=" +
                                  std::to_string(param),
                              "GetSaveFilePath id=101 ret=1 cap=512"}));
    EXPECT_EQ(lib.SavePath(id), file + W(".nested"));

    // A restart stops the running nested save first; overwrite 0 is handed on as 0.
    ASSERT_TRUE(q.StartSave(id, file.c_str(), 0, 7));
    EXPECT_EQ(Calls(), (Lines{"StopSave id=101 ret=1", "DeleteCtrl id=101 ret=1",
                              "CreateCtrl id=101 ret=1",
                              "StartSave id=101 ret=1 path=" + p + " overwrite=0 param=7",
                              "GetSaveFilePath id=101 ret=1 cap=512"}));

    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Calls(), (Lines{"StopSave id=101 ret=1", "DeleteCtrl id=101 ret=1"}));
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(Calls(), Lines{});
    EXPECT_EQ(lib.SavePath(id), file + W(".nested"));  // kept after the stop
}

TEST_F(NestedTest, each_failed_step_undoes_what_was_opened)
{
    WStr file = Path("fail.ts");
    const std::string p = N(file);
    struct Case {
        std::string fail;
        Lines calls;
    };
    const Case cases[] = {
        {"CreateCtrl", {"CreateCtrl ret=0"}},
        {"StartSave",
         {"CreateCtrl id=101 ret=1", "StartSave id=101 ret=0 path=" + p + " overwrite=0 param=9",
          "DeleteCtrl id=101 ret=1"}},
        {"GetSaveFilePath",
         {"CreateCtrl id=101 ret=1", "StartSave id=101 ret=1 path=" + p + " overwrite=0 param=9",
          "GetSaveFilePath id=101 ret=0 cap=512", "StopSave id=101 ret=1",
          "DeleteCtrl id=101 ret=1"}},
    };
    for (const Case& c : cases) {
        // Each case begins with a running save, which the failing start stops first.
        FailNested(nested, {});
        WStr before = Path("before.ts");
        ASSERT_TRUE(q.StartSave(id, before.c_str(), 0, 0));
        Calls();
        FailNested(nested, {c.fail});
        EXPECT_FALSE(q.StartSave(id, file.c_str(), 0, 9)) << c.fail;
        Lines want = {"StopSave id=101 ret=1", "DeleteCtrl id=101 ret=1"};
        want.insert(want.end(), c.calls.begin(), c.calls.end());
        EXPECT_EQ(Calls(), want) << c.fail;
        EXPECT_EQ(lib.SavePath(id), WStr()) << c.fail;
        // Nothing is left open: the stop calls nothing.
        EXPECT_TRUE(q.StopSave(id));
        EXPECT_EQ(Calls(), Lines{}) << c.fail;
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
    EXPECT_EQ(Calls(), (Lines{"StopSave id=101 ret=1", "DeleteCtrl id=101 ret=1"}));
    EXPECT_TRUE(q.DeleteCtrl(second));
    EXPECT_EQ(Calls(), (Lines{"StopSave id=102 ret=1", "DeleteCtrl id=102 ret=1", "unload"}));
    EXPECT_FALSE(IsLoaded(nested));
}

}  // namespace
