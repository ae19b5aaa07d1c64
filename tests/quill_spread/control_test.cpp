// Quill_Spread loaded by path as a host loads it: the size protocol, ids and null pointers,
// the control table, the settings file and the binding of a nested plug-in.
#include "quill_fixture.h"

#include "child_process.h"

#ifndef _WIN32
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <utility>
#endif

using namespace quill_test;
using test_support::FileExists;
using test_support::ReadFileBytes;

#ifndef _WIN32
// This host has functions of its own under the nine export names, visible to the libraries it
// loads (the build exports them from the program), as any host may happen to have.
namespace {
int host_own_calls = 0;
BOOL HostOwnCalled()
{
    ++host_own_calls;
    return FALSE;
}
}  // namespace
extern "C" {
BOOL GetPlugInName(WCHAR*, DWORD*) { return HostOwnCalled(); }
INT_PTR Setting() { return HostOwnCalled(); }
BOOL CreateCtrl(DWORD*) { return HostOwnCalled(); }
BOOL DeleteCtrl(DWORD) { return HostOwnCalled(); }
BOOL StartSave(DWORD, const WCHAR*, BOOL, ULONGLONG) { return HostOwnCalled(); }
BOOL StopSave(DWORD) { return HostOwnCalled(); }
BOOL GetSaveFilePath(DWORD, WCHAR*, DWORD*) { return HostOwnCalled(); }
BOOL AddTSBuff(DWORD, const BYTE*, DWORD, DWORD*) { return HostOwnCalled(); }
BOOL DuplicateSave(const WCHAR*, DWORD*, WCHAR*, DWORD, int, ULONGLONG) { return HostOwnCalled(); }
}
#endif

