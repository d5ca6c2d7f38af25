#pragma once
// The signals that ask the service to stop, taken only between two messages
// so that a replacement is never cut off half-way.

namespace talvoro {

// Blocks the stop signals in the calling thread and in every thread it
// starts later. Call it first thing in main, before any thread exists.
void blockStopSignals();

// The stop signal waiting to be taken, or 0; never waits.
int takeStopSignal();

// A descriptor that is readable while a stop signal waits to be taken, for a
// loop that sleeps in poll(); made on the first call (after
// blockStopSignals), for the life of the process. -1 when the system gives
// none.
int stopSignalDescriptor();

}  // namespace talvoro
