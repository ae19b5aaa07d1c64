// Windows side of tailgrip's seam: binary standard output, a shared read-only open of the file,
// 64-bit positioning and Sleep.
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

namespace plat {

bool SetBinaryStdout()
{
    return _setmode(_fileno(stdout), _O_BINARY) >= 0;
}

// "S" asks for sequential caching; _wfopen opens with read and write sharing, so the process
// that writes the file is never locked out, even one that shares only reading.
std::FILE* OpenShared(const wchar_t* path)
{
    std::FILE* file = _wfopen(path, L"rbS");
    if (file != nullptr)
        std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

// The runtime's seek also drops the end-of-file mark that it keeps on the descriptor, which
// clearerr leaves in place.
int Seek64(std::FILE* file, std::int64_t offset, SeekFrom origin)
{
    int whence = origin == SeekFrom::start ? SEEK_SET
                 : origin == SeekFrom::current ? SEEK_CUR : SEEK_END;
    return _fseeki64(file, offset, whence);
}

void SleepMs(unsigned ms)
{
    Sleep(ms);
}

}  // namespace plat
