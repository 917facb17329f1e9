// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

#include "cmakeapimapper.h"
#include "referencerewrite.h"

#include <QtCore/QJsonDocument>
#include <QtCore/QRandomGenerator>
#include <QtTest/QTest>

class tst_Rules : public QObject
{
    Q_OBJECT

private slots:
    void replyText_data();
    void replyText();
    void cacheValue_data();
    void cacheValue();
    void cacheDocument_data();
    void cacheDocument();
    void matchesReference();
};

void tst_Rules::replyText_data()
{
    QTest::addColumn<QString>("sysroot");
    QTest::addColumn<QString>("workspace");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const QString s = QStringLiteral("/S");
    const QString w = QStringLiteral("/W");
    QTest::newRow("system directories") << s << w
            << QByteArray("/usr/include/zlib.h /usr/local/include /usr/share/cmake /usr/lib/x /usr/lib64/y")
            << QByteArray("/S/usr/include/zlib.h /S/usr/local/include /S/usr/share/cmake /S/usr/lib/x /S/usr/lib64/y");
    QTest::newRow("cross root before lib64") << s << w
            << QByteArray("/opt/cross/aarch64-linux-gnu/sys-root/usr/lib64/libc.so") << QByteArray("/S/usr/lib64/libc.so");
    QTest::newRow("word boundaries") << s << w
            << QByteArray("/usr/libexec/gcc /usr/include2 /usr/shared /usr/lib_x /usr/lib64x /usr/lib-x /usr/lib.so")
            << QByteArray("/usr/libexec/gcc /usr/include2 /usr/shared /usr/lib_x /usr/lib64x /S/usr/lib-x /S/usr/lib.so");
    QTest::newRow("local lib and share, case") << s << w << QByteArray("/usr/local/lib /usr/local/share /USR/include")
                                               << QByteArray("/usr/local/lib /usr/local/share /USR/include");
    QTest::newRow("specs guard") << s << w << QByteArray("-specs=/usr/lib/rpm/hardened-cc1 -specs=/usr/lib64/f")
                                 << QByteArray("-specs=/usr/lib/rpm/hardened-cc1 -specs=/usr/lib64/f");
    QTest::newRow("specs guard with cross root") << s << w << QByteArray("-specs=/opt/cross/X/sys-root/usr/lib/f")
                                                 << QByteArray("-specs=/opt/cross/X/sys-root/S/usr/lib/f");
    QTest::newRow("cross root kept elsewhere") << s << w
            << QByteArray("/opt/cross/X/sys-root/usr/bin /opt/cross/a/b/sys-root/usr/include")
            << QByteArray("/opt/cross/X/sys-root/usr/bin /opt/cross/a/b/sys-root/S/usr/include");
    QTest::newRow("workspaces") << s << w << QByteArray("/workspace/src/main.cpp /workspaces/x")
                                << QByteArray("/W/src/main.cpp /Ws/x");
    QTest::newRow("matched mid-path") << s << w << QByteArray("/home/u/usr/include") << QByteArray("/home/u/S/usr/include");
    QTest::newRow("empty paths") << QString() << QString()
            << QByteArray("/opt/cross/X/sys-root/usr/include /workspace/a") << QByteArray("/usr/include /a");
    QTest::newRow("trailing slash") << QStringLiteral("/S/") << w << QByteArray("/usr/share") << QByteArray("/S//usr/share");
    QTest::newRow("sysroot under a system directory")
            << QStringLiteral("/usr/share/sdk") << w << QByteArray("/usr/include/a.h /usr/lib/b")
            << QByteArray("/usr/share/sdk/usr/include/a.h /usr/share/sdk/usr/lib/b");
    QTest::newRow("paths holding /workspace")
            << QStringLiteral("/home/me/workspace/sdk") << QStringLiteral("/home/me/workspace/usr/include")
            << QByteArray("/usr/lib/x /workspace/y")
            << QByteArray("/home/me/workspace/sdk/usr/lib/x /home/me/workspace/usr/include/y");
    QTest::newRow("paths escaped for JSON, no back-references")
            << QStringLiteral("/a \"b\"\\2$2\b\f\n\r\t\x01\x1f\x7f") << QStringLiteral("/h\u00f6me/\U0001F600")
            << QByteArray(R"(["/usr/include", "/workspace"])")
            << QByteArray(R"(["/a \"b\"\\2$2\b\f\n\r\t\u0001\u001f)" "\x7f" R"(/usr/include", "/h)" "\xc3\xb6me/\xf0\x9f\x98\x80\"]");
    QTest::newRow("escaped slash in JSON") << s << w << QByteArray(R"(["\/usr/include", "\\/usr/include"])")
                                           << QByteArray(R"(["\/usr/include", "\\/S/usr/include"])");
    QTest::newRow("cross root ends with its string") << s << w
            << QByteArray(R"(["/opt/cross/x", "y/sys-root/usr/include", "/opt/cross/a\"b/sys-root/usr/share"])")
            << QByteArray(R"(["/opt/cross/x", "y/sys-root/S/usr/include", "/S/usr/share"])");
}

void tst_Rules::replyText()
{
    QFETCH(QString, sysroot);
    QFETCH(QString, workspace);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    const QByteArray output = CmakeApiMapper(sysroot, workspace).rewriteReplyText(input);
    QCOMPARE(output, expected);
    QJsonParseError inputError, outputError;
    QJsonDocument::fromJson(input, &inputError);
    QJsonDocument::fromJson(output, &outputError);
    if (inputError.error == QJsonParseError::NoError)
        QCOMPARE(outputError.errorString(), inputError.errorString());
}

