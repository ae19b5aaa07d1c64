// POSIX side of tailgrip's seam: standard output is already binary, the file opens read-only
// (POSIX has no share modes to deny), and the pause is clock_nanosleep.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#include <string>

namespace plat {

bool SetBinaryStdout()
{
    return true;
}

// Arguments were widened byte for byte in main_posix.cpp; narrowing them the same way gives back
// the exact bytes of the path, whatever its encoding.
std::FILE* OpenShared(const wchar_t* path)
{
    std::string narrow;
    for (const wchar_t* p = path; *p != 0; ++p)
        narrow.push_back(static_cast<char>(*p));
    std::FILE* file = std::fopen(narrow.c_str(), "rb");
    if (file == nullptr)
        return nullptr;
    std::setvbuf(file, nullptr, _IONBF, 0);
    // The counterpart of the sequential hint the Windows build asks for; only advice.
    posix_fadvise(fileno(file), 0, 0, POSIX_FADV_SEQUENTIAL);
    return file;
}

int Seek64(std::FILE* file, std::int64_t offset, SeekFrom origin)
{
    int whence = origin == SeekFrom::start ? SEEK_SET
                 : origin == SeekFrom::current ? SEEK_CUR : SEEK_END;
    return fseeko(file, static_cast<off_t>(offset), whence);
}

void SleepMs(unsigned ms)
{
    // Towards a fixed deadline, so that a handler that interrupts the pause (one of a caller
    // that catches signals) only costs another call, not the rest of the pause. The carry into
    // the seconds is done by division, which leaves the deadline well-formed.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long long nanos = deadline.tv_nsec + static_cast<long long>(ms % 1000) * 1000000LL;
    deadline.tv_sec += static_cast<time_t>(ms / 1000 + nanos / 1000000000LL);
    deadline.tv_nsec = static_cast<long>(nanos % 1000000000LL);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace plat
