// The portable code linked directly with the POSIX layer, to see inside and to inject faults
// through the layer's test hooks: the data unit taken from the settings, and writes that fail
// or stop short.
#include "platform_test_posix.h"
#include "state.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <string>

using test_support::ScratchDir;
using test_support::WriteFileBytes;

namespace {

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The library's "own file" lives in the scratch directory, so its settings do too.
        ASSERT_TRUE(WriteFileBytes(self, ""));
        plat_test::SetModulePath(self.c_str());
    }
    void TearDown() override
    {
        for (DWORD id = 1; id <= MAX_CTRL; ++id)
            DeleteCtrl(id);
        plat_test::SetModulePath(nullptr);
        plat_test::FailWrites(-1, false);
        plat_test::ShortWrites(0);
    }
    void Settings(const std::string& lines)
    {
        ASSERT_TRUE(WriteFileBytes(self + ".ini", "[SET]\n" + lines));
    }
    DWORD DataUnitAfterCreate()
    {
        DWORD id = 0;
        EXPECT_TRUE(CreateCtrl(&id));
        DWORD unit = plugInState.dataUnit;
        EXPECT_TRUE(DeleteCtrl(id));
        return unit;
    }
    ScratchDir dir{"quill-core"};
    std::string self = dir.File("Quill_Spread.so");
};

TEST_F(CoreTest, data_unit_from_settings)
{
    EXPECT_EQ(DataUnitAfterCreate(), 188u);  // no settings file
    struct Case {
        const char* lines;
        DWORD unit;
    };
    const Case cases[] = {
        {"DataUnit=0\n", 1},        {"DataUnit=1\n", 1},     {"DataUnit=2\n", 2},
        {"WritePlugin=\n", 188},    {"DataUnit=376\n", 376}, {"dataunit = 204 \n", 204},
        {"DataUnit=-4\n", 1},       {"DataUnit=\n", 188},
    };
    for (const Case& c : cases) {
        Settings(c.lines);
        EXPECT_EQ(DataUnitAfterCreate(), c.unit) << c.lines;
    }
    // Read only when the first control is created.
    Settings("DataUnit=1\n");
    DWORD first = 0, second = 0;
    ASSERT_TRUE(CreateCtrl(&first));
    Settings("DataUnit=94\n");
    ASSERT_TRUE(CreateCtrl(&second));
    EXPECT_EQ(plugInState.dataUnit, 1u);
}

TEST_F(CoreTest, library_path_unknown_gives_unit_one_and_direct_files)
{
    Settings("DataUnit=188\n");
    plat_test::SetModulePath(dir.File("gone.so").c_str());  // does not exist
    EXPECT_EQ(DataUnitAfterCreate(), 1u);
    EXPECT_EQ(Setting(), 0);
}

TEST_F(CoreTest, numbered_suffix_goes_before_the_extension)
{
    // Paths need not exist: the first attempt fails for a missing folder and every numbered
    // candidate fails the same way, so the routine must hand back the path unchanged.
    WCHAR path[MAX_SAVE_PATH] = u"/no/such/dir.d/news.ts";
    EXPECT_EQ(CreateUniqueFile(path, MAX_SAVE_PATH, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(path), u"/no/such/dir.d/news.ts");

    WCHAR out[32];
    EXPECT_EQ(plat::FormatNumbered(out, 999, u".ts"), 9);
    EXPECT_EQ(std::u16string(out), u"-(999).ts");
}

}  // namespace
