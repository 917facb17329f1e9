// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The one-scan matcher behind the rules, and the escaping of the paths for
// JSON.

#include "pathrules.h"

#include "textscan.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view FLAGS[] = { "-I", "-L", "-F", "-B", "-isystem", "-iquote", "-idirafter", "-isysroot",
                                       "-include", "-imacros" };
constexpr std::pair<std::string_view, unsigned> SYSTEM_DIRECTORIES[] = {
    { "include", IncludeRule }, { "local/include", IncludeRule }, { "share", ShareRule }, { "lib", LibraryRule } };

template <typename Char>
using Text = std::basic_string<Char>;

template <typename Char>
bool isWordCharacter(Char c)
{
    const auto u = static_cast<std::make_unsigned_t<Char>>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_';
}

template <typename Char>
bool isSeparator(Char c)
{
    return c == '"' || c == ' ' || c == '\t' || c == ';' || c == ':' || c == ',' || c == '=' || c == '@';
}

Text<char> encode(const QString &path, char, bool isJson)
{
    return (isJson ? jsonEscaped(path) : path.toUtf8()).toStdString();
}

Text<char16_t> encode(const QString &path, char16_t, bool)
{
    return Text<char16_t>(reinterpret_cast<const char16_t *>(path.utf16()), size_t(path.size()));
}

struct PathMatch
{
    qsizetype begin = 0;
    // The text from here to the end is kept after the inserted path: a
    // system directory, or the rest of a mapped path.
    qsizetype keptBegin = 0;
    qsizetype end = 0;
    const void *inserted = nullptr;
    bool isMapping = false;
};

} // namespace

// The paths as inserted into one kind of text, and what a match can start with.
template <typename Char>
struct PathRules::Encoded
{
    enum Kind {
        Json,
        // A cache entry's value: no /usr/lib64, no "-specs=" exception.
        Decoded,
        // Lines of text, each mapped as a text of its own.
        PlainLines,
    };

    Encoded(const MappingPaths &paths, Kind kind)
        : isJson(kind == Json), hasReplyTextRules(kind != Decoded), isLines(kind == PlainLines)
    {
        sysroot = encode(paths.sysroot, Char(), isJson);
        workspace = encode(paths.workspace, Char(), isJson);
        for (const PathMapping &mapping : paths.mappings) {
            // A CONTAINER that holds a newline would run across a line's end.
            if (isLines && mapping.container.contains(u'\n'))
                continue;
            const Text<Char> host = encode(mapping.host, Char(), isJson);
            mappings.push_back({ encode(mapping.container, Char(), isJson), host });
            // CMake writes reply objects in ASCII: a CONTAINER with other
            // characters stands there as jsonEscapedAscii() gives it.
            if constexpr (std::is_same_v<Char, char>) {
                if (!isJson)
                    continue;
                Text<char> ascii = jsonEscapedAscii(mapping.container).toStdString();
                if (ascii != mappings.back().first)
                    mappings.push_back({ std::move(ascii), host });
            }
        }
        std::stable_sort(mappings.begin(), mappings.end(),
                         [](const auto &a, const auto &b) { return a.first.size() > b.first.size(); });
        // Every fixed rule starts with "/usr/", "/opt/" or "/workspace", and
        // a mapping with its CONTAINER.
        for (const Char second : Text<Char> { 'u', 'o', 'w' })
            starts.addSecond(second);
        for (const auto &mapping : mappings)
            starts.addSecond(mapping.first.size() > 1 ? mapping.first[1] : Char('/'));
    }

    const bool isJson;
    const bool hasReplyTextRules;
    const bool isLines;
    Text<Char> sysroot;
    Text<Char> workspace;
    // Longest CONTAINER first, each with its HOST.
    std::vector<std::pair<Text<Char>, Text<Char>>> mappings;
    SlashFilter<Char> starts;
};

namespace {

template <typename Char>
class PathScanner
{
public:
    PathScanner(const Char *text, qsizetype size, const PathRules::Encoded<Char> &paths, unsigned directoryRules)
        : text(text), size(size), paths(paths), directoryRules(directoryRules)
    {
    }

