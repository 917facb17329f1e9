// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// A reply object mapped through the walk, checked against its properties: as
// CMake named it, it is always mapped; once mapped, it is never mapped again.

#include "cmakeapimapper.h"
#include "fuzzcheck.h"
#include "pathrules.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>

namespace {

// Paths that make it hardest to tell a mapped object: empty, holding system
// directories, the workspace root, a cross toolchain root or JSON escapes.
const char *const paths[][2] = {
    { "/srv/sysroots/aarch64", "/home/me/src/proj" },
    { "", "/workspace" },
    { "/usr/share/sdk", "/home/me/workspace/usr/include" },
    { "/opt/cross/x/sys-root", "/w\"\\" },
};

// libFuzzer reads its corpus by relative paths, so the mapper, which works
// below the current directory, gets it only while an input runs.
struct InBuildDirectory
{
    explicit InBuildDirectory(const QString &path) { FUZZ_CHECK(QDir::setCurrent(path)); }
    ~InBuildDirectory() { QDir::setCurrent(previous); }
    const QString previous = QDir::currentPath();
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir build;
    if (size == 0)
        return 0;
    const InBuildDirectory inBuild(build.path());
    FUZZ_CHECK(QDir().mkpath(QStringLiteral(".cmake/api/v1/reply")));
    const QString sysroot = QString::fromUtf8(paths[data[0] % std::size(paths)][0]);
    const QString workspace = QString::fromUtf8(paths[data[0] % std::size(paths)][1]);
    const QByteArray content(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));

    QDir reply(QStringLiteral(".cmake/api/v1/reply"));
    for (const QString &name : reply.entryList(QDir::Files | QDir::Hidden))
        FUZZ_CHECK(reply.remove(name));
    reply.remove(QStringLiteral("../.dorvane-mapped-files"));
    const QByteArray hash = QCryptographicHash::hash(content, QCryptographicHash::Sha3_256).toHex().left(20);
    const QString path = reply.filePath(QStringLiteral("target-x-") + QString::fromLatin1(hash) + QStringLiteral(".json"));
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();

    QByteArray text = content;
    unsigned dropped = 0;
    const bool isText = normalizeReplyText(text, dropped);
    FUZZ_CHECK(CmakeApiMapper(sysroot, workspace).DoCMakeApiPathMapping() == isText);
    if (!isText) {
        FUZZ_CHECK(readFile(path) == content);
        return 0;
    }
    const QByteArray mapped = rewriteReplyText(text, sysroot, workspace);
    FUZZ_CHECK(readFile(path) == mapped);

    // Again with the note the run left, and without it, as after CMake has
    // written a new reply that kept this object.
    for (const bool withNote : { true, false }) {
        if (!withNote)
            reply.remove(QStringLiteral("../.dorvane-mapped-files"));
        FUZZ_CHECK(CmakeApiMapper(sysroot, workspace).DoCMakeApiPathMapping());
        FUZZ_CHECK(readFile(path) == mapped);
    }
    return 0;
}
