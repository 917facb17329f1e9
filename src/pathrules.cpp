// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The one-scan matcher behind the rules, its vector filter, and the
// escaping of the paths for JSON.

#include "pathrules.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <type_traits>

// The tests build the rules again with DORVANE_NO_SSE2, so that the plain
// scan runs too.
#if defined(__SSE2__) && !defined(DORVANE_NO_SSE2)
#define DORVANE_SSE2
#include <emmintrin.h>
#endif

namespace {

struct RuleSet
{
    unsigned directoryRules = AllDirectoryRules;
    bool isReplyText = true;
};

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

// Every rule starts with "/usr/", "/opt/" or "/workspace", so a match can only
// start at a slash followed by 'u', 'o' or 'w'. Replies and databases run to
// hundreds of MB, and the filter sees every byte of them: it skips whole
// blocks with SSE2 and leaves the exact place to plain code.
qsizetype nextCandidate(const char *text, qsizetype from, qsizetype size)
{
    const char *const last = text + size - 1; // a match needs at least two characters
    const char *p = text + from;
#ifdef DORVANE_SSE2
    for (; last - p >= 16; p += 16) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
        const __m128i seconds = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(second, _mm_set1_epi8('u')),
                                                          _mm_cmpeq_epi8(second, _mm_set1_epi8('o'))),
                                             _mm_cmpeq_epi8(second, _mm_set1_epi8('w')));
        const __m128i slashes = _mm_cmpeq_epi8(first, _mm_set1_epi8('/'));
        if (const unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(slashes, seconds)))) {
            p += __builtin_ctz(mask);
            break;
        }
    }
#endif
    for (; p < last; ++p) {
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

// At each position at most one rule can match.
template <typename Char>
class PathScanner
{
public:
    PathScanner(const Char *text, qsizetype size, RuleSet rules) : text(text), size(size), rules(rules) { }

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

// Appends through a cursor of its own, so that a match costs a copy and no
// call into the container: the text is sized once for the likely output,
// grown when that is not enough, and cut to what was written.
template <typename Text, typename Char>
class Appender
{
public:
    Appender(Text &out, qsizetype likelyGrowth) : out(out), used(out.size()) { out.resize(used + likelyGrowth); }
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

template <typename Text, typename Char>
bool appendRewritten(Text &out, const Char *data, qsizetype size, RuleSet rules, std::basic_string_view<Char> sysroot,
                     std::basic_string_view<Char> workspace, RewriteCheck *check)
{
    const PathScanner<Char> scanner(data, size, rules);
    PathMatch match;
    if (!scanner.next(0, match)) {
        if (check)
            *check = RewriteCheck::NothingToRewrite;
        return false;
    }
    bool mayBeRewritten = check != nullptr;
    Appender<Text, Char> appender(out, size + size / 8 + 4 * qsizetype(sysroot.size() + workspace.size()));
    qsizetype done = 0;
    do {
        if constexpr (std::is_same_v<Char, char>) {
            mayBeRewritten = mayBeRewritten
                    && (touchesPath(data, size, match, sysroot) || touchesPath(data, size, match, workspace));
        }
        appender.append(data + done, match.begin - done);
        if (match.isWorkspace) {
            appender.append(workspace.data(), workspace.size());
        } else {
            appender.append(sysroot.data(), sysroot.size());
            appender.append(data + match.directoryBegin, match.end - match.directoryBegin);
        }
        done = match.end;
    } while (scanner.next(done, match));
    appender.append(data + done, size - done);
    if (check)
        *check = mayBeRewritten ? RewriteCheck::MayBeRewritten : RewriteCheck::NotRewritten;
    return true;
}

std::u16string_view view(const QString &text)
{
    return { reinterpret_cast<const char16_t *>(text.utf16()), size_t(text.size()) };
}

} // namespace

PathRules::PathRules(const MappingPaths &paths)
    : sysroot(paths.sysroot),
      workspace(paths.workspace),
      jsonSysroot(jsonEscaped(paths.sysroot)),
      jsonWorkspace(jsonEscaped(paths.workspace))
{
}

bool PathRules::appendMapped(QByteArray &out, QByteArrayView text, RewriteCheck *check) const
{
    return appendRewritten(out, text.data(), text.size(), RuleSet(), std::string_view(jsonSysroot),
                           std::string_view(jsonWorkspace), check);
}

QString PathRules::mapValue(const QString &value, unsigned directoryRules) const
{
    QString out;
    return appendRewritten(out, reinterpret_cast<const char16_t *>(value.utf16()), value.size(),
                           RuleSet { directoryRules, false }, view(sysroot), view(workspace), nullptr)
            ? out
            : value;
}

QByteArray jsonEscaped(const QString &text)
{
    static constexpr char hexDigits[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
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
