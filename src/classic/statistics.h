// The process-wide counters of the quantiser search that dv_show_statistics
// prints: what every encode of the process did, through dv.h or tarsk.h.
#pragma once

#include "encode/encode.h"

namespace tarsk {

// Adds a tally to the process-wide counters (under a lock: any thread).
void add_encode_statistics(const EncodeStats &tally);
// A copy of the process-wide counters.
EncodeStats encode_statistics();

}  // namespace tarsk
