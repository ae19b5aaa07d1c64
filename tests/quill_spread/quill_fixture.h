// The fixture of the end-to-end tests: a scratch directory with a private copy of the built
// library, its settings file and, when a test asks, a nested test plug-in beside it.
#pragma once

#include "plugin_library.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quill_test {

class QuillTest : public ::testing::Test {
protected:
    test_support::ScratchDir dir{"quill"};
    std::string lib_path = dir.File(std::string("Quill_Spread") + library_suffix);
    std::string ini_path = lib_path + ".ini";
    PlugInLibrary lib;
    PlugInApi q;

    void SetUp() override { ASSERT_TRUE(CopyFileBytes(QUILL_PATH, lib_path)); }
    void TearDown() override
    {
        if (lib.loaded()) {
            for (DWORD id = 1; id <= 16; ++id)
                q.DeleteCtrl(id);
        }
        lib.Unload();
    }

    void Load()
    {
        ASSERT_TRUE(lib.Load(lib_path));
        q = lib.api();
    }

    // A settings file with the given lines under [SET].
    void WriteSettings(const std::vector<std::string>& lines)
    {
        std::string text = "[SET]\n";
        for (const std::string& line : lines)
            text += line + "\n";
        ASSERT_TRUE(test_support::WriteFileBytes(ini_path, text));
    }

    // Puts a nested test plug-in beside the library under name; returns its path.
    std::string AddNested(const std::string& name, bool lacking = false)
    {
        std::string path = dir.File(name);
        EXPECT_TRUE(CopyFileBytes(lacking ? NESTED_LACKING_PATH : NESTED_PATH, path));
        return path;
    }

    DWORD NewCtrl()
    {
        DWORD id = 0;
        EXPECT_TRUE(q.CreateCtrl(&id));
        return id;
    }

    // A path inside the scratch directory, as UTF-16.
    WStr Path(const std::string& name) const { return W(dir.File(name)); }
};

// The log of a nested test plug-in at path: one line per call, "load" and "unload" included.
inline std::vector<std::string> NestedLog(const std::string& nested_path)
{
    return ReadLines(nested_path + ".log");
}
inline void ClearNestedLog(const std::string& nested_path)
{
    test_support::WriteFileBytes(nested_path + ".log", "");
}
// Makes the nested test plug-in fail the calls named in lines ("Name" or "Name N").
inline void FailNested(const std::string& nested_path, const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    test_support::WriteFileBytes(nested_path + ".fail", text);
}

}  // namespace quill_test
