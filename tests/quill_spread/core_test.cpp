// The portable core linked directly, over the test seam, to see inside and to inject faults:
// the data unit taken from the settings, writes that fail or stop short, and a nested plug-in
// inside the test program.
#include "platform_posix.h"
#include "plugin_library.h"
#include "controls.h"
#include "output.h"
#include "test_files.h"
#include "test_platform.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
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
        test_platform::SetModulePath(self.c_str());
    }
    void TearDown() override
    {
        for (DWORD id = 1; id <= MAX_CTRL; ++id)
            DeleteCtrl(id);
        test_platform::SetModulePath(nullptr);
        test_platform::PlanWrites(nullptr);
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

TEST_F(CoreTest, data_unit_read_only_when_the_first_control_is_created)
{
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
    test_platform::SetModulePath(dir.File("gone.so").c_str());  // does not exist
    EXPECT_EQ(DataUnitAfterCreate(), 1u);
    EXPECT_EQ(Setting(nullptr), 0);
}

TEST_F(CoreTest, long_library_paths_stop_short_of_the_buffers)
{
    // The settings path is the library's path with ".ini" appended, in 512 units: 507 is the
    // longest library path that leaves room for it. One of 512 units does not even fit the
    // buffer the library's path is asked into.
    for (std::size_t length : {507u, 508u, 512u}) {
        std::string lib = quill_test::DirOfLength(dir.path(), length - 5) + "/q.so";
        ASSERT_EQ(lib.size(), length);
        ASSERT_TRUE(WriteFileBytes(lib, ""));
        ASSERT_TRUE(WriteFileBytes(lib + ".ini", "[SET]\nDataUnit=94\n"));
        test_platform::SetModulePath(lib.c_str());
        EXPECT_EQ(DataUnitAfterCreate(), length == 507 ? 94u : 1u) << length;
    }
    EXPECT_EQ(Setting(nullptr), 0);  // the 508-unit library has no settings path

    // The nested plug-in's path, its directory and WritePlugin joined, must stay below 512.
    std::string folder = quill_test::DirOfLength(dir.path(), 469) + "/";
    std::string lib = folder + "q.so";
    ASSERT_TRUE(WriteFileBytes(lib, ""));
    test_platform::SetModulePath(lib.c_str());
    for (std::size_t joined : {511u, 512u}) {
        std::string name = std::string(joined - folder.size() - 3, 'n') + ".so";
        ASSERT_EQ(folder.size() + name.size(), joined);
        ASSERT_TRUE(quill_test::CopyFileBytes(NESTED_PATH, folder + name));
        ASSERT_TRUE(WriteFileBytes(lib + ".ini", "[SET]\nWritePlugin=" + name + "\n"));
        DWORD id = 0;
        ASSERT_TRUE(CreateCtrl(&id));
        EXPECT_EQ(InNestedMode(), joined == 511) << joined;
        EXPECT_TRUE(DeleteCtrl(id));
    }
}

TEST_F(CoreTest, numbered_suffix_goes_before_the_extension)
{
    // Paths need not exist: the first attempt fails for a missing folder and every numbered
    // candidate fails the same way, so the routine must hand back the path unchanged.
    WCHAR path[MAX_SAVE_PATH] = u"/no/such/dir.d/news.ts";
    EXPECT_EQ(CreateUniqueFile(path, MAX_SAVE_PATH, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(path), u"/no/such/dir.d/news.ts");
    // A bare name, neither folder nor extension, too long for any file system to create.
    std::u16string bare(300, u'n');
    std::u16string kept = bare;
    EXPECT_EQ(CreateUniqueFile(&bare[0], MAX_SAVE_PATH, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(bare, kept);

    // As wsprintfW's "-(%d)%s".
    WCHAR out[32];
    EXPECT_EQ(plat::FormatNumbered(out, 999, u".ts"), 9);
    EXPECT_EQ(std::u16string(out), u"-(999).ts");
    EXPECT_EQ(plat::FormatNumbered(out, -12, u""), 6);
    EXPECT_EQ(std::u16string(out), u"-(-12)");
}

// A nested plug-in inside the test program that, from its AddTSBuff, asks the library for the
// path of the save feeding it: on the host's thread, with the library's lock held.
namespace calling_back {
DWORD host_id = 0;
BOOL answered = FALSE;
WCHAR path_seen[MAX_SAVE_PATH];

BOOL WINAPI CreateCtrl(DWORD* id)
{
    *id = 7;
    return TRUE;
}
BOOL WINAPI DeleteCtrl(DWORD)
{
    return TRUE;
}
BOOL WINAPI StartSave(DWORD, const WCHAR*, BOOL, ULONGLONG)
{
    return TRUE;
}
BOOL WINAPI StopSave(DWORD)
{
    return TRUE;
}
BOOL WINAPI GetSaveFilePath(DWORD, WCHAR* filePath, DWORD* filePathSize)
{
    return HandOutString(u"/nested/news.ts", filePath, filePathSize);
}
BOOL WINAPI AddTSBuff(DWORD, const BYTE*, DWORD size, DWORD* writeSize)
{
    DWORD capacity = MAX_SAVE_PATH;
    answered = ::GetSaveFilePath(host_id, path_seen, &capacity);
    *writeSize = size;
    return TRUE;
}

template <typename Fn>
plat::Proc P(Fn fn)
{
    return reinterpret_cast<plat::Proc>(fn);
}
}  // namespace calling_back

// The six functions of the nested plug-in above.
std::map<std::string, plat::Proc> NestedFunctions()
{
    using namespace calling_back;
    return {{"CreateCtrl", P(CreateCtrl)},           {"DeleteCtrl", P(DeleteCtrl)},
            {"StartSave", P(StartSave)},             {"StopSave", P(StopSave)},
            {"GetSaveFilePath", P(GetSaveFilePath)}, {"AddTSBuff", P(AddTSBuff)}};
}

TEST_F(CoreTest, nested_plugin_may_call_the_library_again_on_the_same_thread)
{
    using namespace calling_back;
    test_platform::ProvideModule("inside.so", NestedFunctions());
    Settings("WritePlugin=inside.so\n");
    DWORD id = 0;
    ASSERT_TRUE(::CreateCtrl(&id));
    ASSERT_TRUE(InNestedMode());
    EXPECT_TRUE(test_platform::ModuleHeld("inside.so"));
    EXPECT_TRUE(::StartSave(id, u"", 0, 0));  // an empty name is the nested plug-in's to judge
    ASSERT_TRUE(::StartSave(id, u"/rec/news.ts", 0, 0));
    host_id = id;
    // A lock that the owning thread cannot enter again would hang here.
    const BYTE data[188] = {0x47};
    DWORD ws = 0;
    EXPECT_TRUE(::AddTSBuff(id, data, sizeof data, &ws));
    EXPECT_TRUE(answered);
    EXPECT_EQ(std::u16string(path_seen), u"/nested/news.ts");
    EXPECT_TRUE(::DeleteCtrl(id));
    EXPECT_FALSE(test_platform::ModuleHeld("inside.so"));
}

TEST_F(CoreTest, nested_plugin_is_found_by_the_last_separator_of_either_kind)
{
    auto nested_after_create = [&](const std::string& lib, const std::string& expect_name) {
        test_platform::ProvideModule(expect_name, NestedFunctions());
        test_platform::SetModulePath(lib.c_str());
        EXPECT_TRUE(WriteFileBytes(dir.File(lib.substr(lib.rfind('/') + 1)) + ".ini",
                                   "[SET]\nWritePlugin=inner.so\n"));
        DWORD id = 0;
        EXPECT_TRUE(CreateCtrl(&id));
        bool nested = test_platform::ModuleHeld(expect_name);
        EXPECT_TRUE(DeleteCtrl(id));
        return nested;
    };
    // A backslash ends the folder as a slash does: the plug-in's name keeps "lib\\".
    ASSERT_TRUE(WriteFileBytes(dir.File("lib\\q.so"), ""));
    EXPECT_TRUE(nested_after_create(dir.File("lib\\q.so"), "lib\\inner.so"));
    // A library path without a folder: the plug-in's path is its bare name.
    ASSERT_TRUE(WriteFileBytes(dir.File("q.so"), ""));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    bool bare = nested_after_create("q.so", "inner.so");
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(bare);
}

TEST_F(CoreTest, plugin_lacking_any_function_is_released)
{
    for (const char* lacking : {"CreateCtrl", "DeleteCtrl", "StartSave", "StopSave",
                                "GetSaveFilePath", "AddTSBuff"}) {
        std::map<std::string, plat::Proc> functions = NestedFunctions();
        functions.erase(lacking);
        std::string name = std::string("lacks-") + lacking + ".so";
        test_platform::ProvideModule(name, functions);
        Settings("WritePlugin=" + name + "\n");
        DWORD id = 0;
        ASSERT_TRUE(CreateCtrl(&id));
        EXPECT_FALSE(InNestedMode()) << lacking;
        EXPECT_FALSE(test_platform::ModuleHeld(name)) << lacking;
        EXPECT_TRUE(DeleteCtrl(id));
    }
}

TEST_F(CoreTest, library_in_a_folder_with_a_non_ascii_name_finds_its_settings)
{
    // A letter of two UTF-8 bytes, one of three and one of four (a surrogate pair in UTF-16).
    std::string folder = dir.File("\xc3\x9c" "ber \xe6\x97\xa5\xf0\x9f\x93\xba");
    ASSERT_TRUE(quill_test::MakeDir(folder));
    std::string lib = folder + "/q.so";
    ASSERT_TRUE(WriteFileBytes(lib, ""));
    ASSERT_TRUE(WriteFileBytes(lib + ".ini", "[SET]\nDataUnit=94\n"));
    test_platform::SetModulePath(lib.c_str());
    EXPECT_EQ(DataUnitAfterCreate(), 94u);
}

TEST_F(CoreTest, pipe_as_output_is_written_as_it_is)
{
    // A pipe cannot be emptied: replacing it leaves it as it is, and it takes the stream. Its
    // reader is open first, so that opening it for writing does not wait.
    std::string fifo = dir.File("pipe.ts");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    DWORD id = 0;
    ASSERT_TRUE(CreateCtrl(&id));
    std::u16string path(fifo.begin(), fifo.end());
    ASSERT_TRUE(StartSave(id, path.c_str(), 1, 0));
    const BYTE data[188] = {0x47, 1, 2, 3};
    DWORD ws = 0;
    EXPECT_TRUE(AddTSBuff(id, data, sizeof data, &ws));
    EXPECT_EQ(ws, sizeof data);
    BYTE got[sizeof data + 1] = {};
    EXPECT_EQ(read(reader, got, sizeof got), static_cast<ssize_t>(sizeof data));
    EXPECT_EQ(std::memcmp(got, data, sizeof data), 0);
    close(reader);
}

TEST_F(CoreTest, file_that_cannot_be_emptied_is_refused_and_keeps_its_bytes)
{
    // A file sealed against shrinking refuses to be emptied for a reason other than being a
    // device: replacing it would write the stream over an older one, so the output is refused.
    int fd = memfd_create("sealed", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "older", 5), 5);
    ASSERT_EQ(fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK), 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    DWORD id = 0;
    ASSERT_TRUE(CreateCtrl(&id));
    EXPECT_FALSE(StartSave(id, std::u16string(path.begin(), path.end()).c_str(), 1, 0));
    char bytes[8] = {};
    EXPECT_EQ(pread(fd, bytes, sizeof bytes, 0), 5);
    EXPECT_EQ(std::string(bytes), "older");
    close(fd);
}

TEST_F(CoreTest, process_end_leaves_open_files_to_the_system)
{
    // When the process ends rather than the library being unloaded, nothing is closed: the
    // system does that, and other libraries' code may already be gone.
    std::string file = dir.File("left.ts");
    DWORD id = 0;
    ASSERT_TRUE(CreateCtrl(&id));
    ASSERT_TRUE(StartSave(id, std::u16string(file.begin(), file.end()).c_str(), 0, 0));
    int fd = plat_posix::FdOf(plugInState.slots[id - 1].outputs[0].file);
    ProcessDetach(false);
    ProcessAttach(nullptr);  // this test program goes on, with a fresh lock
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
}

// A save of control 1 to main.ts plus duplicates, fed from one stream.
class WriteFaultTest : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        ASSERT_TRUE(CreateCtrl(&id));
        ASSERT_TRUE(StartSave(id, W(dir.File("main.ts")).c_str(), 0, 0));
    }
    static std::u16string W(const std::string& s) { return std::u16string(s.begin(), s.end()); }
    DWORD Add(const std::string& name)
    {
        std::u16string path = W(dir.File(name));
        path.resize(600);
        DWORD out = 0;
        std::u16string primary = W(dir.File("main.ts"));
        return DuplicateSave(primary.c_str(), &out, &path[0], 600, -1, 0) ? out : 0;
    }
    BOOL Feed(std::size_t from, std::size_t size, DWORD* ws)
    {
        return AddTSBuff(id, reinterpret_cast<const BYTE*>(stream.data()) + from,
                         static_cast<DWORD>(size), ws);
    }
    std::string Bytes(const std::string& name) { return test_support::ReadFileBytes(dir.File(name)); }
    CtrlSlot& Slot() { return plugInState.slots[id - 1]; }
    DWORD id = 0;
    std::string stream = test_support::PatternBytes(1 << 20, 3);
};

TEST_F(WriteFaultTest, second_of_three_outputs_hits_a_full_disk)
{
    ASSERT_EQ(Add("two.ts"), 2u);
    ASSERT_EQ(Add("three.ts"), 3u);
    DWORD ws = 0;
    ASSERT_TRUE(Feed(0, 500, &ws));
    test_platform::FailWrites(1, false);  // output 1 writes, output 2 fails
    ASSERT_TRUE(Feed(500, 700, &ws));
    EXPECT_EQ(ws, 700u);
    EXPECT_EQ(test_platform::FailedWrites(), 1);
    EXPECT_EQ(Slot().outputCount, 3u);
    EXPECT_EQ(Slot().outputs[1].file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Feed(1200, 300, &ws));
    EXPECT_TRUE(StopSave(id));
    EXPECT_EQ(Bytes("main.ts"), stream.substr(0, 1500));
    EXPECT_EQ(Bytes("two.ts"), stream.substr(0, 500));
    EXPECT_EQ(Bytes("three.ts"), stream.substr(0, 1500));
}

TEST_F(WriteFaultTest, buffer_nobody_took_leaves_the_position)
{
    ASSERT_EQ(Add("two.ts"), 2u);
    DWORD ws = 0;
    ASSERT_TRUE(Feed(0, 100, &ws));
    EXPECT_EQ(Slot().unitOffset, 100u);
    test_platform::FailWrites(0, true);
    ws = 5;
    EXPECT_FALSE(Feed(100, 50, &ws));
    EXPECT_EQ(Slot().unitOffset, 100u);
    EXPECT_FALSE(Feed(150, 50, &ws));  // every output was dropped by the first failure
    EXPECT_EQ(ws, 0u);
    EXPECT_EQ(Slot().unitOffset, 100u);
    EXPECT_EQ(Slot().outputCount, 2u);
}

TEST_F(WriteFaultTest, position_in_a_unit_above_two_gib_is_summed_in_64_bits)
{
    ASSERT_TRUE(DeleteCtrl(id));
    Settings("DataUnit=-5\n");  // read as 4294967291
    ASSERT_TRUE(CreateCtrl(&id));
    ASSERT_EQ(plugInState.dataUnit, 4294967291u);
    ASSERT_TRUE(StartSave(id, W(dir.File("big-unit.ts")).c_str(), 0, 0));
    Slot().unitOffset = 4294967290u;  // where a stream of that many bytes leaves it
    DWORD ws = 0;
    ASSERT_TRUE(Feed(0, 100, &ws));
    EXPECT_EQ(Slot().unitOffset, 99u);  // a sum cut to 32 bits gives 94
}

TEST_F(WriteFaultTest, short_and_interrupted_writes_still_deliver_every_byte)
{
    ASSERT_EQ(Add("two.ts"), 2u);
    test_platform::PlanWrites([]() {
        test_platform::WriteFault fault;
        fault.maxPiece = 7;
        fault.interrupted = true;
        return fault;
    });
    DWORD ws = 0;
    std::size_t fed = 0;
    for (std::size_t size : {1u, 6u, 7u, 8u, 1000u, 65536u, 3u}) {
        ASSERT_TRUE(Feed(fed, size, &ws));
        EXPECT_EQ(ws, size);
        fed += size;
    }
    EXPECT_TRUE(StopSave(id));
    EXPECT_EQ(Bytes("main.ts"), stream.substr(0, fed));
    EXPECT_EQ(Bytes("two.ts"), stream.substr(0, fed));
}

}  // namespace
