// Spells out the entries of a constant std::array as an initializer list,
// so that tables the C API exports as plain arrays are filled at compile
// time from values computed by constexpr functions.
#pragma once

#define TARSK_4(t, i) t[(i)], t[(i) + 1], t[(i) + 2], t[(i) + 3]
#define TARSK_16(t, i) TARSK_4(t, i), TARSK_4(t, (i) + 4), TARSK_4(t, (i) + 8), TARSK_4(t, (i) + 12)
#define TARSK_32(t, i) TARSK_16(t, i), TARSK_16(t, (i) + 16)
#define TARSK_64(t, i) TARSK_32(t, i), TARSK_32(t, (i) + 32)
#define TARSK_128(t, i) TARSK_64(t, i), TARSK_64(t, (i) + 64)
#define TARSK_256(t, i) TARSK_128(t, i), TARSK_128(t, (i) + 128)
