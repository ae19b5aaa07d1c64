// Test hooks of the POSIX seam, for tests that link the portable code directly: faults in the
// output writes, short writes that the write loop must absorb, and the path the library takes
// for its own file (so settings and the nested plug-in come from a test's scratch directory).
// None of this is exported from Quill_Spread.so.
#pragma once

#include <cstddef>

namespace plat_test {

// The next afterCalls output writes succeed; the one after fails without writing anything,
// and so does every later one when persist. A negative afterCalls switches faults off.
void FailWrites(int afterCalls, bool persist);
// Output writes that failed through FailWrites so far.
int FailedWrites();
// Each write(2) moves at most maxBytes (0: no limit), as a pipe or a full disk may.
void ShortWrites(std::size_t maxBytes);
// The path reported as the library's own file; null: the real one.
void SetModulePath(const char* path);

}  // namespace plat_test
