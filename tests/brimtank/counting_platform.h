// A test-only seam for brimtank's core, linked in place of the real platform layer: threads,
// lock and events from the standard library, which count what the core makes and releases, and
// fail on request. With it the start-up and set-up failures run in process, and each shows
// whether its path released everything it had made.
#pragma once

namespace counting_platform {

struct Counts {
    int events_made = 0;
    int events_open = 0;
    int locks_made = 0;
    int locks_open = 0;
    int threads_started = 0;
    int threads_running = 0;  // started and not yet joined
    int waiting = 0;          // threads in WaitAutoEvent now
};

Counts Now();

// Clears the counts and every failure requested.
void Reset();
// The nth CreateAutoEvent from now on fails (1: the next one); 0 fails none.
void FailEventCreation(int nth);
void FailThreadStart(bool fail);
void FailBinaryStdio(bool fail);

}  // namespace counting_platform
