// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The path rules' one-scan rewrite, and the text it reads: the matcher, its
// vector scans, and the escaping of the paths for JSON.

#include "pathrules.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <type_traits>

// The tests build the mapper again with DORVANE_NO_AVX2, and with
// DORVANE_NO_SSE2 as well, so that every scan path runs on any machine.
#if defined(__SSE2__) && !defined(DORVANE_NO_SSE2)
#define DORVANE_SSE2
#include <emmintrin.h>
#if defined(__x86_64__) && defined(__GNUC__) && !defined(DORVANE_NO_AVX2)
#define DORVANE_AVX2_DISPATCH
#include <immintrin.h>
#endif
#endif

namespace {

struct PathMatch
{
    qsizetype begin = 0;
    qsizetype directoryBegin = 0; // where the kept system directory starts
    qsizetype end = 0;
    bool isWorkspace = false;
};

template <typename Char>
bool isWordCharacter(Char c)
{
    const auto u = static_cast<std::make_unsigned_t<Char>>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_';
}

// A large reply runs to hundreds of MB, and so does a database, and the two
// scans below see every byte of them:
// they skip whole blocks with vector instructions, AVX2 where the processor
// has it (chosen at run time), SSE2 otherwise, and leave the last few bytes,
// and the exact position within a block, to plain code.
#ifdef DORVANE_AVX2_DISPATCH
bool hasAvx2()
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

__attribute__((target("avx2"))) const char *skipToCandidateAvx2(const char *p, const char *last)
{
    for (; last - p >= 32; p += 32) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1));
        const __m256i seconds = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(second, _mm256_set1_epi8('u')),
                                                                _mm256_cmpeq_epi8(second, _mm256_set1_epi8('o'))),
                                                _mm256_cmpeq_epi8(second, _mm256_set1_epi8('w')));
        const __m256i slashes = _mm256_cmpeq_epi8(first, _mm256_set1_epi8('/'));
        if (const unsigned mask = unsigned(_mm256_movemask_epi8(_mm256_and_si256(slashes, seconds))))
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
        // Non-ASCII bytes and matched carriage returns both have the top bit set.
        if (_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(a, b), returns)))
            return p;
    }
    return p;
}
#endif

const char *skipToCandidate(const char *p, [[maybe_unused]] const char *last)
{
#ifdef DORVANE_AVX2_DISPATCH
    if (hasAvx2())
        return skipToCandidateAvx2(p, last);
#endif
#ifdef DORVANE_SSE2
    for (; last - p >= 16; p += 16) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
        const __m128i seconds = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(second, _mm_set1_epi8('u')),
                                                          _mm_cmpeq_epi8(second, _mm_set1_epi8('o'))),
                                             _mm_cmpeq_epi8(second, _mm_set1_epi8('w')));
        const __m128i slashes = _mm_cmpeq_epi8(first, _mm_set1_epi8('/'));
        if (const unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(slashes, seconds))))
            return p + __builtin_ctz(mask);
    }
#endif
    return p;
}

// Every rule starts with "/usr/", "/opt/" or "/workspace", so a match can only
// start at a slash followed by 'u', 'o' or 'w'.
qsizetype nextCandidate(const char *text, qsizetype from, qsizetype size)
{
    const char *const last = text + size - 1; // a match needs at least two characters
    for (const char *p = skipToCandidate(text + from, last); p < last; ++p) {
        if (*p == '/' && (p[1] == 'u' || p[1] == 'o' || p[1] == 'w'))
            return p - text;
    }
    return -1;
}

qsizetype nextCandidate(const char16_t *text, qsizetype from, qsizetype size)
{
    for (qsizetype p = from; p + 1 < size; ++p) {
        if (text[p] == u'/' && (text[p + 1] == u'u' || text[p + 1] == u'o' || text[p + 1] == u'w'))
            return p;
    }
    return -1;
}

