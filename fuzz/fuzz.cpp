// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// libFuzzer targets, each checking properties rather than only that nothing
// crashes: the rewrite of reply text, the rewrite of the cache reply, and a
// reply object mapped once through the walk. FUZZ_PROPERTY names the one a
// target checks.

#include <cstdio>
#include <cstdlib>

// A property that failed: say which, and crash, so that libFuzzer keeps the input.
#define PROPERTY_CHECK(condition) ((condition) ? void() : fail(__LINE__, #condition))
[[noreturn]] static void fail(int line, const char *condition)
{
    std::fprintf(stderr, "line %d: property failed: %s\n", line, condition);
    std::abort();
}

#include "cmakeapimapper.h"
#include "pathrules.h"
#include "properties.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDir>
#include <QtCore/QTemporaryDir>

namespace {

// Paths with every kind of character that JSON escapes, and more.
const QString oddSysroot = QStringLiteral("/s\"q\\2$1\n\t\x01\u00e9");
const QString oddWorkspace = QStringLiteral("/w\\\"\r\x1f\U0001F600");

// The first byte picks where the text is cut.
[[maybe_unused]] void checkText(const QByteArray &text)
{
    checkReplyText(text, oddSysroot, oddWorkspace, text.isEmpty() ? 0 : uchar(text[0]) % text.size());
}

[[maybe_unused]] void checkCacheReply(const QByteArray &input)
{
    static CmakeApiMapper mapper(oddSysroot, oddWorkspace);
    QByteArray text = input;
    // A failure leaves the text as it was.
    if (!mapper.doCMakeApiCacheReplyPathMapping(text))
        return PROPERTY_CHECK(text == input);
    // Every member but the entries' string values survives, and those are
    // mapped with the rules their names take.
    QJsonParseError error;
    const QJsonObject before = parseJson(input).object();
    const QJsonObject after = parseJson(text, &error).object();
    PROPERTY_CHECK(error.error == QJsonParseError::NoError && after.size() == before.size() + !before.contains(u"entries"));
    for (auto it = before.begin(); it != before.end(); ++it)
        PROPERTY_CHECK(it.key() == u"entries" || after[it.key()] == it.value());
    const QJsonArray entriesBefore = before["entries"].toArray();
    const QJsonArray entriesAfter = after["entries"].toArray();
    PROPERTY_CHECK(after["entries"].isArray() && entriesAfter.size() == entriesBefore.size());
    for (qsizetype i = 0; i < entriesBefore.size(); ++i) {
        // value(), not operator[], which adds the member it looks for.
        QJsonObject entry = entriesBefore[i].toObject();
        const QJsonValue value = entry.value(u"value");
        if (!value.isString()) {
            PROPERTY_CHECK(entriesAfter[i] == entriesBefore[i]);
            continue;
        }
        // The patterns match nothing in a string with a lone surrogate.
        entry.insert(u"value", !value.toString().isValidUtf16() ? entriesAfter[i]["value"]
                             : referenceCacheValue(entry.value(u"name").toString(), value.toString(), oddSysroot, oddWorkspace));
        PROPERTY_CHECK(entriesAfter[i] == QJsonValue(entry));
    }
}

// The first byte picks the paths, the rest is a reply object that the walk
// must map, and never map again, with the note or without.
[[maybe_unused]] void checkMappedOnce(const QByteArray &input)
{
    // Paths that make it hardest to tell a mapped object: empty, holding
    // system directories, the workspace root, a cross toolchain root or JSON
    // escapes.
    static const char *const paths[][2] = { { "/srv/sysroots/aarch64", "/home/me/src/proj" }, { "", "/workspace" },
                                            { "/usr/share/sdk", "/home/me/workspace/usr/include" },
                                            { "/opt/cross/x/sys-root", "/w\"\\" } };
    static QTemporaryDir build;
    if (input.isEmpty())
        return;
    const QString sysroot = QString::fromUtf8(paths[uchar(input[0]) % std::size(paths)][0]);
    const QString workspace = QString::fromUtf8(paths[uchar(input[0]) % std::size(paths)][1]);
    const QByteArray content = input.sliced(1);
    // libFuzzer reads its corpus by relative paths, so the build directory
    // is the current one only while an input runs.
    const QString previous = QDir::currentPath();
    QDir reply(build.filePath(QStringLiteral(".cmake/api/v1/reply")));
    PROPERTY_CHECK(reply.removeRecursively() && reply.mkpath(QStringLiteral(".")) && QDir::setCurrent(build.path()));
    reply.remove(QStringLiteral("../.dorvane-mapped-files"));
    QFile file(reply.filePath(QStringLiteral("target-x-%1.json")
                                      .arg(QCryptographicHash::hash(content, QCryptographicHash::Sha3_256).toHex().left(20))));
    PROPERTY_CHECK(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();
    QByteArray text = content;
    unsigned dropped = 0;
    const bool isText = normalizeReplyText(text, dropped);
    const QByteArray mapped = isText ? rewriteReplyText(text, sysroot, workspace) : content;
    for (const int run : { 1, 2, 3 }) {
        if (run == 3)
            reply.remove(QStringLiteral("../.dorvane-mapped-files"));
        PROPERTY_CHECK(CmakeApiMapper(sysroot, workspace).DoCMakeApiPathMapping() == isText);
        PROPERTY_CHECK(file.open(QIODevice::ReadOnly) && file.readAll() == mapped);
        file.close();
    }
    QDir::setCurrent(previous);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_PROPERTY(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}
