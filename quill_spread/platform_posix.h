// The POSIX implementation of Quill_Spread's seam under names of its own (plat_posix), so that
// the library's platform file and a test's platform file can both forward to it: output handles
// as file descriptors, the write-all loop, the profile functions of profile_posix.cpp, and the
// load hook's note of the library's own file. A test's faults run through the same write loop.
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

// The seam's calls that a test may take over, each with the contract of its namesake in
// platform.h; the rest of the seam is defined directly in posix_system.cpp and profile_posix.cpp.
HANDLE CreateOutputFile(const WCHAR* path, bool overwrite);
BOOL WriteOutput(HANDLE file, const void* data, DWORD size, DWORD* written);
void CloseOutput(HANDLE file);
DWORD OwnLongPath(HMODULE self, WCHAR* path, DWORD size);
HMODULE LoadModule(const WCHAR* path);
plat::Proc FindFunction(HMODULE module, const char* name);
void ReleaseModule(HMODULE module);

// The path of an existing file (UTF-8) as OwnLongPath hands it out: its length, or 0 when the
// file is missing or the path does not fit size units with its terminator.
DWORD ExistingPath(const std::string& file, WCHAR* path, DWORD size);

// Copies text into a buffer of size units the way the Windows profile calls do: cut to
// size - 1 units, always terminated. Returns the units copied.
DWORD CopyOut(const std::u16string& text, WCHAR* out, DWORD size);

// profile_posix.cpp: the Windows profile functions over the same file syntax.
UINT ProfileInt(const WCHAR* section, const WCHAR* key, int fallback, const WCHAR* file);
DWORD ProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* fallback, WCHAR* value,
                    DWORD size, const WCHAR* file);
BOOL WriteProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* value,
                        const WCHAR* file);

// For the load hook: the module (its link_map, the handle dlopen gives for it) that holds
// address. Its file's absolute path is noted now, while the working directory is still the one
// the host loaded the library from; OwnLongPath reports it.
HMODULE NoteLoadedModule(const void* address);

}  // namespace plat_posix
