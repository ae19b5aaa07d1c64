// The binding rules as the installation check meets them: paths of any length, and the file
// the loader opens for a nested plug-in's path. The library's own use is tested through it.
#include "binding.h"

#include <gtest/gtest.h>

#include <string>

namespace {

typedef std::basic_string<WCHAR> WStr;

TEST(Binding, own_path_without_room_for_the_suffix_has_no_settings)
{
    WCHAR settings[MAX_SAVE_PATH];
    for (DWORD length : {OWN_PATH_CAPACITY - 1, OWN_PATH_CAPACITY, MAX_SAVE_PATH + 100}) {
        WStr own(length, 'q');
        bool formed = SettingsPathOf(own.c_str(), length, settings);
        EXPECT_EQ(formed, length < OWN_PATH_CAPACITY) << length;
        EXPECT_TRUE(!formed || WStr(settings) == own + QTEXT(".ini")) << length;
    }
}

TEST(Binding, joined_length_is_told_also_when_too_long)
{
    WStr folder = QTEXT("C:\\p\\");
    WStr value(MAX_SAVE_PATH - folder.size(), 'n');
    WCHAR path[MAX_SAVE_PATH];
    std::char_traits<WCHAR>::copy(path, (folder + QTEXT("q.dll.ini")).c_str(), folder.size() + 10);
    DWORD length = 0;
    EXPECT_EQ(NestedPluginPath(path, value.c_str(), &length), NestedChoice::too_long);
    EXPECT_EQ(length, MAX_SAVE_PATH);
}

TEST(Binding, loader_drops_a_trailing_dot_and_adds_dll_to_a_name_without_one)
{
    const std::pair<WStr, WStr> cases[] = {
        {QTEXT("C:\\p\\n.dll"), QTEXT("C:\\p\\n.dll")}, {QTEXT("C:\\p\\n.x"), QTEXT("C:\\p\\n.x")},
        {QTEXT("C:\\p\\n"), QTEXT("C:\\p\\n.dll")},     {QTEXT("C:\\p\\n."), QTEXT("C:\\p\\n")},
        {QTEXT("C:\\p.d\\n"), QTEXT("C:\\p.d\\n.dll")}, {QTEXT("C:/p.d/n"), QTEXT("C:/p.d/n.dll")},
        {QTEXT("C:\\p\\"), QTEXT("C:\\p\\.dll")},       {QTEXT("n"), QTEXT("n.dll")},
    };
    for (const auto& c : cases) {
        WCHAR path[LOADER_PATH_CAPACITY];
        std::char_traits<WCHAR>::copy(path, c.first.c_str(), c.first.size() + 1);
        LoaderFileName(path);
        EXPECT_TRUE(WStr(path) == c.second);
    }
}

}  // namespace
