// POSIX side of tailgrip's seam: standard output is already binary, the file opens read-only
// (POSIX has no share modes to deny), and number conversion follows the Windows runtime's rules
// through the core's own conversion.
#include "platform.h"
#include "tailgrip_core.h"

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
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // tailgrip catches no signal, and Linux resumes a sleep that was stopped and continued by
    // itself, so the loop never turns here; it keeps the full pause under a caller that does.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {  // GCOVR_EXCL_BR_LINE
    }
}

// The arguments arrive as bytes, so only ASCII white space and digits can occur; the rules
// (and the 32-bit long) are the Windows runtime's, so that both builds read a number alike.
std::int64_t WideToInt64(const wchar_t* text, const wchar_t** end)
{
    return tailgrip::DecimalToSigned(text, INT64_MIN, INT64_MAX, end);
}

std::int32_t WideToLong(const wchar_t* text, const wchar_t** end)
{
    return static_cast<std::int32_t>(tailgrip::DecimalToSigned(text, INT32_MIN, INT32_MAX, end));
}

}  // namespace plat
