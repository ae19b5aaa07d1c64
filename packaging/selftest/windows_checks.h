// The checks that only Windows can answer: the file server's list of open files through a share
// of this computer, setting the clock for real, a request from low integrity, paths of 511
// characters with long paths enabled, and that the share modes were tried on NTFS. Under wine
// each prints "not run under wine" and why; nothing there counts.
#pragma once

#include "report.h"

#include <string>

namespace selftest {

struct WindowsCheckFiles {
    std::wstring plugin;  // Quill_Spread.dll of the release
    std::wstring host;    // the trial recording host
    std::wstring sender;  // proxy_send.exe
    std::wstring work;    // the work folder, which holds stream.ts and probe.txt
    std::wstring blocked; // why the checks cannot run (what they need failed), or empty
};

// After the recordings in the work folder: a recording to a path of 511 characters, and the file
// system the share modes were checked on.
void CheckFilesOnWindows(Report& report, const WindowsCheckFiles& files);

// While the self-test's own proxy runs, elevated: the open-file query against a file opened
// through a share, and a request from a process at low integrity.
void CheckProxyOnWindows(Report& report, const WindowsCheckFiles& files);

// Made before the set-time request for the present; then Check says whether the clock moved.
class ClockWatch {
public:
    ClockWatch();
    void Check(Report& report, bool set) const;

private:
    long long system_, counter_;
};

}  // namespace selftest