// Finds the matches of one rule set in one left-to-right scan of the text as
// it was read. At each position at most one rule can match, and scanning goes
// on after a match, so inserted text is never looked at again. The rules match
// exactly what these patterns match, the workspace rule being the plain text
// "/workspace":
//   include  (/opt/cross/[^/]+/sys-root)?(/usr/(local/)?include\b)
//   library  (?:(?<!-specs=))(/opt/cross/[^/]+/sys-root)?(/usr/lib(64)?\b)  (reply text)
//            (/opt/cross/[^/]+/sys-root)?(/usr/lib\b)                      (cache entries)
//   share    (/opt/cross/[^/]+/sys-root)?(/usr/share\b)
// where \b counts only ASCII letters, digits and '_' as word characters.
template <typename Char>
class PathScanner
{
public:
    PathScanner(const Char *text, qsizetype size, RuleSet rules)
        : text(text), size(size), rules(rules)
    {
    }

    bool next(qsizetype from, PathMatch &match) const
    {
        for (qsizetype candidate = nextCandidate(text, from, size); candidate >= 0;
             candidate = nextCandidate(text, candidate + 1, size)) {
            if (matchAt(candidate, match))
                return true;
        }
        return false;
    }

private:
    template <qsizetype N>
    bool startsWith(qsizetype pos, const char (&literal)[N]) const
    {
        constexpr qsizetype length = N - 1;
        if (size - pos < length)
            return false;
        for (qsizetype i = 0; i < length; ++i) {
            if (text[pos + i] != Char(literal[i]))
                return false;
        }
        return true;
    }

    bool isBoundary(qsizetype pos) const { return pos == size || !isWordCharacter(text[pos]); }

    bool isEscaped(qsizetype pos) const
    {
        qsizetype backslashes = 0;
        while (pos - backslashes > 0 && text[pos - backslashes - 1] == Char('\\'))
            ++backslashes;
        return backslashes % 2 == 1;
    }

    // The end of a system directory starting at pos, or -1.
    qsizetype systemDirectoryEnd(qsizetype pos, unsigned &rule) const
    {
        if (!startsWith(pos, "/usr/"))
            return -1;
        const qsizetype name = pos + 5;
        qsizetype end = -1;
        if (startsWith(name, "include")) {
            rule = IncludeRule;
            end = name + 7;
        } else if (startsWith(name, "local/include")) {
            rule = IncludeRule;
            end = name + 13;
        } else if (startsWith(name, "share")) {
            rule = ShareRule;
            end = name + 5;
        } else if (startsWith(name, "lib")) {
            rule = LibraryRule;
            end = name + 3;
            if (rules.isReplyText && startsWith(end, "64") && isBoundary(end + 2))
                return end + 2;
        }
        return end >= 0 && isBoundary(end) ? end : -1;
    }

    bool matchAt(qsizetype pos, PathMatch &match) const
    {
        if (rules.isReplyText && isEscaped(pos))
            return false;
        if (text[pos + 1] == Char('w')) {
            if (!startsWith(pos, "/workspace"))
                return false;
            match = { pos, pos, pos + 10, true };
            return true;
        }
        qsizetype directoryBegin = pos;
        if (startsWith(pos, "/opt/cross/")) {
            // [^/]+ cannot give back characters to "/sys-root", so the root
            // either ends at the next slash or is not there at all.
            qsizetype nameEnd = pos + 11;
            while (nameEnd < size && text[nameEnd] != Char('/')) {
                if (rules.isReplyText && text[nameEnd] == Char('"') && !isEscaped(nameEnd))
                    return false;
                ++nameEnd;
            }
            if (nameEnd == pos + 11 || !startsWith(nameEnd, "/sys-root"))
                return false;
            directoryBegin = nameEnd + 9;
        }
        unsigned rule = 0;
        const qsizetype end = systemDirectoryEnd(directoryBegin, rule);
        if (end < 0 || !(rules.directoryRules & rule))
            return false;
        if (rule == LibraryRule && rules.isReplyText && pos >= 7 && startsWith(pos - 7, "-specs="))
            return false;
        match = { pos, directoryBegin, end, false };
        return true;
    }

