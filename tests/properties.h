// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The path rules written as regular expressions, and the properties of the
// reply-text rewrite checked against them by the tests and the fuzz targets.

#ifndef PROPERTIES_H
#define PROPERTIES_H

#include "cachereply.h"
#include "pathrules.h"
#include "replytext.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QRegularExpression>
#include <QtCore/QStringDecoder>

inline const QRegularExpression include("(/opt/cross/[^/]+/sys-root)?(/usr/(local/)?include\\b)");
inline const QRegularExpression replyTextLibrary("(?<!-specs=)(/opt/cross/[^/]+/sys-root)?(/usr/lib(64)?\\b)");
inline const QRegularExpression cacheEntryLibrary("(/opt/cross/[^/]+/sys-root)?(/usr/lib\\b)");
inline const QRegularExpression share("(/opt/cross/[^/]+/sys-root)?(/usr/share\\b)");
inline const QList<QRegularExpression> replyTextRules = { include, replyTextLibrary, share };

// One left-to-right scan, the earliest match of any rule replaced, scanning
// on after it: an oracle independent of the mapper's own matcher.
inline QString referenceRewrite(const QString &text, const QList<QRegularExpression> &rules, const QString &sysroot,
                                const QString &workspace)
{
    QString out;
    for (qsizetype pos = 0;;) {
        qsizetype begin = text.indexOf(QStringLiteral("/workspace"), pos), end = begin + 10;
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

// The mappings as a reader states their rule: the text walked unit by unit
// (an escape is one unit in JSON text), the places where a path starts
// found on the way, and at each the longest CONTAINER; then the rules above,
// tried at each place, wherever no mapping's path overlaps their match.
inline QString referenceMap(const QString &text, const QList<PathMapping> &mappings,
                            const QList<QRegularExpression> &rules, const QString &sysroot, const QString &workspace,
                            bool isJson)
{
    static const QStringList separators = { "\"", " ", "\t", ";", ":", ",", "=", "@", "\\\"", "\\t" };
    static const QStringList flags = { "-I", "-L", "-F", "-B", "-isystem", "-iquote", "-idirafter", "-isysroot",
                                       "-include", "-imacros" };
    QMap<qsizetype, bool> isSeparatorUnit; // by where each unit starts
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype length = isJson && text[i] == u'\\' && i + 1 < text.size() ? 2 : 1;
        isSeparatorUnit[i] = separators.contains(text.mid(i, length));
        i += length;
    }
    // A backslash unit before a quote unit escapes it for a shell.
    const QString backslash = isJson ? "\\\\" : "\\", quote = isJson ? "\\\"" : "\"";
    for (auto unit = isSeparatorUnit.begin(); unit != isSeparatorUnit.end(); ++unit) {
        const auto next = std::next(unit);
        if (next != isSeparatorUnit.end() && text.mid(unit.key(), next.key() - unit.key()) == backslash
            && text.mid(next.key()).startsWith(quote))
            unit.value() = true;
    }
    isSeparatorUnit[text.size()] = true;
    QSet<qsizetype> pathStarts = { 0 };
    for (auto unit = isSeparatorUnit.cbegin(); unit != isSeparatorUnit.cend(); ++unit) {
        if (unit.value())
            pathStarts.insert(std::next(unit) == isSeparatorUnit.cend() ? unit.key() : std::next(unit).key());
    }
    struct Region { qsizetype keptBegin, end; QString host; };
    QMap<qsizetype, Region> regions;
    for (qsizetype start = 0; start < text.size(); ++start) {
        if (!pathStarts.contains(start))
            continue;
        for (const QString &flag : flags) {
            if (text.mid(start).startsWith(flag))
                pathStarts.insert(start + flag.size());
        }
        const PathMapping *longest = nullptr;
        for (const PathMapping &mapping : mappings) {
            const qsizetype after = start + mapping.container.size();
            if (text.mid(start).startsWith(mapping.container) && (after == text.size() || text[after] == u'/' || isSeparatorUnit.value(after))
                && (!longest || mapping.container.size() > longest->container.size()))
                longest = &mapping;
        }
        if (!longest || (!regions.isEmpty() && std::prev(regions.cend())->end > start))
            continue;
        qsizetype end = start + longest->container.size();
        while (!isSeparatorUnit.contains(end) || !isSeparatorUnit.value(end))
            ++end;
        regions.insert(start, { start + longest->container.size(), end, longest->host });
    }
    const auto isEscaped = [&](qsizetype pos) {
        qsizetype backslashes = 0;
        while (pos - backslashes > 0 && text[pos - backslashes - 1] == u'\\')
            ++backslashes;
        return isJson && backslashes % 2 == 1;
    };
    QString out;
    for (qsizetype pos = 0; pos < text.size();) {
        if (regions.contains(pos)) {
            const Region region = regions.value(pos);
            out += region.host + text.mid(region.keptBegin, region.end - region.keptBegin);
            pos = region.end;
            continue;
        }
        qsizetype end = text.mid(pos).startsWith(QStringLiteral("/workspace")) ? pos + 10 : -1;
        QString replacement = workspace;
        for (const QRegularExpression &rule : rules) {
            const QRegularExpressionMatch match = rule.match(text, pos, QRegularExpression::NormalMatch,
                                                             QRegularExpression::AnchorAtOffsetMatchOption);
            const QString root = match.captured(1);
            const bool isRootClosed = std::any_of(root.begin(), root.end(), [&](const QChar &c) {
                return isJson && c == u'"' && !isEscaped(match.capturedStart(1) + (&c - root.data()));
            });
            if (match.hasMatch() && !isRootClosed) {
                end = match.capturedEnd();
                replacement = sysroot + match.captured(2);
            }
        }
        const auto overlapping = regions.upperBound(pos);
        if (end < 0 || isEscaped(pos) || (overlapping != regions.cend() && overlapping.key() < end)) {
            out += text[pos++];
            continue;
        }
        out += replacement;
        pos = end;
    }
    return out;
}

// The reply-text rules applied to one UTF-8 JSON text.
inline QByteArray mapJson(const QByteArray &text, const QString &sysroot, const QString &workspace,
                          RewriteCheck *check = nullptr, const QList<PathMapping> &mappings = {})
{
    QByteArray out;
    return PathRules({ sysroot, workspace, mappings }).appendMapped(out, text, check) ? out : text;
}

#ifdef PROPERTY_CHECK

// A decoded JSON value with every string, keys too, mapped on its own.
inline QJsonValue mapStrings(const QJsonValue &value, const QString &sysroot, const QString &workspace)
{
    const auto map = [&](const QString &text) { return referenceRewrite(text, replyTextRules, sysroot, workspace); };
    QJsonArray array;
    for (const QJsonValue &element : value.toArray())
        array.append(mapStrings(element, sysroot, workspace));
    QJsonObject object;
    const QJsonObject source = value.toObject();
    for (auto it = source.begin(); it != source.end(); ++it)
        object.insert(map(it.key()), mapStrings(it.value(), sysroot, workspace));
    return value.isString() ? QJsonValue(map(value.toString())) : value.isArray() ? array : value.isObject() ? object : value;
}

// What the reply-text rules do to any text with any two paths, whole and
// cut in two before cutBefore: the same as the regular expressions, and what
// a rewrite wrote is never taken for text no rewrite made.
inline void checkReplyText(const QByteArray &text, const QString &sysroot, const QString &workspace, qsizetype cutBefore)
{
    const bool isUtf8 = QByteArrayView(text).isValidUtf8();
    const QByteArray mapped = mapJson(text, sysroot, workspace);
    // Quotes and backslashes are JSON syntax to the reply-text rules; and
    // QString::fromUtf8 would drop a leading byte-order mark.
    if (isUtf8 && !text.contains('"') && !text.contains('\\')) {
        const QString value = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom).decode(text);
        PROPERTY_CHECK(mapped == referenceRewrite(value, replyTextRules, QString::fromUtf8(jsonEscaped(sysroot)),
                                                  QString::fromUtf8(jsonEscaped(workspace))).toUtf8());
    }
    PROPERTY_CHECK(mapped == text || text.contains("/usr/") || text.contains("/workspace"));
    const auto check = [](const QByteArray &text, const QString &sysroot, const QString &workspace) {
        RewriteCheck result;
        mapJson(text, sysroot, workspace, &result);
        return result;
    };
    PROPERTY_CHECK(check(mapped, sysroot, workspace) != RewriteCheck::NotRewritten);
    if (!text.contains("/S") && !text.contains("/W")) {
        PROPERTY_CHECK(check(text, "/S", "/W") == (mapJson(text, "/S", "/W") == text ? RewriteCheck::NothingToRewrite
                                                                                            : RewriteCheck::NotRewritten));
    }

    // Cut where the database is cut, the text maps piece by piece as it maps whole.
    const auto mapPiece = [&](QByteArray piece, bool isFileStart) {
        unsigned dropped = 0;
        return normalizeReplyText(piece, dropped, isFileStart) ? mapJson(piece, sysroot, workspace) : "invalid";
    };
    const qsizetype cut = replyTextCutPoint(QByteArrayView(text).first(cutBefore));
    if (isUtf8)
        PROPERTY_CHECK(mapPiece(text.first(cut), true) + mapPiece(text.sliced(cut), cut == 0) == mapPiece(text, true));

    // Valid JSON stays valid, and where no escape hides a path from the
    // matcher, every string decodes to itself mapped.
    QJsonParseError error;
    const QJsonArray before = readJson('[' + text + ']', &error).array();
    if (error.error != QJsonParseError::NoError)
        return;
    const QJsonArray after = readJson('[' + mapped + ']', &error).array();
    PROPERTY_CHECK(error.error == QJsonParseError::NoError
                   && (text.contains('\\') || QJsonValue(after) == mapStrings(before, sysroot, workspace)));
}

#endif // PROPERTY_CHECK

#endif // PROPERTIES_H