    bool nextMatch(qsizetype from, PathMatch &match) const
    {
        for (qsizetype candidate = paths.starts.nextCandidate(text, from, size); candidate >= 0;
             candidate = paths.starts.nextCandidate(text, candidate + 1, size)) {
            if ((!paths.mappings.empty() && matchMapping(candidate, match)) || matchFixedRule(candidate, match))
                return true;
        }
        return false;
    }

private:
    template <typename Literal>
    bool isAt(qsizetype pos, const Literal &literal) const
    {
        const qsizetype length = qsizetype(std::size(literal)) - std::is_array_v<Literal>;
        if (pos < 0 || size - pos < length)
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

    // In reply text an escaped tab separates too, and an escaped quote is a quote.
    // A quote escaped for a shell, as compile commands hold one, is a
    // separator too: \" in a decoded value, \\\" in JSON text.
    bool isSeparatorAt(qsizetype pos) const
    {
        if (text[pos] != Char('\\'))
            return isSeparator(text[pos]) || (paths.isLines && text[pos] == Char('\n'));
        return isAt(pos + 1, "\"") || (paths.isJson && (isAt(pos + 1, "t") || isAt(pos + 1, "\\\\\"")));
    }

    bool isAfterSeparator(qsizetype pos) const
    {
        return pos == 0 || isSeparator(text[pos - 1]) || (paths.isLines && text[pos - 1] == Char('\n'))
                || (paths.isJson && text[pos - 1] == Char('t') && isEscaped(pos - 1));
    }

    // Back over flags that stand one right after the other: a text may
    // hold any number of them, so this is a loop. No two flags end alike.
    bool isPathStart(qsizetype pos) const
    {
        while (!isAfterSeparator(pos)) {
            const auto flag = std::find_if(std::begin(FLAGS), std::end(FLAGS),
                                           [&](std::string_view f) { return isAt(pos - qsizetype(f.size()), f); });
            if (flag == std::end(FLAGS))
                return false;
            pos -= qsizetype(flag->size());
        }
        return true;
    }

    bool matchMapping(qsizetype pos, PathMatch &match) const
    {
        for (const auto &[container, host] : paths.mappings) {
            qsizetype end = pos + qsizetype(container.size());
            if (!isAt(pos, container) || (end < size && text[end] != Char('/') && !isSeparatorAt(end)))
                continue;
            if (!isPathStart(pos))
                return false;
            const qsizetype keptBegin = end;
            while (end < size && !isSeparatorAt(end))
                end += paths.isJson && text[end] == Char('\\') ? 2 : 1;
            match = { pos, keptBegin, std::min(end, size), &host, true };
            return true;
        }
        return false;
    }

    // The end of a system directory starting at pos, or -1.
    qsizetype systemDirectoryEnd(qsizetype pos, unsigned &rule) const
    {
        if (!isAt(pos, "/usr/"))
            return -1;
        const qsizetype name = pos + 5;
        for (const auto &[directory, directoryRule] : SYSTEM_DIRECTORIES) {
            if (!isAt(name, directory))
                continue;
            rule = directoryRule;
            const qsizetype end = name + qsizetype(directory.size());
            if (rule == LibraryRule && paths.hasReplyTextRules && isAt(end, "64") && isBoundary(end + 2))
                return end + 2;
            return isBoundary(end) ? end : -1;
        }
        return -1;
    }

    bool matchFixedRule(qsizetype pos, PathMatch &match) const
    {
        if (paths.isJson && isEscaped(pos))
            return false;
        if (isAt(pos, "/workspace")) {
            match = { pos, pos + 10, pos + 10, &paths.workspace, false };
            return true;
        }
        qsizetype directoryBegin = pos;
        if (isAt(pos, "/opt/cross/")) {
            // [^/]+ cannot give back characters to "/sys-root", so the root
            // either ends at the next slash or is not there at all.
            qsizetype nameEnd = pos + 11;
            while (nameEnd < size && text[nameEnd] != Char('/')) {
                if ((paths.isJson && text[nameEnd] == Char('"') && !isEscaped(nameEnd))
                    || (paths.isLines && text[nameEnd] == Char('\n')))
                    return false;
                ++nameEnd;
            }
            // Where a mapping matches, no fixed rule does.
            PathMatch mapping;
            if (nameEnd == pos + 11 || !isAt(nameEnd, "/sys-root")
                || (!paths.mappings.empty() && matchMapping(nameEnd, mapping)))
                return false;
            directoryBegin = nameEnd + 9;
        }
        unsigned rule = 0;
        const qsizetype end = systemDirectoryEnd(directoryBegin, rule);
        if (end < 0 || !(directoryRules & rule))
            return false;
        if (rule == LibraryRule && paths.hasReplyTextRules && isAt(pos - 7, "-specs="))
            return false;
        match = { pos, directoryBegin, end, &paths.sysroot, false };
        return true;
    }

    const Char *text;
    qsizetype size;
    const PathRules::Encoded<Char> &paths;
    unsigned directoryRules;
};

// Appends through a cursor of its own, so that a match costs a copy and no
// call into the container: the text is sized once for the likely output,
// grown when that is not enough, and cut to what was written.
template <typename Out, typename Char>
class Appender
{
public:
    Appender(Out &out, qsizetype likelyGrowth) : out(out), used(out.size()) { out.resize(used + likelyGrowth); }
    ~Appender() { out.resize(used); }

    void copy(const Char *from, qsizetype length)
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
    Out &out;
    qsizetype used;
};

// A rewrite copies the text between its matches and inserts paths. A match
// found again in its output therefore overlaps an inserted path or starts
// right after one, or lies in the rest of a mapped path, which is copied
// without a look: text that was copied held no match to begin with, and the
// characters a match looks at around it are the same or, next to an
// inserted path, only ever stop a match. The window searched is a few dozen
// bytes, too short for a search that builds tables. The rest of a mapped
// path is not: matches come left to right, so the start of the path a
// match is in, and how far each HOST was looked for from there, carry over
// to the next, and a long text with no separator is looked at once.
class OutputCheck
{
public:
    OutputCheck(const char *text, qsizetype size, const PathRules::Encoded<char> &paths)
        : text(text), size(size), paths(paths), searchedTo(paths.mappings.size(), -1)
    {
    }

