// Paths and files; see files.h.
#include "files.h"

#include "win_process.h"

namespace selftest {

std::wstring Join(const std::wstring& folder, const std::wstring& name)
{
    if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/')
        return folder + name;
    return folder + L"\\" + name;
}

std::wstring Parent(const std::wstring& path)
{
    std::size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos)
        return std::wstring();
    // A drive's root keeps its backslash.
    return cut == 2 && path[1] == L':' ? path.substr(0, 3) : path.substr(0, cut);
}

std::wstring BaseName(const std::wstring& path)
{
    std::size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t buffer[32768];
    DWORD n = GetFullPathNameW(path.c_str(), 32768, buffer, nullptr);
    std::wstring full = n > 0 && n < 32768 ? std::wstring(buffer, n) : path;
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/'))
        full.pop_back();
    return full;
}

bool IsFile(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>* bytes,
                   std::wstring* cause)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *cause = L"cannot open " + path + L": " + SystemMessage(GetLastError());
        return false;
    }
    bytes->clear();
    unsigned char piece[65536];
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(h, piece, sizeof piece, &got, nullptr) != 0) && got > 0)
        bytes->insert(bytes->end(), piece, piece + got);
    if (!ok)
        *cause = L"cannot read " + path + L": " + SystemMessage(GetLastError());
    CloseHandle(h);
    return ok;
}

}  // namespace selftest
