// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Replies and databases run to hundreds of MB, and the filter sees every
// byte of them: it skips whole blocks with AVX2 where the processor has it,
// then SSE2, and leaves the exact place to plain code. Decoded text, only
// ever a cache entry's value, is short and gets plain code alone.

#include "slashfilter.h"

#include <type_traits>

template <typename Char>
void SlashFilter<Char>::add(Char second)
{
    if (seconds.find(second) != std::basic_string<Char>::npos)
        return;
    seconds.push_back(second);
    if constexpr (std::is_same_v<Char, char>) {
        isSecond[uchar(second)] = true;
#ifdef DORVANE_SSE2
        // More than a block's worth of characters is left to plain code.
        wantedCount = seconds.size() <= std::size(wanted) ? int(seconds.size()) : 0;
        if (wantedCount)
            wanted[wantedCount - 1] = _mm_set1_epi8(second);
#endif
    }
}

#ifdef DORVANE_AVX2
template <typename Char>
__attribute__((target("avx2"))) const char *SlashFilter<Char>::skipAvx2(const char *p, const char *last) const
{
    const __m256i first = _mm256_broadcastsi128_si256(wanted[0]);
    const __m256i second = _mm256_broadcastsi128_si256(wanted[1]);
    const __m256i third = _mm256_broadcastsi128_si256(wanted[2]);
    for (; last - p >= 32; p += 32) {
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1));
        __m256i matches = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(next, first), _mm256_cmpeq_epi8(next, second)),
                                          _mm256_cmpeq_epi8(next, third));
        for (int i = 3; i < wantedCount; ++i)
            matches = _mm256_or_si256(matches, _mm256_cmpeq_epi8(next, _mm256_broadcastsi128_si256(wanted[i])));
        const __m256i slashes = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), _mm256_set1_epi8('/'));
        if (const unsigned mask = unsigned(_mm256_movemask_epi8(_mm256_and_si256(slashes, matches))))
            return p + __builtin_ctz(mask);
    }
    return p;
}
#endif

template <>
qsizetype SlashFilter<char>::next(const char *text, qsizetype from, qsizetype size) const
{
    const char *const last = text + size - 1; // a match needs at least two characters
    const char *p = text + from;
#ifdef DORVANE_SSE2
    // The blocks compare with three characters at least, as the rules always
    // add. What AVX2 leaves is shorter than its block, and goes to plain
    // code: SSE2 would only look again at a candidate AVX2 found.
    bool isBlockScan = wantedCount >= 3;
#ifdef DORVANE_AVX2
    if (isBlockScan && hasAvx2()) {
        p = skipAvx2(p, last);
        isBlockScan = false;
    }
#endif
    for (; isBlockScan && last - p >= 16; p += 16) {
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
        __m128i matches = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(next, wanted[0]), _mm_cmpeq_epi8(next, wanted[1])),
                                       _mm_cmpeq_epi8(next, wanted[2]));
        for (int i = 3; i < wantedCount; ++i)
            matches = _mm_or_si128(matches, _mm_cmpeq_epi8(next, wanted[i]));
        const __m128i slashes = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), _mm_set1_epi8('/'));
        if (const unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(slashes, matches)))) {
            p += __builtin_ctz(mask);
            break;
        }
    }
#endif
    for (; p < last; ++p) {
        if (*p == '/' && isSecond[uchar(p[1])])
            return p - text;
    }
    return -1;
}

template <>
qsizetype SlashFilter<char16_t>::next(const char16_t *text, qsizetype from, qsizetype size) const
{
    for (qsizetype p = from; p + 1 < size; ++p) {
        if (text[p] == u'/' && seconds.find(text[p + 1]) != std::u16string::npos)
            return p;
    }
    return -1;
}

template class SlashFilter<char>;
template class SlashFilter<char16_t>;
