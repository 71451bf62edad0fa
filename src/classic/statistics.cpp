// The process-wide counters of the quantiser search, and their printout.
#include "classic/statistics.h"

#include <tarsk/dv.h>

#include <mutex>

#include "common/log.h"

namespace tarsk {
namespace {

// The process-wide counters, and the lock under which tallies are added.
std::mutex statistics_lock;
EncodeStats process_statistics{};

}  // namespace

void add_encode_statistics(const EncodeStats &tally) {
  std::lock_guard<std::mutex> hold(statistics_lock);
  process_statistics += tally;
}

EncodeStats encode_statistics() {
  std::lock_guard<std::mutex> hold(statistics_lock);
  return process_statistics;
}

}  // namespace tarsk

extern "C" {

void dv_show_statistics(void) {
  const tarsk::EncodeStats s = tarsk::encode_statistics();
  tarsk::log(tarsk::LogLevel::info,
             "\n\nFinal statistics:\n"
             "========================================================\n\n"
             "  |CYCLES    |RUNS/CYCLE|QNOS     |CLASS    |VLC OVERF|DCT\n"
             "========================================================\n");
  tarsk::log(tarsk::LogLevel::info, "%2d: %8ld |%8ld  |%8ld |%8ld |%8ld |%8ld (DCT88)\n", 0,
             s.cycles_used[0], s.runs_used[0], s.qnos_used[0], s.classes_used[0], s.vlc_overflows,
             s.dct_used[0]);
  tarsk::log(tarsk::LogLevel::info, "%2d: %8ld |%8ld  |%8ld |%8ld |         |%8ld (DCT248)\n", 1,
             s.cycles_used[1], s.runs_used[1], s.qnos_used[1], s.classes_used[1], s.dct_used[1]);
  for (int i = 2; i < 4; ++i)
    tarsk::log(tarsk::LogLevel::info, "%2d: %8ld |%8ld  |%8ld |%8ld |         |\n", i,
               s.cycles_used[i], s.runs_used[i], s.qnos_used[i], s.classes_used[i]);
  // runs_used has 15 slots: its column shows 0 in the last row.
  for (int i = 4; i < 16; ++i)
    tarsk::log(tarsk::LogLevel::info, "%2d: %8ld |%8ld  |%8ld |         |         |\n", i,
               s.cycles_used[i], i < 15 ? s.runs_used[i] : 0L, s.qnos_used[i]);
}

}  // extern "C"
