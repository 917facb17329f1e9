// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Each tool's quoting was found by running it: gdb splits its arguments as
// a shell without expansions does, a backslash escaping the next character
// even in quotes; lldb takes a backslash before a double quote, a backslash
// or a backquote in double quotes, and evaluates a backquote otherwise;
// clangd splits at "," and at the first "=" of each pair.

#include "hosttable.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>

#include <algorithm>
#include <cstring>

namespace {

constexpr const char *SYSTEM_PREFIXES[] = { "/usr/include", "/usr/local/include", "/usr/lib", "/usr/lib64", "/usr/share" };

QByteArray escaped(const QString &path, const char *special)
{
    QByteArray out;
    for (const char c : path.toUtf8()) {
        if (c != 0 && std::strchr(special, c))
            out += '\\';
        out += c;
    }
    return out;
}

// Why the tool cannot take path, or nothing.
QByteArray refusal(HostFormat format, const QString &path, bool isHost)
{
    if (path.contains(u'\n'))
        return "it holds a newline";
    if (format == HostFormat::Clangd && path.contains(u','))
        return "it holds \",\"";
    if ((format == HostFormat::Lines && !isHost) || (format == HostFormat::Clangd && isHost)) {
        if (path.contains(u'='))
            return "it holds \"=\"";
    }
    if (format == HostFormat::Clangd && !path.startsWith(u'/'))
        return "it is not absolute";
    return {};
}

} // namespace

void addCrossRootNames(QByteArrayView replyText, QSet<QString> &names)
{
    static const QByteArray root = "/opt/cross/";
    for (qsizetype at = replyText.indexOf(root); at >= 0; at = replyText.indexOf(root, at + 1)) {
        const qsizetype begin = at + root.size();
        qsizetype end = begin;
        // As the rules read it: up to the next slash, within one JSON string.
        while (end < replyText.size() && replyText[end] != '/' && (replyText[end] != '"' || replyText[end - 1] == '\\'))
            ++end;
        if (end == begin || !replyText.sliced(end).startsWith("/sys-root"))
            continue;
        const QByteArrayView name = replyText.sliced(begin, end - begin);
        const QJsonArray decoded = QJsonDocument::fromJson("[\"" + name.toByteArray() + "\"]").array();
        names.insert(decoded.size() == 1 ? decoded.first().toString() : QString::fromUtf8(name));
    }
}

QList<PathMapping> hostPrefixes(const MappingPaths &paths, const QStringList &crossRootNames)
{
    QList<PathMapping> prefixes = paths.mappings;
    const auto add = [&](const QString &prefix, const QString &host) {
        const bool isMapped = std::any_of(paths.mappings.begin(), paths.mappings.end(), [&](const PathMapping &mapping) {
            return prefix == mapping.container || prefix.startsWith(mapping.container + u'/');
        });
        if (!isMapped)
            prefixes.append({ prefix, host });
    };
    for (const QString &name : QStringList { QString() } + crossRootNames) {
        const QString root = name.isEmpty() ? QString() : QStringLiteral("/opt/cross/") + name + QStringLiteral("/sys-root");
        for (const char *directory : SYSTEM_PREFIXES)
            add(root + QLatin1String(directory), paths.sysroot + QLatin1String(directory));
    }
    add(QStringLiteral("/workspace"), paths.workspace);
    std::sort(prefixes.begin(), prefixes.end(), [](const PathMapping &a, const PathMapping &b) {
        return a.container.size() != b.container.size() ? a.container.size() > b.container.size() : a.container < b.container;
    });
    return prefixes;
}

bool hostFormatNamed(QStringView name, HostFormat &format)
{
    static const std::pair<const char16_t *, HostFormat> formats[] = { { u"gdb", HostFormat::Gdb },
                                                                       { u"lldb", HostFormat::Lldb },
                                                                       { u"clangd", HostFormat::Clangd },
                                                                       { u"vscode", HostFormat::Vscode },
                                                                       { u"lines", HostFormat::Lines } };
    const auto named = std::find_if(std::begin(formats), std::end(formats),
                                    [&](const auto &known) { return name == QStringView(known.first); });
    if (named != std::end(formats))
        format = named->second;
    return named != std::end(formats);
}

bool formatHostTable(const QList<PathMapping> &prefixes, HostFormat format, QByteArray &out)
{
    out.clear();
    for (const PathMapping &prefix : prefixes) {
        for (const bool isHost : { false, true }) {
            const QString &path = isHost ? prefix.host : prefix.container;
            const QByteArray reason = refusal(format, path, isHost);
            if (!reason.isEmpty()) {
                out = "\"" + path.toUtf8() + "\": " + reason;
                return false;
            }
        }
        switch (format) {
        case HostFormat::Gdb:
            out += "set substitute-path \"" + escaped(prefix.container, "\"\\") + "\" \"" + escaped(prefix.host, "\"\\") + "\"\n";
            break;
        case HostFormat::Lldb:
            out += " \"" + escaped(prefix.container, "\"\\`") + "\" \"" + escaped(prefix.host, "\"\\`") + '"';
            break;
        case HostFormat::Clangd:
            out += (out.isEmpty() ? "--path-mappings=" : ",") + prefix.host.toUtf8() + '=' + prefix.container.toUtf8();
            break;
        case HostFormat::Vscode:
            out += (out.isEmpty() ? "{\n    \"" : ",\n    \"") + jsonEscaped(prefix.container) + "\": \"" + jsonEscaped(prefix.host) + '"';
            break;
        case HostFormat::Lines:
            out += prefix.container.toUtf8() + '=' + prefix.host.toUtf8() + '\n';
            break;
        }
    }
    if (format == HostFormat::Lldb)
        out = out.isEmpty() ? "settings clear target.source-map\n" : "settings set target.source-map" + out + '\n';
    if (format == HostFormat::Clangd)
        out += '\n';
    if (format == HostFormat::Vscode)
        out = (out.isEmpty() ? "{" : out + '\n') + "}\n";
    return true;
}
