// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// A scan for the few members that name include directories: objects are
// large and the directories few, so only the arrays that hold them are
// parsed as JSON.

#include "includedirectories.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>

#include <cstring>

namespace {

// From the '[' at start to the ']' that closes it, strings skipped; empty
// where it is not closed.
QByteArrayView jsonArrayAt(QByteArrayView text, qsizetype start)
{
    int depth = 0;
    for (qsizetype i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i)
                i += text[i] == '\\';
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if ((c == ']' || c == '}') && --depth == 0) {
            return text.sliced(start, i + 1 - start);
        }
    }
    return {};
}

void addAbsolute(const QString &path, QSet<QString> &directories)
{
    if (path.startsWith(u'/'))
        directories.insert(path);
}

// The string value after each "path" key in an includes array, as CMake
// writes it; one with an escape is decoded as JSON.
void addIncludePaths(QByteArrayView array, QSet<QString> &directories)
{
    static const QByteArrayView key = "\"path\"";
    for (qsizetype at = array.indexOf(key); at >= 0; at = array.indexOf(key, at + key.size())) {
        const qsizetype open = array.indexOf('"', at + key.size());
        qsizetype close = open + 1;
        while (open >= 0 && close < array.size() && array[close] != '"')
            close += array[close] == '\\' ? 2 : 1;
        if (open < 0 || close >= array.size())
            return;
        const QByteArrayView value = array.sliced(open + 1, close - open - 1);
        if (!value.contains('\\'))
            addAbsolute(QString::fromUtf8(value), directories);
        else
            addAbsolute(QJsonDocument::fromJson("[" + array.sliced(open, close + 1 - open).toByteArray() + "]").array().at(0).toString(),
                        directories);
        at = close;
    }
}

void addTargetIncludes(QByteArrayView text, QSet<QString> &directories)
{
    static const QByteArrayView key = "\"includes\"";
    for (qsizetype at = text.indexOf(key); at >= 0; at = text.indexOf(key, at + key.size())) {
        qsizetype i = at + key.size();
        while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\t' || text[i] == '\r' || text[i] == ':'))
            ++i;
        if (i < text.size() && text[i] == '[')
            addIncludePaths(jsonArrayAt(text, i), directories);
    }
}

void addToolchainIncludes(QByteArrayView text, QSet<QString> &directories)
{
    const QJsonArray toolchains = QJsonDocument::fromJson(text.toByteArray()).object().value(u"toolchains").toArray();
    for (const QJsonValue &toolchain : toolchains) {
        const QJsonObject implicit = toolchain.toObject().value(u"compiler").toObject().value(u"implicit").toObject();
        for (const QJsonValue &directory : implicit.value(u"includeDirectories").toArray())
            addAbsolute(directory.toString(), directories);
    }
}

bool endsPath(char c)
{
    return c == ' ' || c == '"' || c == '\t' || c == '\n';
}

} // namespace

void addObjectIncludeDirectories(const QByteArray &name, QByteArrayView text, QSet<QString> &directories)
{
    if (name.startsWith("target-"))
        addTargetIncludes(text, directories);
    else if (name.startsWith("toolchains-"))
        addToolchainIncludes(text, directories);
}

void addDatabaseIncludeDirectories(QByteArrayView text, QSet<QString> &directories)
{
    static const QByteArrayView flags[] = { "-isystem", "-idirafter", "-iquote", "-I" };
    const char *const begin = text.data(), *const end = begin + text.size();
    for (const char *dash = begin; (dash = static_cast<const char *>(std::memchr(dash, '-', end - dash))); ++dash) {
        // A flag starts a word: of a command, after a space, or of the
        // arguments, a string of its own.
        if (dash == begin || (dash[-1] != ' ' && dash[-1] != '"'))
            continue;
        const QByteArrayView rest(dash, end - dash);
        const auto flag = std::find_if(std::begin(flags), std::end(flags),
                                       [&](QByteArrayView f) { return rest.startsWith(f); });
        if (flag == std::end(flags))
            continue;
        const char *path = dash + flag->size();
        // The path after its own word: `-isystem /x` in a command, or
        // `"-isystem", "/x"` among arguments.
        if (path < end && endsPath(*path)) {
            while (path < end && (endsPath(*path) || *path == ','))
                ++path;
        }
        if (end - path < 2 || !(*path == '/' || (path[0] == '\\' && path[1] == '/')))
            continue;
        // An argument is a JSON string of its own, spaces and all; in a
        // command a space ends the path, and one a shell quotes is left to
        // the code model.
        const bool isArgument = dash[-1] == '"';
        const char *pathEnd = path;
        while (pathEnd < end && *pathEnd != '"' && (isArgument || !endsPath(*pathEnd)))
            pathEnd += *pathEnd == '\\' ? 2 : 1;
        pathEnd = std::min(pathEnd, end);
        QByteArray escaped(path, pathEnd - path);
        escaped.replace("\\/", "/");
        if (!escaped.contains('\\') && (isArgument || !escaped.contains('\'')))
            directories.insert(QString::fromUtf8(escaped));
        dash = pathEnd - 1;
    }
}
