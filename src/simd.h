// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Which vector instructions the scans may use. The tests build them again
// with DORVANE_NO_AVX2, and DORVANE_NO_SSE2 as well, so that every path
// runs on any machine.

#ifndef SIMD_H
#define SIMD_H

#if defined(__SSE2__) && !defined(DORVANE_NO_SSE2)
#define DORVANE_SSE2
#include <emmintrin.h>
#if defined(__x86_64__) && defined(__GNUC__) && !defined(DORVANE_NO_AVX2)
#define DORVANE_AVX2
#include <immintrin.h>

// Whether this processor has AVX2, asked once.
inline bool hasAvx2()
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}
#endif
#endif

#endif // SIMD_H
