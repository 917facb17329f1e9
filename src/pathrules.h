// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The path rules: the system directories, the workspace root and the
// mappings a reply names, found in one left-to-right scan and rewritten to
// the host's paths.

#ifndef PATHRULES_H
#define PATHRULES_H

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QString>

#include <memory>

struct PathMapping
{
    QString container;
    QString host;

    friend bool operator==(const PathMapping &a, const PathMapping &b)
    {
        return a.container == b.container && a.host == b.host;
    }
};

// The paths a run maps with; the mappings sorted by container.
struct MappingPaths
{
    QString sysroot;
    QString workspace;
    QList<PathMapping> mappings = {};

    friend bool operator==(const MappingPaths &a, const MappingPaths &b)
    {
        return a.sysroot == b.sysroot && a.workspace == b.workspace && a.mappings == b.mappings;
    }
};

enum DirectoryRule : unsigned {
    IncludeRule = 0x1,
    LibraryRule = 0x2,
    ShareRule = 0x4,
    AllDirectoryRules = IncludeRule | LibraryRule | ShareRule,
};

// How a text stands to a rewrite with the paths given.
enum class RewriteCheck {
    NothingToRewrite,
    // A match stands apart from every path these paths insert, which their
    // rewrite leaves nowhere: the text is no output of one.
    NotRewritten,
    // Every match overlaps, or starts right after, a path these paths
    // insert: the text may be the output of a rewrite with them.
    MayBeRewritten,
};

// The fixed rules match exactly what these patterns match, the workspace
// rule being the plain text "/workspace":
//   include  (/opt/cross/[^/]+/sys-root)?(/usr/(local/)?include\b)
//   library  (?:(?<!-specs=))(/opt/cross/[^/]+/sys-root)?(/usr/lib(64)?\b)  (reply text)
//            (/opt/cross/[^/]+/sys-root)?(/usr/lib\b)                      (cache entries)
//   share    (/opt/cross/[^/]+/sys-root)?(/usr/share\b)
// where \b counts only ASCII letters, digits and '_' as word characters. A
// match is replaced by the sysroot path and the system directory, dropping
// any cross toolchain root, or by the workspace path.
//
// A mapping's CONTAINER matches where a path starts: at the start of the
// text, after a double quote (escaped or not), a space, a tab, ';', ':',
// ',', '=' or '@', or right after one of the flags -I -L -F -B -isystem
// -iquote -idirafter -isysroot -include -imacros that itself stands where a
// path starts; and only where the text there is CONTAINER followed by '/',
// the end, or one of those separators. The longest such CONTAINER is
// replaced by its HOST, and the rest of that path, up to the next separator,
// is left as it is. The fixed rules apply only where no mapping matches.
//
// The scan goes on after each match, so that text a rule inserted is never
// matched again.
class PathRules
{
public:
    explicit PathRules(const MappingPaths &paths);

    // Reply text is JSON: it is compared, and the paths are inserted,
    // JSON-escaped; a fixed rule never starts at an escaped slash ("\/"),
    // and a cross toolchain root never runs past the end of a JSON string.
    // Appends the mapped text to out; where nothing matches, returns false
    // and leaves out alone. check, when given, says how the text stands to a
    // rewrite with these paths, found in the same scan.
    bool appendMapped(QByteArray &out, QByteArrayView text, RewriteCheck *check = nullptr) const;
    // Plain text, by the reply-text rules: compared and inserted as it is,
    // with no JSON escapes. Each line is mapped as a text of its own: a
    // line's start starts a path, and a newline ends one, as the text's end
    // does, so that no match runs across it.
    bool appendMappedLines(QByteArray &out, QByteArrayView text) const;
    // A cache entry's value, decoded, with the directory rules given: the
    // library rule takes /usr/lib alone, with no "-specs=" exception.
    QString mapValue(const QString &value, unsigned directoryRules) const;

    // The paths as inserted into one kind of text.
    template <typename Char>
    struct Encoded;

private:
    std::shared_ptr<const Encoded<char>> json;
    std::shared_ptr<const Encoded<char>> plain;
    std::shared_ptr<const Encoded<char16_t>> decoded;
};

// Text as the content of a JSON string, escaped as Qt's JSON writer does;
// and in ASCII, each character past it a \uXXXX of UTF-16, as CMake writes.
QByteArray jsonEscaped(const QString &text);
QByteArray jsonEscapedAscii(const QString &text);

#endif // PATHRULES_H
