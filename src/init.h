// The library's one-time set-up, for the entry points that may be reached
// before any decoder or encoder exists.
#pragma once

namespace tarsk {

// Builds every shared table once (any thread; later calls wait for the
// first and return).
void build_tables();

}  // namespace tarsk
