// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The path rules: the system directories and the workspace root that a reply
// names, found in one left-to-right scan and rewritten to the host's paths.

#ifndef PATHRULES_H
#define PATHRULES_H

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayView>
#include <QtCore/QString>
#include <QtCore/QStringView>

enum DirectoryRule : unsigned {
    IncludeRule = 0x1,
    LibraryRule = 0x2,
    ShareRule = 0x4,
    AllDirectoryRules = IncludeRule | LibraryRule | ShareRule,
};

struct RuleSet
{
    // The directory rules that take part; the workspace rule always does.
    unsigned directoryRules = AllDirectoryRules;
    // The reply-text set. Its library rule also takes /usr/lib64 and never
    // starts right after "-specs=", so that specs files stay where they are.
    // Its text is JSON, so a match never starts at an escaped slash ("\/") and
    // a cross toolchain root never runs past the end of a JSON string.
    // The cache-entry set has neither.
    bool isReplyText = true;
};

// How a reply text stands to the reply-text rules with two given paths.
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

// Appends the text to out with every match replaced by the sysroot path and
// the matched system directory (dropping any cross toolchain root), or by the
// workspace path. The paths are inserted as given. When nothing matches,
// returns false and leaves out alone, so that the caller can use the text as
// it is. For reply text, check, when given, is set to how the text stands to
// a rewrite with these paths, found in the same scan.
bool appendRewritten(QByteArray &out, QByteArrayView text, RuleSet rules, QByteArrayView sysroot,
                     QByteArrayView workspace, RewriteCheck *check = nullptr);
bool appendRewritten(QString &out, QStringView text, RuleSet rules, QStringView sysroot, QStringView workspace);

// Whether every match of the rules in a text is one that a mapping with these
// paths leaves: a system directory right after the sysroot path, or a match
// that starts where an inserted path does. An empty sysroot path leaves
// nothing to tell by. For a note that named no paths.
bool isMappedWith(QByteArrayView text, RuleSet rules, QByteArrayView sysroot, QByteArrayView workspace);
bool isMappedWith(QStringView text, RuleSet rules, QStringView sysroot, QStringView workspace);

// The reply-text rules applied to one UTF-8 JSON text, with the paths
// inserted JSON-escaped, so that valid JSON stays valid.
QByteArray rewriteReplyText(const QByteArray &text, const QString &sysroot, const QString &workspace);

// The rules of the set applied to one string, the paths inserted as given.
QString rewriteString(const QString &text, RuleSet rules, const QString &sysroot, const QString &workspace);

// A path as the content of a JSON string, escaped the way Qt's JSON writer
// escapes strings.
QByteArray jsonEscaped(const QString &path);

enum DroppedBytes : unsigned {
    DroppedCarriageReturns = 0x1,
    DroppedByteOrderMark = 0x2,
};

// Turns the bytes of a reply file into the text the rules read, as the reply
// has always been read: carriage returns and a leading UTF-8 byte-order mark
// dropped, and says in dropped which of them there were. Returns false when
// the bytes are not UTF-8: decoding them would write replacement characters
// back in their place. For a piece of a file, only the first piece has a
// byte-order mark to drop.
bool normalizeReplyText(QByteArray &content, unsigned &dropped, bool isFileStart = true);

// Where reply text may be cut so that the reply-text rules map each piece
// exactly as they map the whole: right after the last double quote that is
// no escape, which no match and nothing a match looks at reaches across.
// 0 when the text holds none.
qsizetype replyTextCutPoint(QByteArrayView text);

#endif // PATHRULES_H
