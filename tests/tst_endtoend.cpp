// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

#include "referencerewrite.h"

#include <QtCore/QDir>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>

// Configures the sample project with real CMake and maps the reply it wrote.
class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void mapRealReply();
};

static QMap<QString, QString> readReply(const QDir &reply)
{
    QMap<QString, QString> files;
    for (const QString &name : reply.entryList(QDir::Files)) {
        QFile file(reply.filePath(name));
        files[name] = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    return files;
}

void tst_EndToEnd::mapRealReply()
{
    QTemporaryDir build;
    QVERIFY2(build.isValid(), qPrintable(build.errorString()));
    const QDir dir(build.path());
    QVERIFY(dir.mkpath(".cmake/api/v1/query"));
    for (const char *kind : { "codemodel-v2", "cache-v2", "cmakeFiles-v1", "toolchains-v1" })
        QVERIFY(QFile(dir.filePath(".cmake/api/v1/query/") + kind).open(QIODevice::WriteOnly));
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(CMAKE_EXE, { "-S", EXAMPLES_DIR "/hello", "-B", "." });
    QVERIFY(process.waitForFinished(300000));
    QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
    const QMap<QString, QString> before = readReply(dir.filePath(".cmake/api/v1/reply"));

    const QString sysroot = "/srv/sysroots/trixie";
    const QString workspace = "/home/dev/src";
    process.start(DORVANE_EXE, { sysroot, workspace });
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(!dir.exists(".cmake/api/v1/query"));
    const QMap<QString, QString> after = readReply(dir.filePath(".cmake/api/v1/reply"));
    QCOMPARE(after.keys(), before.keys());

    const QRegularExpression systemDirectory("(/opt/cross/[^/\"]+/sys-root)?/usr/((local/)?include|lib(64)?|share)\\b");
    const QRegularExpression notReRooted("(?<!" + QRegularExpression::escape(sysroot) + ")/usr/((local/)?include|lib(64)?|share)\\b");
    qsizetype directories = 0;
    for (const QString &name : before.keys()) {
        QJsonParseError error;
        QJsonDocument::fromJson(after[name].toUtf8(), &error);
        QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(name + ": " + error.errorString()));
        if (name.startsWith("cache-"))
            continue;
        qsizetype found = 0; // not QString::count(), which counts overlapping matches
        for (auto it = systemDirectory.globalMatch(before[name]); it.hasNext(); it.next())
            ++found;
        directories += found;
        QVERIFY2(!notReRooted.match(after[name]).hasMatch(), qPrintable(name + ": " + notReRooted.match(after[name]).captured()));
        QCOMPARE(after[name].count(sysroot + "/usr/"), found);
        QCOMPARE(after[name].count(workspace), before[name].count("/workspace"));
        QCOMPARE(after[name].count("/workspace"), 0);
    }
    // CMake's modules, the compiler's directories, a cross root and the
    // workspace: a reply without them would prove nothing.
    QVERIFY(directories > 50);
    QVERIFY(before.values().join("").contains("/opt/cross/") && before.values().join("").contains("/workspace"));

    // The cache reply: mapped entry by entry, each with the rules its name
    // takes, and re-serialised by Qt's JSON writer.
    const QString cacheName = before.keys().filter(QRegularExpression("^cache-v2-")).value(0);
    const QJsonArray entriesBefore = QJsonDocument::fromJson(before[cacheName].toUtf8())["entries"].toArray();
    const QJsonDocument cacheAfter = QJsonDocument::fromJson(after[cacheName].toUtf8());
    QCOMPARE(after[cacheName].toUtf8(), cacheAfter.toJson(QJsonDocument::Indented));
    const QJsonArray entriesAfter = cacheAfter["entries"].toArray();
    QCOMPARE(entriesAfter.size(), entriesBefore.size());
    QMap<QString, QString> values;
    for (qsizetype i = 0; i < entriesBefore.size(); ++i) {
        QJsonObject entry = entriesBefore[i].toObject();
        const QString name = entry["name"].toString();
        entry["value"] = referenceCacheValue(name, entry["value"].toString(), sysroot, workspace);
        QCOMPARE(entriesAfter[i].toObject(), entry);
        values[name] = entry["value"].toString();
    }
    QCOMPARE(values["INCLUDE_INSTALL_DIR"], "/usr/include");
    QCOMPARE(values["LIB_INSTALL_DIR"], "/usr/lib");
    QCOMPARE(values["SHARE_INSTALL_PREFIX"], "/usr/share");
    QCOMPARE(values["CMAKE_CXX_FLAGS"], "-I" + sysroot + "/usr/include/hello-sdk -L/usr/lib -I" + workspace + "/sdk/include");
    QCOMPARE(values["SAMPLE_SDK_DIR"], workspace + "/sdk");
    QVERIFY(values["CMAKE_ROOT"].startsWith(sysroot + "/usr/share/cmake"));
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