    const Char *text;
    qsizetype size;
    RuleSet rules;
};

// Appends to a text through a cursor of its own, so that a match costs a
// copy and no call into the container: the text is sized once for the
// likely output, grown when that is not enough, and cut to what was written.
template <typename Text, typename Char>
class Appender
{
public:
    Appender(Text &out, qsizetype likelyGrowth) : out(out), used(out.size())
    {
        out.resize(used + likelyGrowth);
    }
    ~Appender() { out.resize(used); }

    void append(const Char *from, qsizetype length)
    {
        // An empty path may have no data at all, and memcpy takes no null pointer.
        if (length == 0)
            return;
        if (out.size() - used < length)
            out.resize(std::max(used + length, 2 * out.size()));
        std::memcpy(static_cast<void *>(out.data() + used), from, length * sizeof(Char));
        used += length;
    }

private:
    Text &out;
    qsizetype used;
};

// A rewrite copies the text between its matches and inserts the paths. A
// match found again in its output therefore overlaps an inserted path or
// starts right after one, where the kept system directory begins: text that
// was copied held no match to begin with, and the characters a match looks at
// around it (the boundary after it, a preceding "-specs=" or backslash) are
// the same or, next to an inserted path, only ever stop a match. The window
// searched is a few dozen bytes, too short for a search that builds tables.
bool touchesPath(const char *text, qsizetype size, const PathMatch &match, QByteArrayView path)
{
    if (path.isEmpty())
        return true; // an empty path occurs everywhere
    const qsizetype from = std::max<qsizetype>(0, match.begin - path.size());
    const qsizetype to = std::min(size, match.end - 1 + path.size());
    const std::string_view window(text + from, to - from);
    return window.find(std::string_view(path.data(), path.size())) != std::string_view::npos;
}

struct OutputCheck
{
    QByteArrayView sysroot;
    QByteArrayView workspace;
    RewriteCheck *result;
};

template <typename Text, typename Char>
bool appendRewrittenText(Text &out, const Char *data, qsizetype size, RuleSet rules, const Char *sysrootData,
                         qsizetype sysrootSize, const Char *workspaceData, qsizetype workspaceSize,
                         const OutputCheck *check = nullptr)
{
    const PathScanner<Char> scanner(data, size, rules);
    PathMatch match;
    if (!scanner.next(0, match)) {
        if (check)
            *check->result = RewriteCheck::NothingToRewrite;
        return false;
    }
    bool mayBeRewritten = check != nullptr;
    Appender<Text, Char> appender(out, size + size / 8 + 4 * (sysrootSize + workspaceSize));
    qsizetype done = 0;
    do {
        if constexpr (std::is_same_v<Char, char>) {
            mayBeRewritten = mayBeRewritten
                    && (touchesPath(data, size, match, check->sysroot) || touchesPath(data, size, match, check->workspace));
        }
        appender.append(data + done, match.begin - done);
        if (match.isWorkspace) {
            appender.append(workspaceData, workspaceSize);
        } else {
            appender.append(sysrootData, sysrootSize);
            appender.append(data + match.directoryBegin, match.end - match.directoryBegin);
        }
        done = match.end;
    } while (scanner.next(done, match));
    appender.append(data + done, size - done);
    if (check)
        *check->result = mayBeRewritten ? RewriteCheck::MayBeRewritten : RewriteCheck::NotRewritten;
    return true;
}

