#include "plugin_library.h"

#include "test_files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <sstream>

namespace quill_test {

bool IsLoaded(const std::string& path)
{
#ifdef _WIN32
    return GetModuleHandleW(W(path).c_str()) != nullptr;
#else
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr)
        return false;
    dlclose(h);
    return true;
#endif
}

bool HeldForWriting(const std::string& path)
{
#ifdef _WIN32
    HANDLE h = CreateFileW(W(path).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(h);
    return false;
#else
    char want[PATH_MAX];
    if (realpath(path.c_str(), want) == nullptr)
        return false;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return false;
    bool held = false;
    while (dirent* e = readdir(fds)) {
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        char target[PATH_MAX];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = 0;
            if (std::string(target) == want)
                held = true;
        }
    }
    closedir(fds);
    return held;
#endif
}

bool CopyFileBytes(const std::string& from, const std::string& to)
{
    bool found = false;
    std::string bytes = test_support::ReadFileBytes(from, &found);
    return found && test_support::WriteFileBytes(to, bytes);
}

std::string ReadBytes(const std::string& path)
{
    std::string bytes;
#ifdef _WIN32
    std::FILE* f = _wfopen(W(path).c_str(), L"rb");
#else
    std::FILE* f = std::fopen(path.c_str(), "rb");
#endif
    if (f == nullptr)
        return bytes;
    char block[65536];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0)
        bytes.append(block, n);
    std::fclose(f);
    return bytes;
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(test_support::ReadFileBytes(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string Sep()
{
#ifdef _WIN32
    return "\\";
#else
    return "/";
#endif
}

bool MakeDir(const std::string& path)
{
#ifdef _WIN32
    return CreateDirectoryW(W(path).c_str(), nullptr) != 0;
#else
    return mkdir(path.c_str(), 0777) == 0;
#endif
}

std::string DirOfLength(const std::string& base, std::size_t length)
{
    // Folders of 99 characters (each name well below any file system's limit), then one that
    // makes up the rest.
    std::string path = base;
    while (path.size() < length) {
        std::size_t rest = length - path.size() - 1;
        path += Sep() + std::string(rest > 100 ? 99 : rest, 'd');
        MakeDir(path);
    }
    return path;
}

}  // namespace quill_test
