// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The rewrite of reply files as text, checked against its properties.

#include "pathrules.h"
#include "fuzzcheck.h"
#include "referencerewrite.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>

namespace {

// Paths with every kind of character that JSON escapes, and more.
const QString oddSysroot = QStringLiteral("/s\"q\\2$1\n\t\x01\u00e9");
const QString oddWorkspace = QStringLiteral("/w\\\"\r\x1f\U0001F600");

// A decoded JSON value with every string, keys too, mapped on its own.
QJsonValue mapStrings(const QJsonValue &value)
{
    const auto map = [](const QString &text) {
        return referenceRewrite(text, { include, replyTextLibrary, share }, oddSysroot, oddWorkspace);
    };
    if (value.isString())
        return map(value.toString());
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue &element : value.toArray())
            array.append(mapStrings(element));
        return array;
    }
    if (value.isObject()) {
        QJsonObject object;
        const QJsonObject source = value.toObject();
        for (auto it = source.begin(); it != source.end(); ++it)
            object.insert(map(it.key()), mapStrings(it.value()));
        return object;
    }
    return value;
}

QJsonValue topLevel(const QJsonDocument &document)
{
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}

// The text with everything that looks like a cross toolchain root taken out.
QByteArray withoutCrossRoots(const QByteArray &text)
{
    static const QRegularExpression crossRoot(QStringLiteral("/opt/cross/[^/]+/sys-root"));
    return QString::fromUtf8(text).remove(crossRoot).toUtf8();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const bool isUtf8 = QByteArrayView(text).isValidUtf8();

    // The matcher agrees with the rules written as regular expressions
    // wherever the text holds nothing that is JSON syntax to the matcher.
    const QByteArray mapped = rewriteReplyText(text, QStringLiteral("/S"), QStringLiteral("/W"));
    if (isUtf8 && !text.contains('"') && !text.contains('\\'))
        FUZZ_CHECK(mapped == referenceRewrite(QString::fromUtf8(text), { include, replyTextLibrary, share }, "/S", "/W").toUtf8());

    // Nothing to map: nothing changes.
    if (!text.contains("/usr/") && !text.contains("/workspace"))
        FUZZ_CHECK(mapped == text);

    // With sysroot "" and workspace "/workspace" only cross toolchain roots go.
    const QByteArray rooted = rewriteReplyText(text, QString(), QStringLiteral("/workspace"));
    FUZZ_CHECK(rooted.size() <= text.size());
    if (isUtf8)
        FUZZ_CHECK(withoutCrossRoots(rooted) == withoutCrossRoots(text));
    else
        FUZZ_CHECK(text.contains("/opt/cross/") || rooted == text);

    // Valid JSON stays valid, and where the text has no escapes to hide
    // paths from the matcher, every string decodes to itself mapped, with
    // the paths exactly as given.
    QJsonParseError error;
    const QJsonDocument before = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        return 0;
    const QByteArray oddMapped = rewriteReplyText(text, oddSysroot, oddWorkspace);
    const QJsonDocument after = QJsonDocument::fromJson(oddMapped, &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError);
    if (!text.contains('\\'))
        FUZZ_CHECK(topLevel(after) == mapStrings(topLevel(before)));
    return 0;
}
