// What the POSIX files of Quill_Spread's seam share: output handles as file descriptors, the
// write-all loop, the Windows way of handing out a string, the profile functions of
// profile_posix.cpp, and the load hook's note of the library's own file. A test seam that wraps
// the POSIX one uses the same pieces, so that its faults run through the library's own loop.
#pragma once

#include "platform.h"
#include "utf16_convert.h"

#include <errno.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat_posix {

// An output file's handle is its descriptor.
inline HANDLE HandleOf(int fd)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}
inline int FdOf(HANDLE file)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(file));
}

// Writes size bytes of data through writeSome, a call with the contract of write(2). That may
// stop short (a full disk, a signal): loop until every byte is out, so that an output never
// loses data while reporting success. *written receives the bytes written, on failure too.
template <typename WriteSome>
bool WriteAllWith(WriteSome writeSome, const void* data, std::size_t size, std::size_t* written)
{
    const char* p = static_cast<const char*>(data);
    *written = 0;
    while (*written < size) {
        auto n = writeSome(p + *written, size - *written);
        if (n < 0 && errno == EINTR)
            continue;
        // A write that moves no bytes would spin here for ever; count it as a failure.
        if (n <= 0)
            return false;
        *written += static_cast<std::size_t>(n);
    }
    return true;
}

inline bool WriteAll(int fd, const void* data, std::size_t size, std::size_t* written)
{
    return WriteAllWith([fd](const char* p, std::size_t n) { return write(fd, p, n); }, data,
                        size, written);
}

// Paths are UTF-8 where a file is opened.
inline std::string Narrow(const WCHAR* s)
{
    return utf16::Narrow(s);
}

// Copies text into a buffer of size units the way the Windows profile and module-path calls
// do: cut to size - 1 units, always terminated. Returns the units copied.
DWORD CopyOut(const std::u16string& text, WCHAR* out, DWORD size);
// Reports file (UTF-8) as GetModuleFileNameW reports a module's file: the units copied, or
// size when the path was cut; 0 for an empty file name.
DWORD ReportModuleFile(const std::string& file, WCHAR* path, DWORD size);

// profile_posix.cpp: the Windows profile functions over the same file syntax.
UINT ProfileInt(const WCHAR* section, const WCHAR* key, int fallback, const WCHAR* file);
DWORD ProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* fallback, WCHAR* value,
                    DWORD size, const WCHAR* file);
BOOL WriteProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* value,
                        const WCHAR* file);

// For the load hook: the module (its base address) that holds address. Its file's absolute path
// is noted now, while the working directory is still the one the host loaded the library from;
// ModuleFileName reports it.
HMODULE NoteLoadedModule(const void* address);

}  // namespace plat_posix
