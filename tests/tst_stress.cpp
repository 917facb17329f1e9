// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

#include <QtCore/QDir>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>

#include <sys/resource.h>

// Replies at the sizes users have: many files, or one very large one. Each
// run must give the right output and keep its peak memory within eight
// times the largest file plus 48 MiB.
class tst_Stress : public QObject
{
    Q_OBJECT

private slots:
    void reply_data();
    void reply();
};

void tst_Stress::reply_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("unitsPerFile");
    QTest::newRow("20,000 small files") << 20000 << 4;
    QTest::newRow("one 200 MB file") << 1 << 2000000;
}

void tst_Stress::reply()
{
    QFETCH(int, files);
    QFETCH(int, unitsPerFile);
    const QByteArray unit = "{\"p\": \"/opt/cross/x/sys-root/usr/lib64/libz.so\", \"f\": \"-specs=/usr/lib/rpm/c1\", "
                            "\"w\": \"/workspace/src/a.cpp\"}\n";
    const QByteArray mappedUnit = "{\"p\": \"/S/usr/lib64/libz.so\", \"f\": \"-specs=/usr/lib/rpm/c1\", "
                                  "\"w\": \"/W/src/a.cpp\"}\n";
    QTemporaryDir build;
    QVERIFY2(build.isValid(), qPrintable(build.errorString()));
    const QDir reply(build.filePath(".cmake/api/v1/reply"));
    QVERIFY(reply.mkpath("."));
    const QByteArray content = unit.repeated(unitsPerFile);
    for (int i = 0; i < files; ++i) {
        QFile file(reply.filePath(QString("target-%1.json").arg(i)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    }
    // The database goes piece by piece, and its first MB has no quote to cut after.
    const QByteArray database = QByteArray("/usr/lib ").repeated(150000) + unit.repeated(20000);
    QFile databaseFile(build.filePath("compile_commands.json"));
    QVERIFY(databaseFile.open(QIODevice::WriteOnly) && databaseFile.write(database) == database.size());
    databaseFile.close();

    QProcess process;
    process.setWorkingDirectory(build.path());
    process.start(DORVANE_EXE, { "--compile-commands", "/S", "/W" });
    QVERIFY(process.waitForFinished(300000));
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QCOMPARE(process.exitCode(), 0);
    rusage usage;
    QVERIFY(getrusage(RUSAGE_CHILDREN, &usage) == 0);

    const QByteArray expected = mappedUnit.repeated(unitsPerFile);
    for (int i = 0; i < files; ++i) {
        QFile file(reply.filePath(QString("target-%1.json").arg(i)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        if (file.readAll() != expected)
            QFAIL(qPrintable(file.fileName() + " is not mapped right"));
    }
    QCOMPARE(reply.entryList(QDir::Files | QDir::Hidden).size(), files);
    QVERIFY(databaseFile.open(QIODevice::ReadOnly));
    QVERIFY(databaseFile.readAll() == QByteArray("/S/usr/lib ").repeated(150000) + mappedUnit.repeated(20000));
#ifndef DORVANE_SANITIZE
    // ru_maxrss of the children waited for: the tool is the only one.
    const long boundKiB = 8 * content.size() / 1024 + 48 * 1024;
    QVERIFY2(usage.ru_maxrss <= boundKiB, qPrintable(QString("%1 KiB, bound %2 KiB").arg(usage.ru_maxrss).arg(boundKiB)));
    qInfo("peak RSS %ld KiB, bound %ld KiB", usage.ru_maxrss, boundKiB);
#endif
}

QTEST_GUILESS_MAIN(tst_Stress)
#include "tst_stress.moc"
