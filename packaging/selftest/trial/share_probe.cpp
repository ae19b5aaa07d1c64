// Tells whether another process may open a file for reading and for writing while letting
// others do anything, and then whether it may delete it: prints "read=R write=W delete=D" with
// 1 for a call that succeeded.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return 2;
    int results[2];
    const DWORD access[2] = {GENERIC_READ, GENERIC_WRITE};
    for (int i = 0; i < 2; ++i) {
        HANDLE h = CreateFileW(argv[1], access[i],
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        results[i] = h != INVALID_HANDLE_VALUE ? 1 : 0;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    int deleted = DeleteFileW(argv[1]) ? 1 : 0;
    std::printf("read=%d write=%d delete=%d", results[0], results[1], deleted);
    return 0;
}
