// What the fuzz targets of Quill_Spread share: a scratch folder in memory, and the way an oracle
// reports a mismatch (a line starting with "ORACLE", then abort, so libFuzzer keeps the input).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace fuzz_support {

// A fresh folder of this process in tmpfs (else in the temporary folder), removed at exit.
inline const std::string& ScratchFolder()
{
    // Never destroyed, so that the exit handler still finds it.
    static const std::string& folder = *new std::string([] {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path base =
            fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string path = (base / ("quill-fuzz-" + std::to_string(getpid()))).string();
        fs::remove_all(path, ec);
        fs::create_directories(path);
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchFolder(), ignored);
        });
        return path;
    }());
    return folder;
}

[[noreturn]] inline void Oracle(const std::string& what)
{
    std::fprintf(stderr, "ORACLE %s\n", what.c_str());
    std::fflush(stderr);
    abort();
}

}  // namespace fuzz_support
