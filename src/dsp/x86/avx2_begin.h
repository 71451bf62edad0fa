// Included after a kernel file's other headers: everything up to
// dsp/x86/avx2_end.h, shared templates included, is compiled for AVX2 and
// runs only where dsp_init found it. The headers before stay outside, so
// that no inline function of theirs is emitted with AVX2 instructions.
// (No include guard: each kernel file opens the region once.)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
