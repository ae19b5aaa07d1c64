// A test-only seam for brimtank's core, linked in place of the real platform layer, that runs
// the two threads one at a time: a baton passes between them, and a thread gives it up only
// where it waits or where a chooser says so. The interleaving of the main thread and the writer
// is therefore fixed by the chooser's answers, and a run replays exactly. The seam also checks
// what the real lock and events would only show as a hang: a thread that waits, reads or writes
// while it holds the lock, and a wait that nothing will ever end (a lost wake-up). Either is
// reported on a line that starts with "ORACLE", and the process aborts.
#pragma once

namespace baton_platform {

// Asked at every place where the running thread may hand the baton over (before it enters the
// lock, after it sets an event, and where the streams call MaySwitch): true hands it over.
// Asked only while the other thread can go on, and only by the thread that holds the baton.
using Chooser = bool (*)(void* context);
void SetChooser(Chooser chooser, void* context);

// A place for the streams to hand the baton over, for instance in the middle of a read.
void MaySwitch();

}  // namespace baton_platform