    bool mayBeOutput(const PathMatch &match)
    {
        const qsizetype previousStart = pathStart;
        for (; !paths.mappings.empty() && scanned < match.begin; ++scanned) {
            if (isSeparator(text[scanned]))
                pathStart = scanned + 1;
        }
        if (pathStart != previousStart) {
            isHostFound = false;
            std::fill(searchedTo.begin(), searchedTo.end(), -1);
        }
        // Each match looks around itself for the two paths afresh.
        qsizetype sysrootSearched = -1;
        qsizetype workspaceSearched = -1;
        if (touches(match.begin, match, paths.sysroot, sysrootSearched)
            || touches(match.begin, match, paths.workspace, workspaceSearched))
            return true;
        for (std::size_t i = 0; i < paths.mappings.size() && !isHostFound; ++i)
            isHostFound = touches(pathStart, match, paths.mappings[i].second, searchedTo[i]);
        return isHostFound;
    }

private:
    // Whether path occurs in the window around a match, from before from;
    // text before searchedTo is known not to hold it, and is moved on.
    bool touches(qsizetype from, const PathMatch &match, std::string_view path, qsizetype &searchedTo) const
    {
        if (path.empty())
            return true; // an empty path occurs everywhere
        const qsizetype length = qsizetype(path.size());
        from = std::max<qsizetype>({ 0, from - length, searchedTo - length + 1 });
        const qsizetype to = std::min(size, (match.isMapping ? match.keptBegin : match.end) - 1 + length);
        searchedTo = std::max(to, searchedTo);
        return from < to && std::string_view(text + from, to - from).find(path) != std::string_view::npos;
    }

    const char *text;
    qsizetype size;
    const PathRules::Encoded<char> &paths;
    qsizetype pathStart = 0;
    qsizetype scanned = 0;
    bool isHostFound = false;
    std::vector<qsizetype> searchedTo;
};

template <typename Out, typename Char>
bool appendRewritten(Out &out, const Char *data, qsizetype size, const PathRules::Encoded<Char> &paths,
                     unsigned directoryRules, RewriteCheck *check)
{
    const PathScanner<Char> scanner(data, size, paths, directoryRules);
    PathMatch match;
    if (!scanner.nextMatch(0, match)) {
        if (check)
            *check = RewriteCheck::NothingToRewrite;
        return false;
    }
    bool mayBeRewritten = check != nullptr;
    std::optional<OutputCheck> outputCheck;
    if constexpr (std::is_same_v<Char, char>) {
        if (check)
            outputCheck.emplace(data, size, paths);
    }
    Appender<Out, Char> appender(out, size + size / 8 + 4 * qsizetype(paths.sysroot.size() + paths.workspace.size()));
    qsizetype done = 0;
    do {
        if constexpr (std::is_same_v<Char, char>)
            mayBeRewritten = mayBeRewritten && outputCheck->mayBeOutput(match);
        const Text<Char> &inserted = *static_cast<const Text<Char> *>(match.inserted);
        appender.copy(data + done, match.begin - done);
        appender.copy(inserted.data(), inserted.size());
        appender.copy(data + match.keptBegin, match.end - match.keptBegin);
        done = match.end;
    } while (scanner.nextMatch(done, match));
    appender.copy(data + done, size - done);
    if (check)
        *check = mayBeRewritten ? RewriteCheck::MayBeRewritten : RewriteCheck::NotRewritten;
    return true;
}

} // namespace

PathRules::PathRules(const MappingPaths &paths)
    : json(std::make_shared<Encoded<char>>(paths, Encoded<char>::Json)),
      plain(std::make_shared<Encoded<char>>(paths, Encoded<char>::PlainLines)),
      decoded(std::make_shared<Encoded<char16_t>>(paths, Encoded<char16_t>::Decoded))
{
}

bool PathRules::appendMapped(QByteArray &out, QByteArrayView text, RewriteCheck *check) const
{
    return appendRewritten(out, text.data(), text.size(), *json, AllDirectoryRules, check);
}

bool PathRules::appendMappedLines(QByteArray &out, QByteArrayView text) const
{
    return appendRewritten(out, text.data(), text.size(), *plain, AllDirectoryRules, nullptr);
}

QString PathRules::mapValue(const QString &value, unsigned directoryRules) const
{
    QString out;
    return appendRewritten(out, reinterpret_cast<const char16_t *>(value.utf16()), value.size(), *decoded,
                           directoryRules, nullptr)
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

QByteArray jsonEscapedAscii(const QString &text)
{
    QByteArray escaped;
    for (const QChar c : text) {
        escaped += c.unicode() < 0x80 ? jsonEscaped(QString(c))
                                      : "\\u" + QByteArray::number(c.unicode(), 16).rightJustified(4, '0');
    }
    return escaped;
}