template <typename Char>
bool isMappedWithText(const Char *data, qsizetype size, RuleSet rules, const Char *sysroot, qsizetype sysrootSize,
                      const Char *workspace, qsizetype workspaceSize)
{
    const auto isAt = [&](qsizetype pos, const Char *path, qsizetype length) {
        return pos >= 0 && length > 0 && size - pos >= length && std::equal(path, path + length, data + pos);
    };
    const PathScanner<Char> scanner(data, size, rules);
    PathMatch match;
    for (qsizetype from = 0; scanner.next(from, match);) {
        if (isAt(match.begin, sysroot, sysrootSize))
            from = match.begin + sysrootSize;
        else if (isAt(match.begin, workspace, workspaceSize))
            from = match.begin + workspaceSize;
        else if (!match.isWorkspace && isAt(match.begin - sysrootSize, sysroot, sysrootSize))
            from = match.end;
        else
            return false;
    }
    return true;
}

// Whether the text holds only ASCII and no carriage return, as reply files
// nearly always do: then it needs neither the carriage returns dropped nor a
// check that it is UTF-8.
bool isPlainAscii(const char *text, qsizetype size)
{
    const char *p = text;
    const char *const end = text + size;
#ifdef DORVANE_AVX2_DISPATCH
    if (hasAvx2())
        p = skipPlainAsciiAvx2(p, end);
#endif
#ifdef DORVANE_SSE2
    for (; end - p >= 16; p += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
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
    char *const begin = content.data();
    char *const end = begin + content.size();
    char *out = static_cast<char *>(std::memchr(begin, '\r', end - begin));
    if (!out)
        return;
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

bool appendRewritten(QByteArray &out, QByteArrayView text, RuleSet rules, QByteArrayView sysroot,
                     QByteArrayView workspace, RewriteCheck *check)
{
    const OutputCheck outputCheck { sysroot, workspace, check };
    return appendRewrittenText(out, text.data(), text.size(), rules, sysroot.data(), sysroot.size(), workspace.data(),
                               workspace.size(), check ? &outputCheck : nullptr);
}

bool appendRewritten(QString &out, QStringView text, RuleSet rules, QStringView sysroot, QStringView workspace)
{
    return appendRewrittenText(out, text.utf16(), text.size(), rules, sysroot.utf16(), sysroot.size(),
                               workspace.utf16(), workspace.size());
}

bool isMappedWith(QByteArrayView text, RuleSet rules, QByteArrayView sysroot, QByteArrayView workspace)
{
    return isMappedWithText(text.data(), text.size(), rules, sysroot.data(), sysroot.size(), workspace.data(),
                            workspace.size());
}

bool isMappedWith(QStringView text, RuleSet rules, QStringView sysroot, QStringView workspace)
{
    return isMappedWithText(text.utf16(), text.size(), rules, sysroot.utf16(), sysroot.size(), workspace.utf16(),
                            workspace.size());
}

QByteArray rewriteReplyText(const QByteArray &text, const QString &sysroot, const QString &workspace)
{
    QByteArray out;
    return appendRewritten(out, text, RuleSet(), jsonEscaped(sysroot), jsonEscaped(workspace)) ? out : text;
}

QString rewriteString(const QString &text, RuleSet rules, const QString &sysroot, const QString &workspace)
{
    QString out;
    return appendRewritten(out, text, rules, sysroot, workspace) ? out : text;
}

QByteArray jsonEscaped(const QString &path)
{
    static constexpr char hexDigits[] = "0123456789abcdef";
    const QByteArray utf8 = path.toUtf8();
    QByteArray escaped;
    escaped.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '"': escaped += "\\\""; break;
        case '\\': escaped += "\\\\"; break;
        case '\b': escaped += "\\b"; break;
        case '\f': escaped += "\\f"; break;
        case '\n': escaped += "\\n"; break;
        case '\r': escaped += "\\r"; break;
        case '\t': escaped += "\\t"; break;
        default:
            if (uchar(c) < 0x20) {
                escaped += "\\u00";
                escaped += hexDigits[uchar(c) >> 4];
                escaped += hexDigits[uchar(c) & 0xf];
            } else {
                escaped += c;
            }
        }
    }
    return escaped;
}

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
