// POSIX side of hopover's seam: standard streams are already binary, the file opens read-only
// (POSIX has no share modes to deny), and the entry point widens the arguments.
#include "platform.h"

#include <signal.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace plat {

bool SetBinaryStdio()
{
    return true;
}

// Arguments were widened byte for byte in main; narrowing them the same way gives back the
// exact bytes of the path, whatever its encoding.
std::FILE* OpenShared(const wchar_t* path)
{
    std::string narrow;
    for (const wchar_t* p = path; *p != 0; ++p)
        narrow.push_back(static_cast<char>(*p));
    return std::fopen(narrow.c_str(), "rb");
}

int Seek64(std::FILE* file, std::uint64_t offset)
{
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET);
}

}  // namespace plat

// The tests link this file for its seam and bring their own main.
#ifndef HOPOVER_NO_ENTRY
int main(int argc, char** argv)
{
    // A write to a pipe whose reader has gone raises SIGPIPE and ends the process. Ignore it,
    // so that the write just fails and the run finishes as it does on Windows.
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::wstring> wide(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        for (const char* p = argv[i]; *p != 0; ++p)
            wide[i].push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    }
    std::vector<wchar_t*> wargv;
    for (auto& w : wide)
        wargv.push_back(w.data());
    wargv.push_back(nullptr);
    return tool_main(argc, wargv.data());
}
#endif
