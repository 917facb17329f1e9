// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The cache reply, mapped entry by entry: each value with the rules its
// entry's name takes.

#include "cmakeapimapper.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonObject>

#include <algorithm>

RuleSet CmakeApiMapper::cacheEntryRules(const QString &name)
{
    RuleSet rules;
    rules.isReplyText = false;
    if (name == u"INCLUDE_INSTALL_DIR")
        rules.directoryRules &= ~IncludeRule;
    // Flags name libraries as the build environment links them, -L/usr/lib
    // included, and install directories are where the project installs to.
    if (name == u"LIB_INSTALL_DIR" || isFlagCacheVariable(name))
        rules.directoryRules &= ~LibraryRule;
    if (name == u"SHARE_INSTALL_PREFIX")
        rules.directoryRules &= ~ShareRule;
    return rules;
}

QString CmakeApiMapper::rewriteCacheValue(const QString &name, const QString &value)
{
    return rewriteString(value, cacheEntryRules(name), sysrootPath, workspacePath);
}

// Whether every value of a cache reply, as far as the rules its name takes
// go, is as a mapping with these paths leaves it.
bool CmakeApiMapper::isCacheReplyMappedWith(const QByteArray &text)
{
    const QJsonArray entries = readJson(text).object().value(u"entries").toArray();
    return std::all_of(entries.begin(), entries.end(), [this](const QJsonValue &entry) {
        const QJsonValue value = entry.toObject().value(u"value");
        return !value.isString()
                || isMappedWith(value.toString(), cacheEntryRules(entry.toObject().value(u"name").toString()),
                                sysrootPath, workspacePath);
    });
}

bool CmakeApiMapper::doCMakeApiCacheReplyPathMapping(QByteArray &text)
{
    QJsonObject cache = readJson(text).object();
    // Without an array of entries there is nothing to map, and nothing
    // would keep what the file holds in their place.
    if (cache.value(u"kind") != QJsonValue(QStringLiteral("cache")) || !cache.value(u"entries").isArray())
        return false;
    QJsonArray entries = cache.value(u"entries").toArray();
    bool isChanged = false;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        // Only string values are mapped. An element that is no object (so has
        // no value), or an entry whose value is no string, is kept as it is:
        // CMake writes neither, and rewriting them would lose what they hold.
        QJsonObject entry = entries.at(i).toObject();
        const QJsonValue value = entry.value(u"value");
        if (!value.isString())
            continue;
        const QString mapped = rewriteCacheValue(entry.value(u"name").toString(), value.toString());
        if (mapped == value.toString())
            continue;
        entry.insert(QStringLiteral("value"), mapped);
        entries.replace(i, entry);
        isChanged = true;
    }
    // A reply the rules leave as it is keeps its bytes, and is not written.
    if (isChanged) {
        cache.insert(QStringLiteral("entries"), entries);
        text = QJsonDocument(cache).toJson(QJsonDocument::Indented);
    }
    return true;
}

QJsonDocument CmakeApiMapper::readJson(const QByteArray &text, QJsonParseError *error)
{
    // Qt's parser drops a byte-order mark that starts a string holding no
    // escape; written as an escape, it is kept, as every other character is.
    // One that starts the text is no character of the document, and Qt skips it.
    const qsizetype start = text.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    return QJsonDocument::fromJson(text.sliced(start).replace("\xEF\xBB\xBF", "\\ufeff"), error);
}

bool CmakeApiMapper::isFlagCacheVariable(const QString &name)
{
    return name == u"CMAKE_CXX_FLAGS" || name == u"CMAKE_EXE_LINKER_FLAGS" || name == u"CMAKE_MODULE_LINKER_FLAGS"
            || name == u"CMAKE_SHARED_LINKER_FLAGS";
}
