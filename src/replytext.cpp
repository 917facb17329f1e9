// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Normalising reply text, where the database is cut, and which rules map
// which reply file.

#include "replytext.h"

#include "cachereply.h"
#include "simd.h"

#include <cstring>

namespace {

#ifdef DORVANE_AVX2
__attribute__((target("avx2"))) const char *skipPlainAsciiAvx2(const char *p, const char *end)
{
    const __m256i carriageReturn = _mm256_set1_epi8('\r');
    for (; end - p >= 64; p += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
        const __m256i returns = _mm256_or_si256(_mm256_cmpeq_epi8(a, carriageReturn), _mm256_cmpeq_epi8(b, carriageReturn));
        if (_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(a, b), returns)))
            return p;
    }
    return p;
}
#endif

// Whether the text holds only ASCII and no carriage return, as reply files
// nearly always do: then it needs neither the carriage returns dropped nor a
// check that it is UTF-8.
bool isPlainAscii(const char *text, qsizetype size)
{
    const char *p = text;
    const char *const end = text + size;
#ifdef DORVANE_AVX2
    if (hasAvx2())
        p = skipPlainAsciiAvx2(p, end);
#endif
#ifdef DORVANE_SSE2
    for (; end - p >= 16; p += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        // Non-ASCII bytes and matched carriage returns both have the top bit set.
        if (_mm_movemask_epi8(_mm_or_si128(block, _mm_cmpeq_epi8(block, _mm_set1_epi8('\r')))))
            break;
    }
#endif
    for (; p < end; ++p) {
        if (uchar(*p) >= 0x80 || *p == '\r')
            return false;
    }
    return true;
}

void removeCarriageReturns(QByteArray &content)
{
    // Only a text with one is detached from the buffers that share it.
    const char *const found = static_cast<const char *>(std::memchr(content.constData(), '\r', content.size()));
    if (!found)
        return;
    const qsizetype first = found - content.constData();
    char *const begin = content.data();
    char *const end = begin + content.size();
    char *out = begin + first;
    for (char *in = out + 1; in < end;) {
        char *next = static_cast<char *>(std::memchr(in, '\r', end - in));
        if (!next)
            next = end;
        std::memmove(out, in, next - in);
        out += next - in;
        in = next + 1;
    }
    content.truncate(out - begin);
}

} // namespace

bool normalizeReplyText(QByteArray &content, unsigned &dropped, bool isFileStart)
{
    dropped = 0;
    if (isPlainAscii(content.constData(), content.size()))
        return true;
    const qsizetype size = content.size();
    removeCarriageReturns(content);
    if (content.size() != size)
        dropped |= DroppedCarriageReturns;
    if (!QByteArrayView(content).isValidUtf8())
        return false;
    if (isFileStart && content.startsWith("\xEF\xBB\xBF")) {
        content.remove(0, 3);
        dropped |= DroppedByteOrderMark;
    }
    return true;
}

// Counted on the bytes as read: the carriage returns that the rules never
// see do not part a backslash from the quote it escapes.
qsizetype replyTextCutPoint(QByteArrayView text)
{
    for (qsizetype quote = text.lastIndexOf('"'); quote >= 0; quote = text.first(quote).lastIndexOf('"')) {
        qsizetype backslashes = 0;
        for (qsizetype p = quote - 1; p >= 0 && (text[p] == '\\' || text[p] == '\r'); --p)
            backslashes += text[p] == '\\';
        if (backslashes % 2 == 0)
            return quote + 1;
    }
    return 0;
}

TextMapping mapReplyText(const PathRules &rules, const QByteArray &name, const QByteArray &text, QByteArray &out,
                         RewriteCheck *check)
{
    out.resize(0);
    if (!name.startsWith("cache-"))
        return rules.appendMapped(out, text, check) ? TextMapping::Mapped : TextMapping::Unchanged;
    if (check)
        *check = RewriteCheck::MayBeRewritten;
    out = text;
    if (!mapCacheReply(out, rules))
        return TextMapping::NotCacheReply;
    return out.constData() == text.constData() ? TextMapping::Unchanged : TextMapping::Mapped;
}
