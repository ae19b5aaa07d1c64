// What the POSIX side of Quill_Spread's seam shares beyond platform.h: handles as descriptors,
// the write-all loop and the load hook's note of the own file. A test's platform file compiles
// platform_posix.cpp in with the seam's calls as plat_posix, and forwards to them whatever it
// does not fault.
#pragma once

#include "platform.h"

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

// Writes size bytes of data to fd through writeSome, write(2) or a call with its contract. That
// may stop short (a full disk, a signal): loop until every byte is out, so that an output never
// loses data while reporting success. *written receives the bytes written, on failure too.
bool WriteAll(int fd, const void* data, std::size_t size, std::size_t* written,
              ssize_t (*writeSome)(int, const void*, std::size_t) = write);

// For the load hook: the module (its link_map, the handle dlopen gives for it) that holds
// address. Its file's absolute path is noted now, while the working directory is still the one
// the host loaded the library from; OwnLongPath reports it.
HMODULE NoteLoadedModule(const void* address);
// The path of an existing file (UTF-8) as OwnLongPath hands it out: its length, or 0 when the
// file is missing or the path does not fit size units with its terminator.
DWORD ExistingPath(const std::string& file, WCHAR* path, DWORD size);

}  // namespace plat_posix
