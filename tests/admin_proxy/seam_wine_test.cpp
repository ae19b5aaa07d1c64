// The proxy's Windows seam in this process: the start-up's system calls as the seam makes them
// (seen through this program's import table, since wine shows neither effect), and where the
// system answers what the proxy itself cannot make it answer: a time it cannot convert, a window
// it refuses to create, and a netapi32 that lacks one of the two functions.
#include "platform.h"

#include "wine_session.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace proxy_wine;

namespace {

// Points this program's import of name from module at replacement; false if there is none.
bool RedirectImport(const char* module, const char* name, void* replacement)
{
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); dll->Name != 0;
         ++dll) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + dll->Name), module) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                lstrcmpA(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)
                             ->Name,
                         name) != 0)
                continue;
            DWORD was;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &was);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(slot, sizeof *slot, was, &was);
            return true;
        }
    }
    return false;
}

std::vector<std::string> start_up_calls;

BOOL WINAPI RecordDllDirectory(LPCWSTR path)
{
    start_up_calls.push_back(path == nullptr ? "SetDllDirectoryW null"
                                             : "SetDllDirectoryW length " +
                                                   std::to_string(lstrlenW(path)));
    return TRUE;
}

BOOL WINAPI RecordFilter(UINT message, DWORD flag)
{
    char call[64];
    std::snprintf(call, sizeof call, "ChangeWindowMessageFilter 0x%x %lu", message,
                  static_cast<unsigned long>(flag));
    start_up_calls.emplace_back(call);
    return TRUE;
}

TEST(Seam, start_up_calls_the_system_as_it_must)
{
    ASSERT_TRUE(RedirectImport("KERNEL32.dll", "SetDllDirectoryW",
                               reinterpret_cast<void*>(RecordDllDirectory)));
    ASSERT_TRUE(RedirectImport("USER32.dll", "ChangeWindowMessageFilter",
                               reinterpret_cast<void*>(RecordFilter)));
    proxy::plat::KeepLibrariesOutOfCurrentFolder();
    proxy::plat::AdmitFromLowerIntegrity(WM_APP);
    proxy::plat::AdmitFromLowerIntegrity(WM_APP + 1);
    EXPECT_EQ(start_up_calls,
              (std::vector<std::string>{"SetDllDirectoryW length 0",
                                        "ChangeWindowMessageFilter 0x8000 1",
                                        "ChangeWindowMessageFilter 0x8001 1"}));
}

TEST(Seam, clock_time_that_cannot_be_converted_is_refused)
{
    // The top bit set: beyond what FileTimeToSystemTime converts. The clock stays where it is.
    EXPECT_FALSE(proxy::plat::SetClockUtc(-1));
    EXPECT_FALSE(proxy::plat::SetClockUtc(INT64_MIN));
}

LRESULT CALLBACK RefuseCreation(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
        return FALSE;
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST(Seam, window_the_system_refuses_is_reported)
{
    // The class is already taken, by one whose windows refuse to be created: the seam's own
    // registration fails, and so does the creation that follows.
    WNDCLASSW taken = {};
    taken.lpfnWndProc = RefuseCreation;
    taken.hInstance = GetModuleHandleW(nullptr);
    taken.lpszClassName = L"VelmoraAdminProxy";
    ASSERT_NE(RegisterClassW(&taken), 0);
    EXPECT_FALSE(proxy::plat::CreateProxyWindow(
        [](std::uint32_t, WPARAM, LPARAM, LRESULT*) { return false; }));
}

TEST(Seam, netapi32_with_one_function_only_is_not_used)
{
    // A netapi32.dll already loaded is the one a load by name finds, wherever it was loaded
    // from (CTest asks wine for a native netapi32 first). This one exports NetFileEnum alone,
    // or, run again with PROXY_NETAPI_HALF=release, NetApiBufferFree alone: the seam tries
    // netapi32 once per process.
    wchar_t half_kind[16] = L"";
    GetEnvironmentVariableW(L"PROXY_NETAPI_HALF", half_kind, 16);
    const bool release_only = lstrcmpW(half_kind, L"release") == 0;
    test_support::ScratchDir dir("admin_proxy_half_netapi");
    const std::wstring copy = Widen(dir.File("netapi32.dll"));
    ASSERT_TRUE(CopyFileW(HostPath(release_only ? RELEASE_ONLY_PATH : ENUMERATE_ONLY_PATH).c_str(),
                          copy.c_str(), FALSE));
    HMODULE half = LoadLibraryW(copy.c_str());
    ASSERT_NE(half, nullptr);
    ASSERT_EQ(GetProcAddress(half, "NetFileEnum") == nullptr, release_only);
    ASSERT_EQ(GetProcAddress(half, "NetApiBufferFree") == nullptr, !release_only);

    for (int query = 0; query < 2; ++query)
        EXPECT_EQ(proxy::plat::FindOpenFile([](const wchar_t*, const void*) { return true; },
                                            nullptr),
                  proxy::OpenFileSearch::failed);
    // It was this library the seam looked at, not one from the system directory.
    wchar_t system_netapi[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system_netapi, MAX_PATH - 16), 0u);
    lstrcatW(system_netapi, L"\\netapi32.dll");
    EXPECT_EQ(GetModuleHandleW(system_netapi), nullptr);
    // And it let go of its reference: this test's own is the last.
    FreeLibrary(half);
    EXPECT_EQ(GetModuleHandleW(copy.c_str()), nullptr);
}

}  // namespace