namespace {

std::string WithoutCR(std::string s)
{
    std::string out;
    for (char c : s) {
        if (c != '\r')
            out.push_back(c);
    }
    return out;
}

TEST_F(QuillTest, name_follows_size_protocol)
{
    Load();
    EXPECT_FALSE(q.GetPlugInName(nullptr, nullptr));
    WCHAR buf[64];
    EXPECT_FALSE(q.GetPlugInName(buf, nullptr));

    DWORD size = 0;
    EXPECT_TRUE(q.GetPlugInName(nullptr, &size));
    EXPECT_EQ(size, 22u);

    for (WCHAR& c : buf)
        c = 'x';
    size = 21;
    EXPECT_FALSE(q.GetPlugInName(buf, &size));
    EXPECT_EQ(size, 22u);
    EXPECT_EQ(buf[0], 'x');  // untouched

    size = 22;
    EXPECT_TRUE(q.GetPlugInName(buf, &size));
    EXPECT_EQ(N(buf), "Quill Spreader PlugIn");
    EXPECT_EQ(size, 22u);

    size = 64;
    EXPECT_TRUE(q.GetPlugInName(buf, &size));
    EXPECT_EQ(size, 64u);  // a large enough capacity is left as it was
}

TEST_F(QuillTest, invalid_ids_and_null_pointers_fail)
{
    Load();
    EXPECT_FALSE(q.CreateCtrl(nullptr));
    DWORD id = NewCtrl();
    ASSERT_EQ(id, 1u);
    WStr file = Path("kept.ts");
    ASSERT_TRUE(q.StartSave(id, file.c_str(), 0, 0));

    DWORD size = 100;
    WCHAR buf[100];
    for (DWORD bad : {0u, 2u, 16u, 17u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(q.DeleteCtrl(bad)) << bad;
        EXPECT_FALSE(q.StopSave(bad)) << bad;
        EXPECT_FALSE(q.StartSave(bad, file.c_str(), 0, 0)) << bad;
        EXPECT_FALSE(q.GetSaveFilePath(bad, buf, &size)) << bad;
        EXPECT_FALSE(q.GetSaveFilePath(bad, nullptr, &size)) << bad;
    }
    EXPECT_EQ(size, 100u);
    EXPECT_FALSE(q.GetSaveFilePath(id, buf, nullptr));

    // A start without a name fails and leaves the running save as it was.
    EXPECT_FALSE(q.StartSave(id, nullptr, 0, 0));
    EXPECT_EQ(lib.SavePath(id), file);
    EXPECT_TRUE(HeldForWriting(N(file)));
}

TEST_F(QuillTest, sixteen_controls_then_failure_and_lowest_id_reused)
{
    Load();
    for (DWORD want = 1; want <= 16; ++want)
        EXPECT_EQ(NewCtrl(), want);
    DWORD id = 99;
    EXPECT_FALSE(q.CreateCtrl(&id));
    EXPECT_EQ(id, 99u);

    EXPECT_TRUE(q.DeleteCtrl(3));
    EXPECT_FALSE(q.DeleteCtrl(3));
    EXPECT_TRUE(q.DeleteCtrl(9));
    EXPECT_EQ(NewCtrl(), 3u);
    EXPECT_EQ(NewCtrl(), 9u);
    EXPECT_FALSE(q.CreateCtrl(&id));
}

TEST_F(QuillTest, new_control_reports_empty_path_and_stops_fine)
{
    Load();
    DWORD id = NewCtrl();
    DWORD size = 0;
    EXPECT_TRUE(q.GetSaveFilePath(id, nullptr, &size));
    EXPECT_EQ(size, 1u);
    WCHAR one[1] = {'x'};
    size = 1;
    EXPECT_TRUE(q.GetSaveFilePath(id, one, &size));
    EXPECT_EQ(one[0], 0);
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_TRUE(q.StopSave(id));
}

TEST_F(QuillTest, save_path_follows_size_protocol)
{
    Load();
    DWORD id = NewCtrl();
    WStr file = Path("proto.ts");
    ASSERT_TRUE(q.StartSave(id, file.c_str(), 0, 0));
    DWORD required = static_cast<DWORD>(file.size() + 1);

    DWORD size = 0;
    EXPECT_TRUE(q.GetSaveFilePath(id, nullptr, &size));
    EXPECT_EQ(size, required);

    std::vector<WCHAR> buf(required + 10, 'x');
    size = required - 1;
    EXPECT_FALSE(q.GetSaveFilePath(id, buf.data(), &size));
    EXPECT_EQ(size, required);
    EXPECT_EQ(buf[0], 'x');

    size = required;
    EXPECT_TRUE(q.GetSaveFilePath(id, buf.data(), &size));
    EXPECT_EQ(size, required);
    EXPECT_EQ(WStr(buf.data()), file);

    // A stopped control still reports the path of its last save.
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(lib.SavePath(id), file);
}

TEST_F(QuillTest, write_plugin_setting_chooses_the_mode)
{
    std::string nested = AddNested(std::string("TestNested") + library_suffix);
    std::string lacking = AddNested(std::string("TestLacking") + library_suffix, true);
    struct Case {
        std::string value;
        bool nested_mode;
    };
    const Case cases[] = {
        {"", false},
        {";TestNested" + std::string(library_suffix), false},
        {"Missing" + std::string(library_suffix), false},
        {"TestLacking" + std::string(library_suffix), false},
        // The library itself: nesting into it would use up its own controls.
        {"Quill_Spread" + std::string(library_suffix), false},
        {"TestNested" + std::string(library_suffix), true},
    };
    Load();
    int n = 0;
    for (const Case& c : cases) {
        WriteSettings({"WritePlugin=" + c.value});
        ClearNestedLog(nested);
        DWORD id = NewCtrl();
        WStr file = Path("mode" + std::to_string(n++) + ".ts");
        ASSERT_TRUE(q.StartSave(id, file.c_str(), 0, 0)) << c.value;
        if (c.nested_mode) {
            EXPECT_EQ(lib.SavePath(id), file + W(".nested"));
            EXPECT_TRUE(IsLoaded(nested));
        } else {
            EXPECT_EQ(lib.SavePath(id), file) << c.value;
            EXPECT_TRUE(HeldForWriting(N(file))) << c.value;
            EXPECT_FALSE(IsLoaded(nested)) << c.value;
        }
        EXPECT_TRUE(q.DeleteCtrl(id));
        EXPECT_FALSE(IsLoaded(nested));
        EXPECT_FALSE(IsLoaded(lacking));
    }
    // The library lacking a function was loaded once and released again, and the library
    // itself holds no reference to itself.
    EXPECT_EQ(NestedLog(lacking), (std::vector<std::string>{"load", "unload"}));
    lib.Unload();
    EXPECT_FALSE(IsLoaded(lib_path));
}

TEST_F(QuillTest, nested_library_lives_from_first_create_to_last_delete)
{
    std::string nested = AddNested(std::string("TestNested") + library_suffix);
    WriteSettings({"WritePlugin=TestNested" + std::string(library_suffix)});
    Load();
    EXPECT_FALSE(IsLoaded(nested));
    DWORD a = NewCtrl();
    EXPECT_TRUE(IsLoaded(nested));
    DWORD b = NewCtrl();
    EXPECT_TRUE(q.DeleteCtrl(a));
    EXPECT_TRUE(IsLoaded(nested));
    EXPECT_TRUE(q.DeleteCtrl(b));
    EXPECT_FALSE(IsLoaded(nested));
    EXPECT_EQ(NestedLog(nested), (std::vector<std::string>{"load", "unload"}));

    // Created again while none exists: bound afresh.
    DWORD c = NewCtrl();
    EXPECT_TRUE(IsLoaded(nested));
    EXPECT_TRUE(q.DeleteCtrl(c));
    EXPECT_EQ(NestedLog(nested), (std::vector<std::string>{"load", "unload", "load", "unload"}));
}

TEST_F(QuillTest, settings_are_read_only_while_no_control_exists)
{
    std::string nested = AddNested(std::string("TestNested") + library_suffix);
    WriteSettings({"WritePlugin="});
    Load();
    DWORD first = NewCtrl();
    WriteSettings({"WritePlugin=TestNested" + std::string(library_suffix)});
    DWORD second = NewCtrl();
    WStr file = Path("still-direct.ts");
    ASSERT_TRUE(q.StartSave(second, file.c_str(), 0, 0));
    EXPECT_EQ(lib.SavePath(second), file);
    EXPECT_FALSE(IsLoaded(nested));

    EXPECT_TRUE(q.DeleteCtrl(first));
    EXPECT_TRUE(q.DeleteCtrl(second));
    DWORD third = NewCtrl();
    EXPECT_TRUE(IsLoaded(nested));
    WStr nested_file = Path("now-nested.ts");
    ASSERT_TRUE(q.StartSave(third, nested_file.c_str(), 0, 0));
    EXPECT_EQ(lib.SavePath(third), nested_file + W(".nested"));
}

TEST_F(QuillTest, data_unit_setting_places_the_start_of_added_outputs)
{
    // An output added after the first byte of the stream begins at the first data-unit
    // boundary, so what it received tells the unit read from the settings file.
    const std::string stream = test_support::PatternBytes(1000, 4);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(stream.data());
    Load();
    int n = 0;
    auto unit_seen = [&]() -> std::size_t {
        DWORD id = NewCtrl();
        WStr main = Path("unit" + std::to_string(n) + ".ts");
        WStr dup = Path("unit" + std::to_string(n++) + "-dup.ts");
        dup.resize(600, 0);
        DWORD ws = 0, out = 0;
        EXPECT_TRUE(q.StartSave(id, main.c_str(), 0, 0));
        EXPECT_TRUE(q.AddTSBuff(id, bytes, 1, &ws));
        EXPECT_TRUE(q.DuplicateSave(main.c_str(), &out, &dup[0], 600, -1, 0));
        EXPECT_TRUE(q.AddTSBuff(id, bytes + 1, 999, &ws));
        EXPECT_TRUE(q.DeleteCtrl(id));
        std::string got = ReadFileBytes(N(dup.c_str()));
        EXPECT_TRUE(got == stream.substr(stream.size() - got.size()));
        return stream.size() - got.size();
    };
    EXPECT_EQ(unit_seen(), 188u);  // no settings file
    struct Case {
        std::string line;
        std::size_t unit;
    };
    // Numbers are read as the profile functions of Windows read them: an optional sign, prefixes
    // choose the base (a "0" before another letter is a digit), digits of either case end at the
    // first other character, and the value wraps at 2^32; "-4" is 2^32 - 4, a unit whose first
    // boundary lies far beyond this stream.
    const Case cases[] = {
        {"WritePlugin=", 188},     {"DataUnit=", 188},       {"DataUnit=0", 1},
        {"DataUnit=1", 1},         {"DataUnit=2", 2},        {"DataUnit=376", 376},
        {"dataunit = 204 ", 204},  {"DataUnit=94 bytes", 94}, {"DataUnit=0x10", 16},
        {"DataUnit=0o17", 15},     {"DataUnit=0b11", 3},     {"DataUnit=4294967298", 2},
        {"DataUnit=-4", stream.size()}, {"DataUnit=+94", 94}, {"DataUnit=0x1F", 31},
        {"DataUnit=0z5", 1},       {"DataUnit=94~", 94},
    };
    for (const Case& c : cases) {
        WriteSettings({c.line});
        EXPECT_EQ(unit_seen(), c.unit) << c.line;
    }
}

TEST_F(QuillTest, setting_writes_defaults_only_without_a_plugin_key)
{
    Load();
    ASSERT_FALSE(FileExists(ini_path));
    INT_PTR opened = q.Setting(nullptr);
    // wine knows no editor for .ini files and says so as "no association" (31).
    EXPECT_TRUE(opened > 32 || opened == 31) << opened;
    EXPECT_EQ(WithoutCR(ReadFileBytes(ini_path)),
              "[SET]\nWritePlugin=;Quill_Basic.dll\nDataUnit=188\n");

    // A value beginning with "*" counts as absent: both keys are written again.
    WriteSettings({"DataUnit=376", "WritePlugin=*old"});
    q.Setting(nullptr);
    EXPECT_EQ(WithoutCR(ReadFileBytes(ini_path)),
              "[SET]\nDataUnit=188\nWritePlugin=;Quill_Basic.dll\n");

    // A named plug-in, enabled or not, is left alone.
    WriteSettings({"WritePlugin=Other.dll", "DataUnit=376"});
    std::string before = ReadFileBytes(ini_path);
    q.Setting(nullptr);
    EXPECT_EQ(ReadFileBytes(ini_path), before);
}

#ifdef _WIN32
TEST_F(QuillTest, library_path_without_room_for_its_settings_writes_files)
{
    // The library's long path with ".ini" must fit 512 units. From a path of 508 units, or one
    // too long even for the module-path buffer, no settings are read: the nested plug-in they
    // name stays unloaded, and saves go to files.
    const std::string name = "Quill_Spread.dll", nested = "TestNested.dll";
    for (std::size_t length : {508u, 600u}) {
        std::string folder = DirOfLength(dir.path(), length - 1 - name.size());
        ASSERT_TRUE(CopyFileBytes(QUILL_PATH, folder + Sep() + name));
        ASSERT_TRUE(CopyFileBytes(NESTED_PATH, folder + Sep() + nested));
        ASSERT_TRUE(test_support::WriteFileBytes(folder + Sep() + name + ".ini",
                                                 "[SET]\nWritePlugin=" + nested + "\n"));
        ASSERT_TRUE(lib.Load(folder + Sep() + name)) << length;
        q = lib.api();
        DWORD id = NewCtrl();
        EXPECT_FALSE(IsLoaded(folder + Sep() + nested)) << length;
        WStr file = Path("deep" + std::to_string(length) + ".ts");
        EXPECT_TRUE(q.StartSave(id, file.c_str(), 0, 0)) << length;
        EXPECT_TRUE(HeldForWriting(N(file))) << length;
        EXPECT_TRUE(q.DeleteCtrl(id));
        lib.Unload();
    }
}
#endif

#ifndef _WIN32
TEST_F(QuillTest, host_functions_of_the_export_names_are_never_called)
{
    // StartSave and DeleteCtrl stop the running save: with the host's StopSave called in place
    // of the library's, the files would stay open.
    Load();
    DWORD id = NewCtrl();
    ASSERT_TRUE(q.StartSave(id, Path("first.ts").c_str(), 0, 0));
    ASSERT_TRUE(q.StartSave(id, Path("second.ts").c_str(), 0, 0));
    EXPECT_FALSE(HeldForWriting(dir.File("first.ts")));
    WStr dup = Path("dup.ts");
    dup.resize(600);
    DWORD out = 0;
    ASSERT_TRUE(q.DuplicateSave(Path("second.ts").c_str(), &out, &dup[0], 600, -1, 0));
    const BYTE data[3] = {1, 2, 3};
    DWORD ws = 0;
    ASSERT_TRUE(q.AddTSBuff(id, data, 3, &ws));
    ASSERT_TRUE(q.DeleteCtrl(id));
    EXPECT_FALSE(HeldForWriting(dir.File("second.ts")));
    EXPECT_FALSE(HeldForWriting(dir.File("dup.ts")));
    EXPECT_EQ(host_own_calls, 0);
}

TEST_F(QuillTest, settings_are_found_after_the_host_changed_directory)
{
    // A host may load the library by a relative path and change its working directory later;
    // the library must still find the settings file beside itself.
    std::string nested = AddNested(std::string("TestNested") + library_suffix);
    WriteSettings({"WritePlugin=TestNested" + std::string(library_suffix)});
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    bool loaded = lib.Load("./Quill_Spread" + std::string(library_suffix));
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_TRUE(loaded);
    q = lib.api();
    NewCtrl();
    EXPECT_TRUE(IsLoaded(nested));
}

TEST_F(QuillTest, library_loaded_from_too_deep_a_directory_has_no_settings_path)
{
    // Loaded by a relative path from a working directory that getcwd cannot report, or whose
    // path joined with the library's name is too long: the library cannot tell its own path,
    // so it has no settings file to open (and writes files with a data unit of 1).
    int home = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(home, 0);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    std::vector<std::string> names;
    std::size_t depth = dir.path().size();
    for (std::size_t target : {std::size_t{PATH_MAX} - 10, std::size_t{PATH_MAX} + 200}) {
        while (depth < target) {
            std::size_t rest = target - depth - 1;
            names.push_back(std::string(rest > 100 ? 99 : rest, 'd'));
            ASSERT_EQ(mkdir(names.back().c_str(), 0755), 0);
            ASSERT_EQ(chdir(names.back().c_str()), 0);
            depth += 1 + names.back().size();
        }
        ASSERT_TRUE(CopyFileBytes(lib_path, "Quill_Spread" + std::string(library_suffix)));
        ASSERT_TRUE(lib.Load("./Quill_Spread" + std::string(library_suffix)));
        EXPECT_EQ(lib.api().Setting(nullptr), 0) << depth;
        lib.Unload();
        ASSERT_EQ(unlink(("Quill_Spread" + std::string(library_suffix)).c_str()), 0);
    }
    // Back out step by step: the whole path is too long for any one call.
    for (; !names.empty(); names.pop_back()) {
        ASSERT_EQ(chdir(".."), 0);
        ASSERT_EQ(rmdir(names.back().c_str()), 0);
    }
    ASSERT_EQ(fchdir(home), 0);
    close(home);
}

TEST_F(QuillTest, setting_opens_the_file_in_the_editor_without_waiting)
{
    // The desktop's opener when PATH has one, else $VISUAL, else $EDITOR: each here an editor
    // that only notes which file it was given.
    auto saved = [](const char* name) {
        const char* value = getenv(name);
        return std::make_pair(value != nullptr, std::string(value != nullptr ? value : ""));
    };
    auto restore = [](const char* name, const std::pair<bool, std::string>& value) {
        if (value.first)
            setenv(name, value.second.c_str(), 1);
        else
            unsetenv(name);
    };
    auto path = saved("PATH"), visual = saved("VISUAL"), editor_var = saved("EDITOR");
    std::string bin = dir.File("bin");
    ASSERT_TRUE(MakeDir(bin));
    std::string marker = dir.File("edited");
    std::string editor = bin + "/xdg-open";
    ASSERT_TRUE(test_support::WriteFileBytes(editor, "#!/bin/sh\nprintf %s \"$1\" > " + marker +
                                                         ".tmp && /bin/mv " + marker + ".tmp " +
                                                         marker + "\n"));
    chmod(editor.c_str(), 0755);
    Load();
    auto expect_edited = [&](const std::string& label) {
        std::remove(marker.c_str());
        INT_PTR opened = q.Setting(nullptr);
        EXPECT_GT(opened, 32) << label;
        for (int i = 0; i < 500 && !FileExists(marker); ++i)
            test_support::os::SleepMs(10);
        EXPECT_EQ(ReadFileBytes(marker), ini_path) << label;
    };
    for (const char* variable : {"PATH", "VISUAL", "EDITOR"}) {
        // An empty variable counts as none, and an empty entry of PATH names no folder.
        setenv("VISUAL", "", 1);
        unsetenv("EDITOR");
        setenv("PATH", (":" + dir.path() + (variable[0] == 'P' ? ":" + bin : "")).c_str(), 1);
        if (variable[0] != 'P')
            setenv(variable, editor.c_str(), 1);
        expect_edited(variable);
    }
    // A host without PATH: the opener is looked for in the system's folders (which hold none
    // on these machines), then $VISUAL serves.
    unsetenv("PATH");
    setenv("VISUAL", editor.c_str(), 1);
    if (!FileExists("/usr/bin/xdg-open") && !FileExists("/bin/xdg-open"))
        expect_edited("no PATH");
    // A host that ignores SIGCHLD has its children reaped for it, so waiting for the one that
    // detaches the editor fails: the editor is started all the same.
    struct sigaction ignore = {}, before = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGCHLD, &ignore, &before), 0);
    expect_edited("SIGCHLD ignored");
    sigaction(SIGCHLD, &before, nullptr);

    // Without any editor the call reports "no association".
    unsetenv("VISUAL");
    setenv("EDITOR", "", 1);
    EXPECT_EQ(q.Setting(nullptr), 31);
    restore("PATH", path);
    restore("VISUAL", visual);
    restore("EDITOR", editor_var);
}
#endif

}  // namespace
