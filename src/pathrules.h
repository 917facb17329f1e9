// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The path rules: the system directories and the workspace root that a reply
// names, found in one left-to-right scan and rewritten to the host's paths.

#ifndef PATHRULES_H
#define PATHRULES_H

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayView>
#include <QtCore/QString>

// The paths a run maps with.
struct MappingPaths
{
    QString sysroot;
    QString workspace;

    friend bool operator==(const MappingPaths &a, const MappingPaths &b)
    {
        return a.sysroot == b.sysroot && a.workspace == b.workspace;
    }
};

enum DirectoryRule : unsigned {
    IncludeRule = 0x1,
    LibraryRule = 0x2,
    ShareRule = 0x4,
    AllDirectoryRules = IncludeRule | LibraryRule | ShareRule,
};

// How a reply text stands to the rules with the paths given.
enum class RewriteCheck {
    // Nothing matches: the rules leave the text as it is.
    NothingToRewrite,
    // A match stands apart from every occurrence of the paths, which no
    // rewrite with these paths leaves behind: the text is no output of one.
    NotRewritten,
    // Every match overlaps, or starts right after, an occurrence of one of
    // the paths: the text may be the output of a rewrite with these paths.
    MayBeRewritten,
};

// The rules match exactly what these patterns match, the workspace rule
// being the plain text "/workspace", scanning on after each match, so that
// text a rule inserted is never matched again:
//   include  (/opt/cross/[^/]+/sys-root)?(/usr/(local/)?include\b)
//   library  (?:(?<!-specs=))(/opt/cross/[^/]+/sys-root)?(/usr/lib(64)?\b)  (reply text)
//            (/opt/cross/[^/]+/sys-root)?(/usr/lib\b)                      (cache entries)
//   share    (/opt/cross/[^/]+/sys-root)?(/usr/share\b)
// where \b counts only ASCII letters, digits and '_' as word characters. A
// match is replaced by the sysroot path and the system directory, dropping
// any cross toolchain root, or by the workspace path.
class PathRules
{
public:
    explicit PathRules(const MappingPaths &paths);

    // Reply text is JSON: the paths are inserted JSON-escaped, a match never
    // starts at an escaped slash ("\/"), and a cross toolchain root never
    // runs past the end of a JSON string. Appends the mapped text to out;
    // where nothing matches, returns false and leaves out alone. check, when
    // given, is set to how the text stands to a rewrite with these paths,
    // found in the same scan.
    bool appendMapped(QByteArray &out, QByteArrayView text, RewriteCheck *check = nullptr) const;
    // A cache entry's value, decoded, with the directory rules given: the
    // library rule takes /usr/lib alone, with no "-specs=" exception.
    QString mapValue(const QString &value, unsigned directoryRules) const;

private:
    QString sysroot;
    QString workspace;
    QByteArray jsonSysroot;
    QByteArray jsonWorkspace;
};

// Text as the content of a JSON string, escaped the way Qt's JSON writer
// escapes strings.
QByteArray jsonEscaped(const QString &text);

#endif // PATHRULES_H
