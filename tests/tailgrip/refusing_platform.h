// A test-only seam for tailgrip's core, linked in place of the real platform layer: standard
// output that refuses binary mode on request, and the file, its positions and the pause from the
// standard library. It counts the files it opens, so a test sees how far a start got.
#pragma once

namespace refusing_platform {

void RefuseBinary(bool refuse);
int FilesOpened();

}  // namespace refusing_platform
