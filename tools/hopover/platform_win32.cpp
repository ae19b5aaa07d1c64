// Windows side of hopover's seam: binary standard streams, a shared read-only open of the file,
// 64-bit positioning, and the wide-character entry point.
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

namespace plat {

bool SetBinaryStdio()
{
    if (_setmode(_fileno(stdin), _O_BINARY) < 0)
        return false;
    return _setmode(_fileno(stdout), _O_BINARY) >= 0;
}

// "S" asks for sequential caching; _wfopen opens with read and write sharing, so the process
// that writes the file is never locked out.
std::FILE* OpenShared(const wchar_t* path)
{
    return _wfopen(path, L"rbS");
}

int Seek64(std::FILE* file, std::uint64_t offset)
{
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET);
}

}  // namespace plat

// The tests link this file for its seam and bring their own main.
#ifndef HOPOVER_NO_ENTRY
int wmain(int argc, wchar_t** argv)
{
    return tool_main(argc, argv);
}
#endif
