// The encoder's filter registries (video input, audio input, output):
// tables of records of operations and a name that callers may extend. The
// first record without a name ends a table, so its last record always
// stays empty: 31 filters at most.
#pragma once

#include "common/log.h"

namespace tarsk {

template <typename Filter>
class Registry {
 public:
  static constexpr int size = 32;

  // The built-in filters first.
  template <typename... Built>
  constexpr explicit Registry(Built... built_in) : table_{built_in...} {}

  // The table and its number of filters, as dv.h's getters hand them out.
  int get(Filter **table, int *count) {
    *table = table_;
    *count = this->count();
    return 0;
  }

  int count() const {
    int n = 0;
    while (n < size && table_[n].filter_name != nullptr) ++n;
    return n;
  }

  // Adds a filter whose every operation is given (`complete`); -1 with a
  // message naming the kind of registry otherwise, or when it is full.
  int add(const Filter &filter, bool complete, const char *kind) {
    if (filter.filter_name == nullptr || !complete) {
      log(LogLevel::error, "%s filter without a name or an operation: not registered\n", kind);
      return -1;
    }
    const int n = count();
    if (n >= size - 1) {
      log(LogLevel::error, "%s filter registry is full (%d filters): %s not registered\n", kind, n,
          filter.filter_name);
      return -1;
    }
    table_[n] = filter;
    table_[n + 1] = Filter{};
    return 0;
  }

 private:
  Filter table_[size];
};

}  // namespace tarsk
