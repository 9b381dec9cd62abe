// What the AVX-512 source files share: the intrinsics and the target
// attribute of their functions. Include it inside an x86 guard. GCC 12's
// AVX-512 headers trip -W(maybe-)uninitialized in their own inline code (an
// undefined pass-through operand); the warnings are off for the rest of the
// including file, which holds only vector code.
#pragma once

#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#define PW_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))
