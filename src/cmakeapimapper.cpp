// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

#include "cmakeapimapper.h"

#include "pathrules.h"
#include "replyfiles.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QList>

namespace {

constexpr char CMAKE_API_REPLY_PATH[] = ".cmake/api/v1/reply";
constexpr char CMAKE_API_QUERY_PATH[] = ".cmake/api/v1/query";

} // namespace

CmakeApiMapper::CmakeApiMapper(const QString &sysrootPath, const QString &workspacePath)
    : sysrootPath(sysrootPath),
      workspacePath(workspacePath),
      jsonSysrootPath(jsonEscaped(sysrootPath)),
      jsonWorkspacePath(jsonEscaped(workspacePath))
{
}

bool CmakeApiMapper::isReplyExist()
{
    return QFile::exists(QString::fromLatin1(CMAKE_API_REPLY_PATH));
}

bool CmakeApiMapper::isQueryExist()
{
    return QFile::exists(QString::fromLatin1(CMAKE_API_QUERY_PATH));
}

bool CmakeApiMapper::DoCMakeApiPathMapping()
{
    QList<ReplyFile> files;
    if (!listReplyFiles(CMAKE_API_REPLY_PATH, files))
        return false;
    removeTemporaryFileOnSignal();
    const QByteArray replyDirectory = QByteArray(CMAKE_API_REPLY_PATH) + '/';
    // Index files go last: a reader that finds a new index can trust that the
    // objects it names are already rewritten.
    for (const bool indexPass : { false, true }) {
        for (const ReplyFile &file : std::as_const(files)) {
            if (file.name.startsWith("index-") != indexPass)
                continue;
            if (!doCMakeApiReplyPathMapping(replyDirectory + file.name, file.isSymLink, file.name.startsWith("cache-")))
                return false;
        }
    }
    return QDir(QString::fromLatin1(CMAKE_API_QUERY_PATH)).removeRecursively();
}

bool CmakeApiMapper::doCMakeApiReplyPathMapping(const QByteArray &filePath, bool isSymLink, bool isCacheReply)
{
    FileStatus status;
    switch (readReplyFile(filePath, isSymLink, fileContent, status)) {
    case ReadResult::Failed:
        return false;
    case ReadResult::Skipped:
        return true;
    case ReadResult::Read:
        break;
    }
    QByteArray &content = fileContent;
    if (!normalizeReplyText(content))
        return false;
    if (isCacheReply)
        return doCMakeApiCacheReplyPathMapping(content) && replaceFileContent(filePath, isSymLink, status, content);
    rewrittenContent.resize(0);
    const bool changed = appendRewritten(rewrittenContent, content, RuleSet(), jsonSysrootPath, jsonWorkspacePath);
    return replaceFileContent(filePath, isSymLink, status, changed ? rewrittenContent : content);
}

QString CmakeApiMapper::rewriteCacheValue(const QString &name, const QString &value)
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
    return rewriteString(value, rules, sysrootPath, workspacePath);
}

bool CmakeApiMapper::doCMakeApiCacheReplyPathMapping(QByteArray &text)
{
    QJsonObject cache = QJsonDocument::fromJson(text).object();
    if (cache.value(u"kind") != QJsonValue(QStringLiteral("cache")))
        return false;
    QJsonArray entries = cache.value(u"entries").toArray();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        // Only string values are mapped. An element that is no object (so has
        // no value), or an entry whose value is no string, is kept as it is:
        // CMake writes neither, and rewriting them would lose what they hold.
        QJsonObject entry = entries.at(i).toObject();
        const QJsonValue value = entry.value(u"value");
        if (!value.isString())
            continue;
        entry.insert(QStringLiteral("value"), rewriteCacheValue(entry.value(u"name").toString(), value.toString()));
        entries.replace(i, entry);
    }
    cache.insert(QStringLiteral("entries"), entries);
    text = QJsonDocument(cache).toJson(QJsonDocument::Indented);
    return true;
}

bool CmakeApiMapper::isFlagCacheVariable(const QString &name)
{
    return name == u"CMAKE_CXX_FLAGS" || name == u"CMAKE_EXE_LINKER_FLAGS" || name == u"CMAKE_MODULE_LINKER_FLAGS"
            || name == u"CMAKE_SHARED_LINKER_FLAGS";
}
