// The calling contract as a host and a nested plug-in see it on each Windows architecture: the
// nine exports found under their plain names only, every call leaving the caller's stack as it
// was (on x86 a stdcall function removes exactly the arguments it declares, Setting's unread
// owner window included), and the nested plug-in called the same way, a 64-bit startParam
// arriving whole.
#include "quill_fixture.h"
#include "stack_probe.h"

#include <windows.h>

#include <cstdint>

using namespace quill_test;

namespace {

#if defined(__i386__)
// Pushes count argument words (words[0] last, so it is the first argument), calls fn, stores its
// result in *result and returns the bytes by which the stack pointer after the call lies below
// where it was before the arguments: 0 when fn removed exactly the words pushed, 4 per word it
// left behind, negative when it removed more.
extern "C" int StackLeftByCall(const void* fn, const DWORD* words, int count, DWORD* result);
asm(R"(
    .text
    .globl _StackLeftByCall
_StackLeftByCall:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    movl %esp, %edi
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    movl 20(%ebp), %ecx
    movl %eax, (%ecx)
    movl %edi, %eax
    subl %esp, %eax
    movl %edi, %esp
    popl %edi
    popl %esi
    popl %ebp
    ret
)");

DWORD Word(const void* p)
{
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p));
}

std::uintptr_t StackPointer()
{
    std::uintptr_t sp;
    asm volatile("movl %%esp, %0" : "=r"(sp));
    return sp;
}
#endif

class StdcallTest : public QuillTest {
protected:
    HMODULE Module() const { return GetModuleHandleW(W(lib_path).c_str()); }

    // Loads the library in nested mode over the stack probe, with control 1 created (which
    // loads the probe); the probe's notes.
    const stack_probe::Notes* LoadOverProbe()
    {
        std::string probe = dir.File("StackProbe.dll");
        EXPECT_TRUE(CopyFileBytes(STACK_PROBE_PATH, probe));
        WriteSettings({"WritePlugin=StackProbe.dll"});
        Load();
        EXPECT_EQ(NewCtrl(), 1u);
        HMODULE module = GetModuleHandleW(W(probe).c_str());
        if (module == nullptr)
            return nullptr;
        auto notes_of = reinterpret_cast<stack_probe::ProbeNotesFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "ProbeNotes")));
        return notes_of != nullptr ? notes_of() : nullptr;
    }
};

TEST_F(StdcallTest, exports_are_found_by_their_plain_names_only)
{
    Load();
    HMODULE module = Module();
    ASSERT_NE(module, nullptr);
    const char* const names[] = {"GetPlugInName", "Setting",         "CreateCtrl",
                                 "DeleteCtrl",    "StartSave",       "StopSave",
                                 "GetSaveFilePath", "AddTSBuff",     "DuplicateSave"};
    for (const char* name : names) {
        EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
        // No decorated forms beside them (x86 symbols are "_Name@N").
        EXPECT_EQ(GetProcAddress(module, (std::string("_") + name).c_str()), nullptr) << name;
    }
    EXPECT_EQ(GetProcAddress(module, "CreateCtrl@4"), nullptr);
    EXPECT_EQ(GetProcAddress(module, "_CreateCtrl@4"), nullptr);
    EXPECT_EQ(GetProcAddress(module, "Setting@4"), nullptr);
}

#if defined(__i386__)
TEST_F(StdcallTest, every_export_removes_exactly_the_arguments_a_host_pushes)
{
    Load();
    HMODULE module = Module();
    auto call = [&](const char* name, std::initializer_list<DWORD> words) {
        FARPROC fn = GetProcAddress(module, name);
        EXPECT_NE(fn, nullptr) << name;
        DWORD result = 0xDEADBEEF;
        if (fn == nullptr)
            return result;
        int left = StackLeftByCall(reinterpret_cast<const void*>(fn), words.begin(),
                                   static_cast<int>(words.size()), &result);
        EXPECT_EQ(left, 0) << name << ": bytes left on the stack";
        return result;
    };
    const ULONGLONG param = 0x89ABCDEF01234567ull;
    const DWORD lo = static_cast<DWORD>(param), hi = static_cast<DWORD>(param >> 32);

    DWORD size = 0;
    EXPECT_EQ(call("GetPlugInName", {0, Word(&size)}), 1u);
    EXPECT_EQ(size, 22u);
    // The owner window a host passes when it opens the settings dialog: taken and ignored.
    DWORD opened = call("Setting", {Word(reinterpret_cast<void*>(0x1234))});
    EXPECT_TRUE(opened > 32 || opened == 31) << opened;  // wine: no editor for .ini (31)
    DWORD id = 0;
    EXPECT_EQ(call("CreateCtrl", {Word(&id)}), 1u);
    ASSERT_EQ(id, 1u);
    WStr file = Path("stack.ts");
    EXPECT_EQ(call("StartSave", {id, Word(file.c_str()), 0, lo, hi}), 1u);
    size = 0;
    EXPECT_EQ(call("GetSaveFilePath", {id, 0, Word(&size)}), 1u);
    EXPECT_EQ(size, file.size() + 1);
    const BYTE data[376] = {0x47};
    DWORD written = 0;
    EXPECT_EQ(call("AddTSBuff", {id, Word(data), sizeof data, Word(&written)}), 1u);
    EXPECT_EQ(written, sizeof data);
    WStr dup = Path("stack-dup.ts");
    dup.resize(600, 0);
    DWORD out = 0;
    EXPECT_EQ(call("DuplicateSave", {Word(file.c_str()), Word(&out), Word(&dup[0]), 600,
                                     static_cast<DWORD>(-1), lo, hi}),
              1u);
    EXPECT_EQ(out, 2u);
    EXPECT_EQ(call("DuplicateSave", {Word(file.c_str()), Word(&out), 0, 0, 0, 0, 0}), 1u);
    EXPECT_EQ(call("StopSave", {id}), 1u);
    EXPECT_EQ(call("DeleteCtrl", {id}), 1u);
}

