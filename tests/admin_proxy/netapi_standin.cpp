// A stand-in for the system's netapi32.dll, put in the wine prefix's system directory and
// chosen by a native-first load order for netapi32, so that a test decides what the file
// server has open.
//
// The directory named by VELMORA_NETAPI_STANDIN holds open_files.txt: the first line is the
// status NetFileEnum returns (0 for success), the second "buffer" or "nobuffer" (whether a
// buffer is handed back), every further line one path (UTF-8). It is read at each call, so a
// test can change the list under a running proxy. Each call is appended to calls.log there:
//   NetFileEnum server=null base=null user=null level=3 prefmax=4294967295 resume=null
//   NetApiBufferFree ok            (the buffer handed out last; "unknown" for any other)
#include "selftest/win_process.h"

#include <windows.h>
#include <lm.h>

#include <string>
#include <vector>

namespace {

// The buffer most recently handed out and not yet released.
void* outstanding = nullptr;

std::wstring StandinFile(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"VELMORA_NETAPI_STANDIN", dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::wstring();
    return std::wstring(dir) + L"\\" + name;
}

void Log(const std::string& line)
{
    std::wstring path = StandinFile(L"calls.log");
    HANDLE f = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    std::string text = line + "\n";
    DWORD put = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
    CloseHandle(f);
}

// The lines of open_files.txt, converted from UTF-8 as a whole.
std::vector<std::wstring> ReadLines()
{
    std::vector<std::wstring> lines;
    std::wstring path = StandinFile(L"open_files.txt");
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return lines;
    std::string bytes;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0)
        bytes.append(buf, got);
    CloseHandle(f);
    std::wstring text = selftest::Wide(bytes);
    std::wstring line;
    for (wchar_t c : text) {
        if (c == L'\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != L'\r') {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

const char* NullOr(const void* p)
{
    return p == nullptr ? "null" : "set";
}

}  // namespace

extern "C" NET_API_STATUS WINAPI NetFileEnum(LMSTR servername, LMSTR basepath, LMSTR username,
                                             DWORD level, LPBYTE* bufptr, DWORD prefmaxlen,
                                             LPDWORD entriesread, LPDWORD totalentries,
                                             PDWORD_PTR resume_handle)
{
    Log(std::string("NetFileEnum server=") + NullOr(servername) + " base=" + NullOr(basepath) +
        " user=" + NullOr(username) + " level=" + std::to_string(level) +
        " prefmax=" + std::to_string(prefmaxlen) + " resume=" + NullOr(resume_handle));
    *bufptr = nullptr;
    *entriesread = 0;
    *totalentries = 0;

    std::vector<std::wstring> lines = ReadLines();
    NET_API_STATUS status = lines.empty() ? NERR_Success : std::stoul(lines[0]);
    bool give_buffer = lines.size() < 2 || lines[1] == L"buffer";
    std::vector<std::wstring> paths;
    for (std::size_t i = 2; i < lines.size(); ++i)
        paths.push_back(lines[i]);
    if (!give_buffer)
        return status;

    // One block, as the system hands it out: the entries, then the strings they point to.
    std::size_t bytes = sizeof(FILE_INFO_3) * (paths.size() + 1);
    for (const auto& p : paths)
        bytes += (p.size() + 1) * sizeof(wchar_t);
    BYTE* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
    if (block == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    auto* entries = reinterpret_cast<FILE_INFO_3*>(block);
    auto* strings = reinterpret_cast<wchar_t*>(block + sizeof(FILE_INFO_3) * (paths.size() + 1));
    for (std::size_t i = 0; i < paths.size(); ++i) {
        entries[i].fi3_id = static_cast<DWORD>(i + 1);
        entries[i].fi3_pathname = strings;
        lstrcpyW(strings, paths[i].c_str());
        strings += paths[i].size() + 1;
    }
    outstanding = block;
    *bufptr = block;
    if (status == NERR_Success) {
        *entriesread = static_cast<DWORD>(paths.size());
        *totalentries = static_cast<DWORD>(paths.size());
    }
    return status;
}

extern "C" NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer)
{
    if (buffer == nullptr || buffer != outstanding) {
        Log("NetApiBufferFree unknown");
        return ERROR_INVALID_PARAMETER;
    }
    Log("NetApiBufferFree ok");
    outstanding = nullptr;
    HeapFree(GetProcessHeap(), 0, buffer);
    return NERR_Success;
}
