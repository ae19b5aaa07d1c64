// A netapi32.dll planted beside a copy of VelmoraAdminProxy.exe, as anyone who may write to the
// proxy's folder could plant one, under a load order that prefers a native library beside the
// program (CTest gives this test WINEDLLOVERRIDES with "netapi32=n,b"): the proxy must never
// load it, and its open-file queries must still be answered by the netapi32 of the system
// directory, the tests' stand-in there.
#include "wine_session.h"

#include <gtest/gtest.h>

#include <string>

using namespace proxy_wine;

namespace {

const std::wstring proxy_exe = HostPath(PROXY_PATH);
const std::wstring standin_dll = HostPath(STANDIN_PATH);
const std::wstring planted_dll = HostPath(PLANTED_PATH);

const auto* const desktop_environment =
    ::testing::AddGlobalTestEnvironment(new PrivateDesktopEnvironment);

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Without this the test below would pass for a library that leaves no mark.
TEST(Planting, planted_library_leaves_its_mark_when_loaded)
{
    test_support::ScratchDir dir("admin_proxy_planted");
    const std::wstring copy = Widen(dir.File("planted_check.dll"));
    ASSERT_TRUE(CopyFileW(planted_dll.c_str(), copy.c_str(), FALSE));
    HMODULE loaded = LoadLibraryW(copy.c_str());
    ASSERT_NE(loaded, nullptr);
    FreeLibrary(loaded);
    EXPECT_TRUE(Exists(copy + L".loaded"));
}

TEST(Planting, library_beside_the_proxy_is_never_loaded)
{
    ASSERT_TRUE(NativeNetapiFirst()) << "WINEDLLOVERRIDES must contain netapi32=n,b";
    StandInCopy copy(proxy_exe, standin_dll);
    ASSERT_TRUE(copy.Ready());
    const std::wstring planted = copy.Directory() + L"\\netapi32.dll";
    ASSERT_TRUE(CopyFileW(planted_dll.c_str(), planted.c_str(), FALSE));
    const std::string enumerated = std::string(standin_enumeration) + standin_release;

    ProxyServer proxy;
    ASSERT_TRUE(proxy.Start(copy.Program(), L"", copy.Directory()));
    ASSERT_TRUE(copy.List("0\nbuffer\nC:\\rec\\news.TXT\n"));
    EXPECT_EQ(proxy.Query(0x747874, 0), 1);   // txt
    EXPECT_EQ(proxy.Query(0x636F64, 0), -1);  // doc
    EXPECT_EQ(copy.Calls(), enumerated + enumerated);
    EXPECT_EQ(proxy.Close(), 0);

    EXPECT_FALSE(Exists(planted + L".loaded")) << "the proxy loaded the netapi32.dll beside it";
}

}  // namespace
