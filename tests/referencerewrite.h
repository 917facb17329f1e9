// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

#ifndef REFERENCEREWRITE_H
#define REFERENCEREWRITE_H

#include <QtCore/QList>
#include <QtCore/QRegularExpression>
#include <QtCore/QString>

// The rules as regular expressions.
inline const QRegularExpression include("(/opt/cross/[^/]+/sys-root)?(/usr/(local/)?include\\b)");
inline const QRegularExpression replyTextLibrary("(?:(?<!-specs=))(/opt/cross/[^/]+/sys-root)?(/usr/lib(64)?\\b)");
inline const QRegularExpression cacheEntryLibrary("(/opt/cross/[^/]+/sys-root)?(/usr/lib\\b)");
inline const QRegularExpression share("(/opt/cross/[^/]+/sys-root)?(/usr/share\\b)");

// The rules applied the way the mapper must: one left-to-right scan, the
// earliest match of any rule replaced, scanning on after it. An independent
// oracle for the mapper's own matcher.
inline QString referenceRewrite(const QString &text, const QList<QRegularExpression> &rules, const QString &sysroot,
                                const QString &workspace)
{
    const QString workspaceRoot = "/workspace";
    QString out;
    qsizetype pos = 0;
    for (;;) {
        qsizetype begin = text.indexOf(workspaceRoot, pos);
        qsizetype end = begin + workspaceRoot.size();
        QString replacement = workspace;
        for (const QRegularExpression &rule : rules) {
            const QRegularExpressionMatch match = rule.match(text, pos);
            if (match.hasMatch() && (begin < 0 || match.capturedStart() < begin)) {
                begin = match.capturedStart();
                end = match.capturedEnd();
                replacement = sysroot + match.captured(2);
            }
        }
        if (begin < 0)
            return out + text.mid(pos);
        out += text.mid(pos, begin - pos) + replacement;
        pos = end;
    }
}

// A cache entry's value with the rules its name takes.
inline QString referenceCacheValue(const QString &name, const QString &value, const QString &sysroot,
                                   const QString &workspace)
{
    const bool isFlags = name == "CMAKE_CXX_FLAGS" || name == "CMAKE_EXE_LINKER_FLAGS"
            || name == "CMAKE_MODULE_LINKER_FLAGS" || name == "CMAKE_SHARED_LINKER_FLAGS";
    QList<QRegularExpression> rules;
    if (name != "INCLUDE_INSTALL_DIR")
        rules.append(include);
    if (name != "LIB_INSTALL_DIR" && !isFlags)
        rules.append(cacheEntryLibrary);
    if (name != "SHARE_INSTALL_PREFIX")
        rules.append(share);
    return referenceRewrite(value, rules, sysroot, workspace);
}

#endif // REFERENCEREWRITE_H
