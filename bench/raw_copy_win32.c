/* The physical limit of the tools' copies on Windows, the baseline of their Windows builds under
 * wine: standard input to standard output, then, when a file is named, the file from the byte
 * count copied so far to its end, all in 65536-byte ReadFile and WriteFile calls with no C
 * runtime in between. Built by the bench scripts with the same mingw as the tools. */
#include <windows.h>

static unsigned char buf[65536];

/* Copies from in to out until a read returns nothing; adds the bytes to *copied. */
static int copy(HANDLE in, HANDLE out, LONGLONG* copied)
{
    DWORD got, put;
    while (ReadFile(in, buf, sizeof buf, &got, NULL) && got > 0) {
        if (!WriteFile(out, buf, got, &put, NULL) || put != got)
            return 0;
        *copied += got;
    }
    return 1;
}

int wmain(int argc, wchar_t** argv)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    LONGLONG copied = 0;
    if (!copy(GetStdHandle(STD_INPUT_HANDLE), out, &copied))
        return 1;
    if (argc < 2)
        return 0;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    LARGE_INTEGER at;
    at.QuadPart = copied;
    if (file == INVALID_HANDLE_VALUE || !SetFilePointerEx(file, at, NULL, FILE_BEGIN))
        return 1;
    return copy(file, out, &copied) ? 0 : 1;
}
