// A test-only seam for hopover's core, linked in place of the real platform layer: standard
// streams that refuse binary mode and a file that refuses to be positioned, each on request; the
// file itself from the standard library. It counts the positionings asked for.
#pragma once

namespace failing_platform {

void RefuseBinary(bool refuse);
void RefuseSeek(bool refuse);
int Seeks();

}  // namespace failing_platform
