#include "sparse_file.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>

#include <filesystem>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace test_support {

#ifdef _WIN32
bool WriteBytesAt(const std::string& path, std::uint64_t offset, const std::string& bytes)
{
    HANDLE h = CreateFileW(std::filesystem::path(path).wstring().c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    // Without the mark NTFS fills the gap with zeros on disk; a file system without sparse
    // files refuses it, and then the gap is simply written.
    DWORD returned = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD written = 0;
    bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
              WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    CloseHandle(h);
    return ok;
}
#else
bool WriteBytesAt(const std::string& path, std::uint64_t offset, const std::string& bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    ssize_t n = pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    close(fd);
    return n == static_cast<ssize_t>(bytes.size());
}
#endif

}  // namespace test_support
