// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The cache reply's entry rules, and its reading and writing through Qt's
// JSON classes.

#include "cachereply.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonObject>

bool isFlagCacheVariable(const QString &name)
{
    return name == u"CMAKE_CXX_FLAGS" || name == u"CMAKE_EXE_LINKER_FLAGS" || name == u"CMAKE_MODULE_LINKER_FLAGS"
            || name == u"CMAKE_SHARED_LINKER_FLAGS";
}

namespace {

// The directory rules an entry's value takes, by the entry's name.
unsigned cacheEntryRules(const QString &name)
{
    unsigned rules = AllDirectoryRules;
    if (name == u"INCLUDE_INSTALL_DIR")
        rules &= ~IncludeRule;
    // Flags name libraries as the build environment links them, -L/usr/lib
    // included, and install directories are where the project installs to.
    if (name == u"LIB_INSTALL_DIR" || isFlagCacheVariable(name))
        rules &= ~LibraryRule;
    if (name == u"SHARE_INSTALL_PREFIX")
        rules &= ~ShareRule;
    return rules;
}

} // namespace

bool mapCacheReply(QByteArray &text, const PathRules &rules)
{
    QJsonObject cache = readJson(text).object();
    // Without an array of entries there is nothing to map, and nothing
    // would keep what the file holds in their place.
    if (cache.value(u"kind") != QJsonValue(QStringLiteral("cache")) || !cache.value(u"entries").isArray())
        return false;
    QJsonArray entries = cache.value(u"entries").toArray();
    bool isChanged = false;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        // An element that is no object, or an entry whose value is no
        // string, is not mapped: CMake writes neither, and taking them for
        // an entry would lose what they hold. Qt's JSON writer still writes
        // them again, a number as a double.
        QJsonObject entry = entries.at(i).toObject();
        const QJsonValue value = entry.value(u"value");
        if (!value.isString())
            continue;
        const QString mapped = rules.mapValue(value.toString(), cacheEntryRules(entry.value(u"name").toString()));
        if (mapped == value.toString())
            continue;
        entry.insert(QStringLiteral("value"), mapped);
        entries.replace(i, entry);
        isChanged = true;
    }
    if (isChanged) {
        cache.insert(QStringLiteral("entries"), entries);
        text = QJsonDocument(cache).toJson(QJsonDocument::Indented);
    }
    return true;
}

QJsonDocument readJson(const QByteArray &text, QJsonParseError *error)
{
    // Qt's parser drops a byte-order mark that starts a string holding no
    // escape; written as an escape, it is kept, as every other character is.
    // One that starts the text is no character of the document, and Qt skips it.
    const qsizetype start = text.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    return QJsonDocument::fromJson(text.sliced(start).replace("\xEF\xBB\xBF", "\\ufeff"), error);
}
