// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// AVX2 where the processor has it, which bench/run-variants shows paying;
// elsewhere memchr for the slash, and a word at a time for ASCII, which do
// as well as SSE2 did. Decoded text, only ever a cache entry's value, is
// short and gets plain code alone.

#include "textscan.h"

#include <cstring>
#include <type_traits>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(DORVANE_NO_AVX2)
#define DORVANE_AVX2
#include <immintrin.h>
#endif

namespace {

#ifdef DORVANE_AVX2
bool hasAvx2()
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

// Past the 32-byte blocks that hold no slash one of seconds follows: the
// rules give three at least, and mappings more, kept in registers.
__attribute__((target("avx2"))) const char *skipSlashesAvx2(const char *p, const char *last, const std::string &seconds)
{
    const __m256i first = _mm256_set1_epi8(seconds[0]), second = _mm256_set1_epi8(seconds[1]),
                  third = _mm256_set1_epi8(seconds[2]), slash = _mm256_set1_epi8('/');
    __m256i more[16];
    for (std::size_t i = 3; i < seconds.size(); ++i)
        more[i] = _mm256_set1_epi8(seconds[i]);
    for (; last - p >= 32; p += 32) {
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1));
        __m256i matches = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(next, first), _mm256_cmpeq_epi8(next, second)),
                                          _mm256_cmpeq_epi8(next, third));
        for (std::size_t i = 3; i < seconds.size(); ++i)
            matches = _mm256_or_si256(matches, _mm256_cmpeq_epi8(next, more[i]));
        const __m256i slashes = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), slash);
        if (const unsigned mask = unsigned(_mm256_movemask_epi8(_mm256_and_si256(slashes, matches))))
            return p + __builtin_ctz(mask);
    }
    return p;
}

__attribute__((target("avx2"))) const char *skipPlainAsciiAvx2(const char *p, const char *end)
{
    const __m256i carriageReturn = _mm256_set1_epi8('\r');
    for (; end - p >= 64; p += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
        const __m256i returns = _mm256_or_si256(_mm256_cmpeq_epi8(a, carriageReturn), _mm256_cmpeq_epi8(b, carriageReturn));
        // Bytes past ASCII and matched carriage returns both have the top bit set.
        if (_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(a, b), returns)))
            return p;
    }
    return p;
}
#endif

} // namespace

template <typename Char>
void SlashFilter<Char>::addSecond(Char second)
{
    if (seconds.find(second) != std::basic_string<Char>::npos)
        return;
    seconds.push_back(second);
    if constexpr (std::is_same_v<Char, char>)
        isSecond[uchar(second)] = true;
}

template <>
qsizetype SlashFilter<char>::nextCandidate(const char *text, qsizetype from, qsizetype size) const
{
    const char *const last = text + size - 1; // a match needs at least two characters
    const char *p = text + from;
#ifdef DORVANE_AVX2
    // More characters than a block compares with are left to plain code.
    if (seconds.size() >= 3 && seconds.size() <= 16 && hasAvx2())
        p = skipSlashesAvx2(p, last, seconds);
#endif
    while (p < last && (p = static_cast<const char *>(std::memchr(p, '/', last - p)))) {
        if (isSecond[uchar(p[1])])
            return p - text;
        ++p;
    }
    return -1;
}

template <>
qsizetype SlashFilter<char16_t>::nextCandidate(const char16_t *text, qsizetype from, qsizetype size) const
{
    for (qsizetype p = from; p + 1 < size; ++p) {
        if (text[p] == u'/' && seconds.find(text[p + 1]) != std::u16string::npos)
            return p;
    }
    return -1;
}

template class SlashFilter<char>;
template class SlashFilter<char16_t>;

bool isPlainAscii(const char *text, qsizetype size)
{
    const char *p = text;
    const char *const end = text + size;
#ifdef DORVANE_AVX2
    if (hasAvx2())
        p = skipPlainAsciiAvx2(p, end);
#endif
    constexpr quint64 ones = 0x0101010101010101, highBits = 0x8080808080808080;
    for (; end - p >= 8; p += 8) {
        quint64 word;
        std::memcpy(&word, p, sizeof word);
        // A byte of word ^ "\r\r\r..." is zero where a carriage return was.
        const quint64 returns = word ^ (ones * '\r');
        if ((word | ((returns - ones) & ~returns)) & highBits)
            break;
    }
    for (; p < end; ++p) {
        if (uchar(*p) >= 0x80 || *p == '\r')
            return false;
    }
    return true;
}