// Thousands of recordings through correctly typed stdcall pointers, as a host makes them (into
// the probe, so that no file slows them down); the stack pointer after them is where it was
// before.
__attribute__((noinline)) std::intptr_t StackMovedByRecordings(const PlugInApi& q,
                                                               const WCHAR* file, int count)
{
    const BYTE data[188 * 3] = {0x47};
    std::uintptr_t before = StackPointer();
    for (int i = 0; i < count; ++i) {
        DWORD id = 0, size = 0, written = 0, out = 0;
        WCHAR dup[600] = L"";
        lstrcpyW(dup, file);
        lstrcatW(dup, L".dup");
        q.GetPlugInName(nullptr, &size);
        q.CreateCtrl(&id);
        q.StartSave(id, file, 1, 0x100000000ull * static_cast<unsigned>(i) + 7);
        q.GetSaveFilePath(id, nullptr, &size);
        q.AddTSBuff(id, data, sizeof data, &written);
        q.DuplicateSave(L"probe.ts", &out, dup, 600, 1, 0xFFFFFFFF00000000ull);
        q.AddTSBuff(id, data, sizeof data, &written);
        q.DuplicateSave(L"probe.ts", &out, nullptr, 0, -1, 0);
        q.StopSave(id);
        q.DeleteCtrl(id);
    }
    return static_cast<std::intptr_t>(StackPointer() - before);
}

TEST_F(StdcallTest, thousands_of_typed_calls_leave_the_host_stack_balanced)
{
    const stack_probe::Notes* notes = LoadOverProbe();
    ASSERT_NE(notes, nullptr);
    WStr file = Path("typed.ts");
    EXPECT_EQ(StackMovedByRecordings(q, file.c_str(), 2000), 0);
    EXPECT_EQ(notes->calls[stack_probe::add_ts_buff], 2000u * 3u);
    // Each recording starts output 1 and then a duplicate.
    EXPECT_EQ(notes->startParams[62], 0x100000000ull * 31 + 7);
    EXPECT_EQ(notes->startParams[63], 0xFFFFFFFF00000000ull);
}
#endif

// In nested mode every output is a nested control: 64 of them, each with a startParam whose high
// half differs from its low half, then thousands of buffers handed on by the one loop that
// calls the nested AddTSBuff. Every call from that loop finds its arguments at the same place.
TEST_F(StdcallTest, nested_plugin_is_called_stdcall_with_start_param_whole)
{
    const stack_probe::Notes* probe_notes = LoadOverProbe();
    ASSERT_NE(probe_notes, nullptr);
    const stack_probe::Notes& notes = *probe_notes;
    const DWORD id = 1;

    std::vector<ULONGLONG> params;
    for (ULONGLONG k = 0; k < 64; ++k)
        params.push_back(0x89ABCDEF00000000ull + (k << 56) + 0x01234567ull * (k + 1));
    ASSERT_TRUE(q.StartSave(id, Path("main.ts").c_str(), 0, params[0]));
    WStr primary = lib.SavePath(id);
    EXPECT_EQ(N(primary), "probe.ts");
    for (std::size_t k = 1; k < params.size(); ++k) {
        WStr path = Path("dup" + std::to_string(k) + ".ts");
        path.resize(600, 0);
        DWORD out = 0;
        ASSERT_TRUE(q.DuplicateSave(primary.c_str(), &out, &path[0], 600, -1, params[k])) << k;
    }
    ASSERT_EQ(notes.calls[stack_probe::start_save], 64u);
    for (std::size_t k = 0; k < params.size(); ++k)
        EXPECT_EQ(notes.startParams[k], params[k]) << k;

    std::vector<BYTE> data(188 * 10, 0x47);
    DWORD written = 0;
    for (int i = 0; i < 2000; ++i)
        ASSERT_TRUE(q.AddTSBuff(id, data.data(), static_cast<DWORD>(data.size()), &written));
    EXPECT_EQ(notes.calls[stack_probe::add_ts_buff], 64u * 2000u);
    EXPECT_EQ(notes.moved[stack_probe::add_ts_buff], 0u);
    EXPECT_EQ(notes.lastSize, data.size());
    EXPECT_EQ(notes.lastWriteSize, &written);

    // StopSave closes all 64 from one loop too.
    EXPECT_TRUE(q.StopSave(id));
    EXPECT_EQ(notes.calls[stack_probe::stop_save], 64u);
    EXPECT_EQ(notes.moved[stack_probe::stop_save], 0u);
    EXPECT_EQ(notes.calls[stack_probe::delete_ctrl], 64u);
    EXPECT_EQ(notes.moved[stack_probe::delete_ctrl], 0u);
}

}  // namespace
