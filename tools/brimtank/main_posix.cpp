// brimtank's POSIX entry point: widens the arguments for the portable program.
#include "brimtank_core.h"

#include <signal.h>

#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // A write to a pipe whose reader has gone raises SIGPIPE and ends the process. Ignore it,
    // so that the write just fails and the run finishes as it does on Windows.
    signal(SIGPIPE, SIG_IGN);

    // Byte for byte: the counts are read from their ASCII digits, signs and blanks alone.
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
