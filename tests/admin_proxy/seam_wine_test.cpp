// The proxy's Windows seam in this process, where the system answers what the proxy itself
// cannot make it answer: a time it cannot convert, a window it refuses to create, and a
// netapi32 that lacks one of the two functions.
#include "platform.h"

#include "wine_session.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

using namespace proxy_wine;

namespace {

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
    EXPECT_FALSE(proxy::plat::CreateProxyWindow());
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

    for (int query = 0; query < 2; ++query) {
        proxy::OpenFileList list;
        list.buffer = &list;
        EXPECT_FALSE(proxy::plat::EnumerateOpenFiles(&list));
        EXPECT_EQ(list.buffer, nullptr);
        EXPECT_EQ(list.count, 0u);
    }
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
