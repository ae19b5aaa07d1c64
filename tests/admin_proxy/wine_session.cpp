// Support for the proxy's end-to-end tests under wine; see wine_session.h.
#include "wine_session.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace proxy_wine {

namespace {

std::wstring desktop_name;

HANDLE OpenNul()
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, OPEN_EXISTING, 0, nullptr);
}

bool SameName(const std::wstring& entry, const std::wstring& name)
{
    if (entry.size() <= name.size() || entry[name.size()] != L'=')
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (std::towupper(entry[i]) != std::towupper(name[i]))
            return false;
    return true;
}

// The test's environment with the overrides applied, as a block for CreateProcessW.
std::wstring EnvironmentBlock(const std::vector<std::pair<std::wstring, std::wstring>>& changes)
{
    std::vector<std::wstring> entries;
    wchar_t* all = GetEnvironmentStringsW();
    for (const wchar_t* p = all; *p != 0; p += wcslen(p) + 1)
        entries.emplace_back(p);
    FreeEnvironmentStringsW(all);
    for (const auto& change : changes) {
        for (auto it = entries.begin(); it != entries.end();)
            it = SameName(*it, change.first) ? entries.erase(it) : it + 1;
        if (!change.second.empty())
            entries.push_back(change.first + L"=" + change.second);
    }
    std::wstring block;
    for (const auto& e : entries)
        block += e + L'\0';
    block += L'\0';
    return block;
}

}  // namespace

void EnterPrivateDesktop()
{
    desktop_name = L"VelmoraProxyTest" + std::to_wstring(GetCurrentProcessId());
    HDESK desktop = CreateDesktopW(desktop_name.c_str(), nullptr, nullptr, 0, GENERIC_ALL,
                                   nullptr);
    ASSERT_NE(desktop, nullptr) << "CreateDesktopW failed: " << GetLastError();
    ASSERT_TRUE(SetThreadDesktop(desktop)) << "SetThreadDesktop failed: " << GetLastError();

    // Wine starts the desktop's shell with the standard streams of the process that first
    // needs the desktop window; give it none.
    const DWORD which[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE saved[3];
    HANDLE nul = OpenNul();
    for (int i = 0; i < 3; ++i) {
        saved[i] = GetStdHandle(which[i]);
        SetStdHandle(which[i], nul);
    }
    GetDesktopWindow();
    for (int i = 0; i < 3; ++i)
        SetStdHandle(which[i], saved[i]);
    CloseHandle(nul);
}

Child::~Child()
{
    if (err_read_ != nullptr)
        CloseHandle(err_read_);
}

bool Child::Start(const ChildOptions& options)
{
    std::wstring command = selftest::QuoteArgument(options.program);
    if (!options.arguments.empty())
        command += L" " + options.arguments;
    std::wstring environment = EnvironmentBlock(options.environment);

    HANDLE nul = OpenNul();
    HANDLE err_write = nul;
    if (options.capture_stderr && !CreatePipe(&err_read_, &err_write, nullptr, 0)) {
        CloseHandle(nul);
        return false;
    }
    selftest::StartOptions start;
    start.in = nul;
    start.out = nul;
    start.err = err_write;
    start.desktop = desktop_name.c_str();
    start.environment = &environment;
    std::wstring cause;
    bool ok = process_.StartLine(options.program, command, start, &cause);
    if (err_write != nul)
        CloseHandle(err_write);
    CloseHandle(nul);
    return ok;
}

void Child::Collect()
{
    if (err_read_ == nullptr)
        return;
    DWORD available = 0;
    while (PeekNamedPipe(err_read_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buf[4096];
        DWORD got = 0;
        if (!ReadFile(err_read_, buf, available < sizeof buf ? available : sizeof buf, &got,
                      nullptr) || got == 0)
            return;
        err_.append(buf, got);
    }
}

int Child::Wait(int timeout_ms)
{
    if (process_.Handle() == nullptr)
        return -1;
    for (int waited = 0;; waited += 20) {
        Collect();
        if (process_.Wait(waited >= timeout_ms ? 0 : 20))
            break;
        if (waited >= timeout_ms)
            return -1;
    }
    Collect();
    return static_cast<int>(process_.ExitCode());
}

const std::string& Child::Stderr()
{
    Collect();
    return err_;
}

HWND FindProxy()
{
    return FindWindowExW(HWND_MESSAGE, nullptr, L"VelmoraAdminProxy", nullptr);
}

HWND WaitForProxyWindow(Child& child, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        for (HWND w = nullptr;
             (w = FindWindowExW(HWND_MESSAGE, w, L"VelmoraAdminProxy", nullptr)) != nullptr;) {
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner == child.Id())
                return w;
        }
        if (!child.Running())
            return nullptr;
        Sleep(20);
    }
    return nullptr;
}

bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 10000, &answer))
        return false;
    *result = static_cast<LRESULT>(answer);
    return true;
}

int CloseProxy(HWND window, Child& child)
{
    LRESULT ignored = 0;
    Send(window, WM_CLOSE, 0, 0, &ignored);
    return child.Wait(10000);
}

bool ProxyServer::Start(const std::wstring& program, const std::wstring& arguments,
                        const std::wstring& standin_dir)
{
    ChildOptions options;
    options.program = program;
    options.arguments = arguments;
    if (!standin_dir.empty())
        options.environment = {{L"VELMORA_NETAPI_STANDIN", standin_dir}};
    if (!child.Start(options))
        return false;
    window = WaitForProxyWindow(child, 10000);
    return window != nullptr;
}

LRESULT ProxyServer::Request(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    EXPECT_TRUE(Send(window, message, wParam, lParam, &result)) << "no answer";
    return result;
}

void Present(WPARAM* wParam, LPARAM* lParam, std::int64_t offset)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    std::uint64_t t = ((std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime) +
                      static_cast<std::uint64_t>(offset);
    *wParam = static_cast<WPARAM>(t & 0xFFFFFFFFu);
    *lParam = static_cast<LPARAM>(t >> 32);
}

LRESULT SetTimeToPresent(ProxyServer& proxy, int tries, WPARAM junk_w, LPARAM junk_l)
{
    LRESULT answer = -1;
    for (int attempt = 0; attempt < tries && answer == -1; ++attempt) {
        WPARAM w;
        LPARAM l;
        Present(&w, &l);
        answer = proxy.Request(WM_APP, w | junk_w, l | junk_l);
    }
    return answer;
}

namespace {

// The stand-in copy's name: another than the program's, so that the per-program setting that
// gives it the stand-in applies to nothing else.
const wchar_t standin_program[] = L"proxy_with_standin.exe";

std::string ReadAll(const std::wstring& path)
{
    std::ifstream f(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace

bool SetNetapiLoadOrder(const std::wstring& program_name, const std::wstring& order)
{
    std::wstring key_name = L"Software\\Wine\\AppDefaults\\" + program_name + L"\\DllOverrides";
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key_name.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    bool set = RegSetValueExW(key, L"netapi32", 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(order.c_str()),
                              static_cast<DWORD>((order.size() + 1) * sizeof(wchar_t))) ==
               ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}

bool InstallSystemStandIn(const std::wstring& standin_dll)
{
    // On Windows this would replace a library of the system.
    if (!selftest::RunsUnderWine())
        return false;
    wchar_t system_dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(system_dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return false;
    std::wstring target = std::wstring(system_dir) + L"\\netapi32.dll";
    std::string wanted = ReadAll(standin_dll);
    // Already in place, put there by this test or one running beside it, whose proxies may
    // have it loaded: left alone.
    if (wanted.empty() || ReadAll(target) == wanted)
        return !wanted.empty();
    // Copied under a name of its own and renamed over the old file, so that a proxy starting
    // meanwhile loads either the old file or the whole stand-in.
    std::wstring part = target + L"." + std::to_wstring(GetCurrentProcessId()) + L".part";
    if (CopyFileW(standin_dll.c_str(), part.c_str(), FALSE) &&
        MoveFileExW(part.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    // A test running beside this one may have put the same stand-in in place first, and its
    // proxy then holds it loaded, so that the rename over it fails: that is success too.
    DeleteFileW(part.c_str());
    return ReadAll(target) == wanted;
}

StandInCopy::StandInCopy(const std::wstring& proxy_exe, const std::wstring& standin_dll)
{
    program_ = Directory() + L"\\" + standin_program;
    ready_ = InstallSystemStandIn(standin_dll) &&
             SetNetapiLoadOrder(standin_program, L"native,builtin") &&
             CopyFileW(proxy_exe.c_str(), program_.c_str(), FALSE) && List("0\nbuffer\n");
}

bool StandInCopy::List(const std::string& text)
{
    return test_support::WriteFileBytes(dir_.File("open_files.txt"), text);
}

std::string StandInCopy::Calls()
{
    std::string all = test_support::ReadFileBytes(dir_.File("calls.log"));
    std::string fresh = all.substr(seen_ < all.size() ? seen_ : all.size());
    seen_ = all.size();
    return fresh;
}

bool NativeNetapiFirst()
{
    // wine takes the load order from the Unix environment its processes start with, not from
    // the environment a Windows parent hands to CreateProcessW.
    wchar_t order[256] = L"";
    GetEnvironmentVariableW(L"WINEDLLOVERRIDES", order, 256);
    return std::wstring(order).find(L"netapi32=n,b") != std::wstring::npos;
}

}  // namespace proxy_wine
