// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// libFuzzer targets that check properties, not only that nothing crashes.
// FUZZ_PROPERTY names the one a target checks.

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
#include "properties.h"
#include "toolrun.h"

#include <QtCore/QCryptographicHash>
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

// A cache entry's value with the rules its name takes.
QString referenceCacheValue(const QString &name, const QString &value)
{
    const bool isFlags = QRegularExpression("^CMAKE_(CXX|EXE_LINKER|MODULE_LINKER|SHARED_LINKER)_FLAGS$").match(name).hasMatch();
    QList<QRegularExpression> rules;
    if (name != "INCLUDE_INSTALL_DIR")
        rules.append(include);
    if (name != "LIB_INSTALL_DIR" && !isFlags)
        rules.append(cacheEntryLibrary);
    if (name != "SHARE_INSTALL_PREFIX")
        rules.append(share);
    return referenceRewrite(value, rules, oddSysroot, oddWorkspace);
}

// A cache reply changes only in its entries' string values, each mapped
// with the rules its name takes; one that does not map stays as it was.
[[maybe_unused]] void checkCacheReply(const QByteArray &input)
{
    QByteArray text = input;
    if (!CmakeApiMapper(oddSysroot, oddWorkspace).doCMakeApiCacheReplyPathMapping(text))
        return PROPERTY_CHECK(text == input);
    const QJsonObject after = readJson(text).object();
    QJsonObject expected = readJson(input).object();
    QJsonArray entries = expected[u"entries"].toArray();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        QJsonObject entry = entries[i].toObject();
        const QString value = entry.value(u"value").toString();
        // The patterns match nothing in a string with a lone surrogate.
        if (entry.value(u"value").isString()) {
            entry.insert(u"value", value.isValidUtf16() ? referenceCacheValue(entry.value(u"name").toString(), value)
                                                        : after[u"entries"][i][u"value"]);
            entries[i] = entry;
        }
    }
    expected[u"entries"] = entries;
    PROPERTY_CHECK(after == expected);
}

// The first byte picks the paths, the rest is a reply object that the walk
// must map, and never map again, with the note or without, and map again
// from what CMake wrote when the paths change.
[[maybe_unused]] void checkMappedOnce(const QByteArray &input)
{
    // Paths that make a mapped object hardest to tell: empty, holding system
    // directories or the workspace root, a cross toolchain root, JSON escapes.
    static const char *const paths[][2] = { { "/srv/sysroots/aarch64", "/home/me/src/proj" }, { "", "/workspace" },
                                            { "/usr/share/sdk", "/home/me/workspace/usr/include" },
                                            { "/opt/cross/x/sys-root", "/w\"\\" } };
    static QTemporaryDir build;
    if (input.isEmpty())
        return;
    const QByteArray content = input.sliced(1);
    const QString reply = build.filePath(QStringLiteral(".cmake/api/v1/reply/")), note = reply + "../.dorvane-mapped-files";
    const QString object = reply + "target-x-" + QCryptographicHash::hash(content, QCryptographicHash::Sha3_256).toHex().left(20)
            + ".json";
    QFile::remove(note);
    PROPERTY_CHECK(QDir(reply).removeRecursively() && write(object, content));
    QByteArray text = content;
    unsigned dropped = 0;
    const bool isText = normalizeReplyText(text, dropped);
    // libFuzzer reads its corpus by relative paths, so the build directory
    // is the current one only while an input runs.
    const QString previous = QDir::currentPath();
    for (const int run : { 1, 2, 3, 4 }) {
        if (run == 3)
            QFile::remove(note);
        const auto &[sysroot, workspace] = paths[(uchar(input[0]) + (run == 4)) % std::size(paths)];
        PROPERTY_CHECK(QDir::setCurrent(build.path()));
        CmakeApiMapper mapper(sysroot, workspace);
        const bool isMapped = mapper.setBuildDirectory() && mapper.DoCMakeApiPathMapping();
        PROPERTY_CHECK(QDir::setCurrent(previous) && isMapped == isText
                       && read(object) == (isText ? mapJson(text, sysroot, workspace) : content));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_PROPERTY(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}