void tst_Rules::cacheValue_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("sysroot");
    const auto row = [](const char *tag, const QString &name, const QString &value, const QString &expected,
                        const QString &sysroot = "/S") { QTest::newRow(tag) << name << value << expected << sysroot; };

    const QString all = "/usr/include /usr/lib /usr/share /workspace";
    row("ordinary entry", "X", all, "/S/usr/include /S/usr/lib /S/usr/share /W");
    row("INCLUDE_INSTALL_DIR", "INCLUDE_INSTALL_DIR", all, "/usr/include /S/usr/lib /S/usr/share /W");
    row("LIB_INSTALL_DIR", "LIB_INSTALL_DIR", all, "/S/usr/include /usr/lib /S/usr/share /W");
    row("SHARE_INSTALL_PREFIX", "SHARE_INSTALL_PREFIX", all, "/S/usr/include /S/usr/lib /usr/share /W");
    for (const char *flags : { "CMAKE_CXX_FLAGS", "CMAKE_EXE_LINKER_FLAGS", "CMAKE_MODULE_LINKER_FLAGS", "CMAKE_SHARED_LINKER_FLAGS" })
        row(flags, flags, "-I/usr/include/x -L/usr/lib /workspace", "-I/S/usr/include/x -L/usr/lib /W");
    row("names are case-sensitive", "cmake_cxx_flags", "-L/usr/lib", "-L/S/usr/lib");
    row("no lib64, no specs guard", "X", "-L/usr/lib64 -specs=/usr/lib/f", "-L/usr/lib64 -specs=/S/usr/lib/f");
    row("cross root with a quote", "X", "/opt/cross/a\"b/sys-root/usr/share", "/S/usr/share");
    // The JSON writer escapes the whole value, so the paths go in as they are.
    row("paths inserted as they are", "X", "/usr/share", "/\"\\2/usr/share", "/\"\\2");
}

void tst_Rules::cacheValue()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    QFETCH(QString, expected);
    QFETCH(QString, sysroot);
    QCOMPARE(CmakeApiMapper(sysroot, "/W").rewriteCacheValue(name, value), expected);
}

void tst_Rules::cacheDocument_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected"); // compact; null when the rewrite must fail

    QTest::newRow("entries mapped, other members kept")
            << QByteArray(R"({"kind":"cache","version":{"major":2},"entries":[{"name":"X","value":"/usr/lib:/usr/lib64",)"
                          R"("type":"PATH","properties":[{"name":"HELPSTRING","value":"/usr/lib"}]}]})")
            << QByteArray(R"({"kind":"cache","version":{"major":2},"entries":[{"name":"X","value":"/S/usr/lib:/usr/lib64",)"
                          R"("type":"PATH","properties":[{"name":"HELPSTRING","value":"/usr/lib"}]}]})");
    QTest::newRow("malformed entries kept")
            << QByteArray(R"({"kind":"cache","entries":[5,"/usr/lib",{"name":"A"},{"value":7},{"value":"/usr/lib"}]})")
            << QByteArray(R"({"kind":"cache","entries":[5,"/usr/lib",{"name":"A"},{"value":7},{"value":"/S/usr/lib"}]})");
    QTest::newRow("no entries") << QByteArray(R"({"kind":"cache"})") << QByteArray(R"({"kind":"cache","entries":[]})");
    QTest::newRow("entries not an array") << QByteArray(R"({"kind":"cache","entries":{"value":"/usr/lib"}})")
                                          << QByteArray(R"({"kind":"cache","entries":[]})");
    QTest::newRow("another kind") << QByteArray(R"({"kind":"codemodel","entries":[]})") << QByteArray();
    QTest::newRow("no kind") << QByteArray(R"({"entries":[]})") << QByteArray();
    QTest::newRow("kind not a string") << QByteArray(R"({"kind":["cache"]})") << QByteArray();
    QTest::newRow("invalid JSON") << QByteArray(R"({"kind":"cache","entries":[})") << QByteArray();
    QTest::newRow("top-level array") << QByteArray(R"([{"kind":"cache"}])") << QByteArray();
}

void tst_Rules::cacheDocument()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QByteArray text = input;
    QCOMPARE(CmakeApiMapper("/S", "/W").doCMakeApiCacheReplyPathMapping(text), !expected.isNull());
    QCOMPARE(text, expected.isNull() ? input : QJsonDocument::fromJson(expected).toJson(QJsonDocument::Indented));
}

void tst_Rules::matchesReference()
{
    // Fragments that make near misses likely: parts of every rule, word and
    // non-word characters, a multi-byte character. Quotes and backslashes are
    // JSON syntax in reply text, so only cache values get them.
    const char *const fragments[] = { "/usr/", "/usr", "include", "local/", "lib", "64", "share", "/opt/cross/", "x",
                                      "/sys-root", "-specs=", "/workspace", "s", "_", "-", "/", ".", "\xc3\xa9", "\"", "\\" };
    CmakeApiMapper mapper("/S", "/W");
    QRandomGenerator random(20261206);
    for (int round = 0; round < 50000; ++round) {
        QByteArray text;
        for (int n = random.bounded(1, 14); n > 0; --n)
            text += fragments[random.bounded(int(std::size(fragments)))];
        const QString value = QString::fromUtf8(text);
        const QString cacheValue = mapper.rewriteCacheValue("X", value);
        QCOMPARE(cacheValue, referenceRewrite(value, { include, cacheEntryLibrary, share }, "/S", "/W"));
        if (!text.contains('"') && !text.contains('\\')) {
            const QString expected = referenceRewrite(value, { include, replyTextLibrary, share }, "/S", "/W");
            QCOMPARE(QString::fromUtf8(mapper.rewriteReplyText(text)), expected);
        }
    }
}

QTEST_GUILESS_MAIN(tst_Rules)
#include "tst_rules.moc"
