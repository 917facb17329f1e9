// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

#include "cmakeapimapper.h"
#include "mappingnote.h"
#include "pathrules.h"
#include "referencerewrite.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QRandomGenerator>
#include <QtTest/QTest>

class tst_Rules : public QObject
{
    Q_OBJECT

private slots:
    void replyText_data();
    void replyText();
    void cacheDocument_data();
    void cacheDocument();
    void matchesReference();
    void contentChecksum();
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
    const QByteArray output = rewriteReplyText(input, sysroot, workspace);
    QCOMPARE(output, expected);
    QJsonParseError inputError, outputError;
    QJsonDocument::fromJson(input, &inputError);
    QJsonDocument::fromJson(output, &outputError);
    if (inputError.error == QJsonParseError::NoError)
        QCOMPARE(outputError.errorString(), inputError.errorString());
}

// A cache reply of one entry, compact.
static QByteArray cacheOf(const QString &name, const QString &value)
{
    const QJsonObject entry { { "name", name }, { "value", value } };
    return QJsonDocument(QJsonObject { { "kind", "cache" }, { "entries", QJsonArray { entry } } }).toJson(QJsonDocument::Compact);
}

void tst_Rules::cacheDocument_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected"); // compact; null when the rewrite must fail
    QTest::addColumn<QString>("sysroot");
    const auto row = [](const char *tag, const QByteArray &input, const QByteArray &expected,
                        const QString &sysroot = "/S") { QTest::newRow(tag) << input << expected << sysroot; };
    const auto entry = [&](const char *tag, const QString &name, const QString &value, const QString &expected,
                           const QString &sysroot = "/S") { row(tag, cacheOf(name, value), cacheOf(name, expected), sysroot); };

    const QString all = "/usr/include /usr/lib /usr/share /workspace";
    entry("ordinary entry", "X", all, "/S/usr/include /S/usr/lib /S/usr/share /W");
    entry("INCLUDE_INSTALL_DIR", "INCLUDE_INSTALL_DIR", all, "/usr/include /S/usr/lib /S/usr/share /W");
    entry("LIB_INSTALL_DIR", "LIB_INSTALL_DIR", all, "/S/usr/include /usr/lib /S/usr/share /W");
    entry("SHARE_INSTALL_PREFIX", "SHARE_INSTALL_PREFIX", all, "/S/usr/include /S/usr/lib /usr/share /W");
    for (const char *flags : { "CMAKE_CXX_FLAGS", "CMAKE_EXE_LINKER_FLAGS", "CMAKE_MODULE_LINKER_FLAGS", "CMAKE_SHARED_LINKER_FLAGS" })
        entry(flags, flags, "-I/usr/include/x -L/usr/lib /workspace", "-I/S/usr/include/x -L/usr/lib /W");
    entry("names are case-sensitive", "cmake_cxx_flags", "-L/usr/lib", "-L/S/usr/lib");
    entry("no lib64, no specs guard", "X", "-L/usr/lib64 -specs=/usr/lib/f", "-L/usr/lib64 -specs=/S/usr/lib/f");
    entry("cross root with a quote", "X", "/opt/cross/a\"b/sys-root/usr/share", "/S/usr/share");
    // The JSON writer escapes the whole value, so the paths go in as they are.
    entry("paths inserted as they are", "X", "/usr/share", "/\"\\2/usr/share", "/\"\\2");

    row("entries mapped, other members kept",
        R"({"kind":"cache","version":{"major":2},"entries":[{"name":"X","value":"/usr/lib:/usr/lib64",)"
        R"("type":"PATH","properties":[{"name":"HELPSTRING","value":"/usr/lib"}]}]})",
        R"({"kind":"cache","version":{"major":2},"entries":[{"name":"X","value":"/S/usr/lib:/usr/lib64",)"
        R"("type":"PATH","properties":[{"name":"HELPSTRING","value":"/usr/lib"}]}]})");
    row("malformed entries kept", R"({"kind":"cache","entries":[5,"/usr/lib",{"name":"A"},{"value":7},{"value":"/usr/lib"}]})",
        R"({"kind":"cache","entries":[5,"/usr/lib",{"name":"A"},{"value":7},{"value":"/S/usr/lib"}]})");
    row("no entries", R"({"kind":"cache"})", R"({"kind":"cache","entries":[]})");
    row("entries not an array", R"({"kind":"cache","entries":{"value":"/usr/lib"}})", R"({"kind":"cache","entries":[]})");
    row("another kind", R"({"kind":"codemodel","entries":[]})", QByteArray());
    row("no kind", R"({"entries":[]})", QByteArray());
    row("kind not a string", R"({"kind":["cache"]})", QByteArray());
    row("invalid JSON", R"({"kind":"cache","entries":[})", QByteArray());
    row("top-level array", R"([{"kind":"cache"}])", QByteArray());
}

