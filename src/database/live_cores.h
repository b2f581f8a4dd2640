#pragma once
// The process-wide list of collection cores opened through database objects,
// held weakly (it never keeps a core alive), so that a process that exits
// while some core is still held (by a reference the interpreter never lets
// go of, a daemon thread's frame, a cycle) still writes what its adds
// buffered.
//
// Thread safety: both functions may be called from any thread at any time;
// the list has a mutex of its own, never held while a core is flushed.
#include "collection/collection.h"

namespace tessello {

void track_live_core(const CollectionHandle& core);

// Flushes the write-behind buffer of every tracked core still alive. Best
// effort: a failure has no caller to report to and is ignored. Safe while
// other threads are inside calls on the same cores, whose own locks order the
// flush against them; an add that returns after this has begun may stay
// buffered.
void flush_live_cores() noexcept;

}  // namespace tessello
