// The two jobs of the self-test program; each prints one line per check and returns the exit
// code (0 when everything passed).
#pragma once

#include <string>

namespace selftest {

// Checks an unpacked release with the programs of the self-test beside this one. release: the
// release folder, or empty to look for it next to the self-test.
int RunReleaseChecks(const std::wstring& release);

// Examines an installed Quill_Spread.dll in folder (and host, the recording host's program,
// when not empty) without loading anything.
int RunInstallCheck(const std::wstring& folder, const std::wstring& host);

}  // namespace selftest