void tst_Rules::cacheDocument()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QFETCH(QString, sysroot);
    QByteArray text = input;
    QCOMPARE(CmakeApiMapper(sysroot, "/W").doCMakeApiCacheReplyPathMapping(text), !expected.isNull());
    QCOMPARE(text, expected.isNull() ? input : QJsonDocument::fromJson(expected).toJson(QJsonDocument::Indented));
}

void tst_Rules::matchesReference()
{
    // A quote that backslashes escape, across carriage returns too, is no place to cut.
    const std::pair<QByteArray, qsizetype> cuts[] = { { R"("a\"b)", 1 }, { R"("a\\"b)", 5 }, { "\"a\\\r\"b", 1 }, { "ab", 0 } };
    for (const auto &[text, cut] : cuts)
        QCOMPARE(replyTextCutPoint(text), cut);

    // Fragments that make near misses likely: parts of every rule, word and
    // non-word characters, a multi-byte character. Quotes and backslashes are
    // JSON syntax in reply text, so only cache values get them.
    const char *const fragments[] = { "/usr/", "/usr", "include", "local/", "lib", "64", "share", "/opt/cross/", "x",
                                      "/sys-root", "-specs=", "/workspace", "s", "_", "-", "/", ".", "\xc3\xa9", "\r",
                                      "\xef\xbb\xbf", "\"", "\\" };
    const RuleSet cacheEntry { AllDirectoryRules, false };
    QRandomGenerator random(20261206);
    const auto generate = [&](int least, int most) {
        QByteArray text;
        for (int n = random.bounded(least, most); n > 0; --n)
            text += fragments[random.bounded(int(std::size(fragments)))];
        return text;
    };
    for (int round = 0; round < 50000; ++round) {
        const QByteArray text = generate(1, 14);
        const QString value = QString::fromUtf8(text);
        const QString cacheValue = rewriteString(value, cacheEntry, "/S", "/W");
        QCOMPARE(cacheValue, referenceRewrite(value, { include, cacheEntryLibrary, share }, "/S", "/W"));
        if (!text.contains('"') && !text.contains('\\')) {
            const QString expected = referenceRewrite(value, { include, replyTextLibrary, share }, "/S", "/W");
            QCOMPARE(QString::fromUtf8(rewriteReplyText(text, "/S", "/W")), expected);
        }

        // A rewrite's output is never taken for text that no rewrite made,
        // whatever the paths hold; text with a match and neither path is.
        const QString sysroot = QString::fromUtf8(generate(0, 4));
        const QString workspace = QString::fromUtf8(generate(0, 4));
        const auto check = [](const QByteArray &text, const QString &sysroot, const QString &workspace) {
            QByteArray out;
            RewriteCheck result;
            appendRewritten(out, text, RuleSet(), jsonEscaped(sysroot), jsonEscaped(workspace), &result);
            return result;
        };
        const QByteArray mapped = rewriteReplyText(text, sysroot, workspace);
        QVERIFY2(check(mapped, sysroot, workspace) != RewriteCheck::NotRewritten,
                 qPrintable(sysroot + ' ' + workspace + ' ' + mapped));
        QCOMPARE(check(text, "/S", "/W"),
                 rewriteReplyText(text, "/S", "/W") == text ? RewriteCheck::NothingToRewrite : RewriteCheck::NotRewritten);

        // Cut where the rules allow, text maps piece by piece as it maps whole.
        const auto mapPiece = [](QByteArray text, bool isFileStart) {
            unsigned dropped = 0;
            return normalizeReplyText(text, dropped, isFileStart) ? rewriteReplyText(text, "/S", "/W") : "invalid";
        };
        const qsizetype cut = replyTextCutPoint(QByteArrayView(text).first(random.bounded(text.size() + 1)));
        QCOMPARE(mapPiece(text.first(cut), true) + mapPiece(text.sliced(cut), cut == 0), mapPiece(text, true));
    }
}

// The database's checksum is XXH64, whatever the pieces it is fed in.
void tst_Rules::contentChecksum()
{
    const QByteArray text = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    for (const qsizetype pieceSize : { 1, 7, 40 }) {
        ContentChecksum checksum;
        for (qsizetype i = 0; i < text.size(); i += pieceSize)
            checksum.add(QByteArrayView(text).sliced(i, std::min(pieceSize, text.size() - i)));
        QCOMPARE(checksum.result(), 0x98c5cacccb7ad340ULL);
    }
    QCOMPARE(ContentChecksum().result(), 0xef46db3751d8e999ULL);
}

QTEST_GUILESS_MAIN(tst_Rules)
#include "tst_rules.moc"
