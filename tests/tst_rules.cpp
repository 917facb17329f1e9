// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The path rules, in the rows a reader needs to see and against the rules
// written as regular expressions on generated texts; the cache reply's
// rewrite.

#include <QtTest/QTest>

#define PROPERTY_CHECK(condition) QVERIFY2(condition, #condition)

#include "properties.h"

#include "cmakeapimapper.h"
#include "hosttable.h"
#include "includedirectories.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QRandomGenerator>

class tst_Rules : public QObject
{
    Q_OBJECT

private slots:
    void replyText_data();
    void replyText();
    void cacheDocument_data();
    void cacheDocument();
    void matchesReference();
    void mappingsMatchReference();
    void hostTable_data();
    void hostTable();
    void hostPrefixesMapAsARun();
    void includeDirectories_data();
    void includeDirectories();
};

void tst_Rules::replyText_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("sysroot");
    QTest::addColumn<QString>("workspace");
    const auto row = [](const char *tag, const QByteArray &input, const QByteArray &expected, const QString &sysroot = "/S",
                        const QString &workspace = "/W") { QTest::newRow(tag) << input << expected << sysroot << workspace; };

    // What a reader needs to see, and what JSON adds: the regular expressions
    // below cover the rest.
    row("system directories", "/usr/include/zlib.h /usr/local/include /usr/share/cmake /usr/lib/x /usr/lib64/y",
        "/S/usr/include/zlib.h /S/usr/local/include /S/usr/share/cmake /S/usr/lib/x /S/usr/lib64/y");
    row("cross root, specs guard, workspace", "/opt/cross/a/sys-root/usr/lib64/c.so -specs=/usr/lib/rpm/cc1 /workspaces/x",
        "/S/usr/lib64/c.so -specs=/usr/lib/rpm/cc1 /Ws/x");
    row("paths escaped for JSON, no back-references", R"(["/usr/include", "/workspace"])",
        R"(["/a \"b\"\\2$2\b\f\n\r\t\u0001\u001f)" "\x7f" R"(/usr/include", "/h)" "\xc3\xb6me/\xf0\x9f\x98\x80\"]",
        "/a \"b\"\\2$2\b\f\n\r\t\x01\x1f\x7f", "/h\u00f6me/\U0001F600");
    row("escaped slash in JSON", R"(["\/usr/include", "\\/usr/include"])", R"(["\/usr/include", "\\/S/usr/include"])");
    row("cross root ends with its string", R"(["/opt/cross/x", "y/sys-root/usr/include", "/opt/cross/a\"b/sys-root/usr/share"])",
        R"(["/opt/cross/x", "y/sys-root/S/usr/include", "/S/usr/share"])");
}

void tst_Rules::replyText()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, sysroot);
    QFETCH(QString, workspace);
    QTEST(mapJson(input, sysroot, workspace), "expected");
}

void tst_Rules::cacheDocument_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected"); // compact; empty where the rewrite fails
    // Install directories are where the project installs to, and flags name
    // libraries as the build environment links them.
    QByteArray input = R"({"kind":"cache","entries":[)", expected = input;
    for (const auto &[name, value] : { std::pair { "INCLUDE_INSTALL_DIR", "/usr/include /S/usr/lib /S/usr/share" },
                                       { "LIB_INSTALL_DIR", "/S/usr/include /usr/lib /S/usr/share" },
                                       { "SHARE_INSTALL_PREFIX", "/S/usr/include /S/usr/lib /usr/share" },
                                       { "CMAKE_CXX_FLAGS", "/S/usr/include /usr/lib /S/usr/share" },
                                       { "CMAKE_EXE_LINKER_FLAGS", "/S/usr/include /usr/lib /S/usr/share" },
                                       { "CMAKE_MODULE_LINKER_FLAGS", "/S/usr/include /usr/lib /S/usr/share" },
                                       { "CMAKE_SHARED_LINKER_FLAGS", "/S/usr/include /usr/lib /S/usr/share" },
                                       { "CMAKE_C_FLAGS", "/S/usr/include /S/usr/lib /S/usr/share" } }) {
        input += R"({"name":")" + QByteArray(name) + R"(","value":"/usr/include /usr/lib /usr/share"},)";
        expected += R"({"name":")" + QByteArray(name) + R"(","value":")" + value + "\"},";
    }
    QTest::newRow("rules by entry name") << input.chopped(1) + "]}" << expected.chopped(1) + "]}";
    QTest::newRow("malformed entries kept")
            << QByteArray(R"({"kind":"cache","entries":[5,"/usr/lib",{"value":7},{"value":"/usr/lib\ud800"}]})")
            << QByteArray(R"({"kind":"cache","entries":[5,"/usr/lib",{"value":7},{"value":"/S/usr/lib\ud800"}]})");
    QTest::newRow("byte-order marks kept")
            << QByteArray(R"(%{"kind":"cache","entries":[{"name":"%N","value":"%/usr/lib"}]})").replace("%", "\xEF\xBB\xBF")
            << QByteArray(R"({"kind":"cache","entries":[{"name":"\ufeffN","value":"\ufeff/S/usr/lib"}]})");
    // Left as they are, not written again: a reply without entries to map
    // fails, and one whose entries the rules leave keeps its bytes.
    QTest::newRow("entries not an array") << QByteArray(R"({"kind":"cache","entries":{"value":"/usr/lib"}})") << QByteArray();
    QTest::newRow("nothing to map") << QByteArray(R"({"kind":"cache","entries":[{"value":"/usr/lib64"}]})")
                                    << QByteArray(R"({"kind":"cache","entries":[{"value":"/usr/lib64"}]})");
}

void tst_Rules::cacheDocument()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QByteArray text = input;
    QCOMPARE(CmakeApiMapper("/S", "/W").doCMakeApiCacheReplyPathMapping(text), !expected.isEmpty());
    QCOMPARE(text, expected.isEmpty() || expected == input ? input : QJsonDocument::fromJson(expected).toJson());
}

void tst_Rules::matchesReference()
{
    // A quote that backslashes escape, across carriage returns too, is no place to cut.
    const std::pair<QByteArray, qsizetype> cuts[] = { { R"("a\"b)", 1 }, { R"("a\\"b)", 5 }, { "\"a\\\r\"b", 1 }, { "ab", 0 } };
    for (const auto &[text, cut] : cuts)
        QCOMPARE(replyTextCutPoint(text), cut);

    // Fragments that make near misses likely: parts of every rule, word and
    // non-word characters, a multi-byte character, JSON syntax; and for texts,
    // not paths, a byte-order mark.
    const char *const fragments[] = { "/usr/", "/usr", "include", "local/", "lib", "64", "share", "/opt/cross/", "x",
                                      "/sys-root", "-specs=", "/workspace", "s", "_", "-", "/", ".", "\xc3\xa9", "\r",
                                      "\"", "\\", "\xef\xbb\xbf" };
    QRandomGenerator random(20261206);
    const auto generate = [&](int least, int most, bool isPath) {
        QByteArray text;
        for (int n = random.bounded(least, most); n > 0; --n)
            text += fragments[random.bounded(int(std::size(fragments)) - isPath)];
        return text;
    };
    for (int round = 0; round < 50000; ++round) {
        const QByteArray text = generate(1, 14, false);
        const QString sysroot = QString::fromUtf8(generate(0, 4, true));
        const QString workspace = QString::fromUtf8(generate(0, 4, true));
        const QString value = QString::fromUtf8(text);
        QCOMPARE(PathRules({ sysroot, workspace }).mapValue(value, AllDirectoryRules),
                 referenceRewrite(value, { include, cacheEntryLibrary, share }, sysroot, workspace));
        checkReplyText(text, sysroot, workspace, random.bounded(text.size() + 1));
        if (QTest::currentTestFailed())
            return;
    }
}

// Generated texts full of separators, flags, quotes and escapes, with
// mappings that nest, meet a fixed rule or hold another CONTAINER in their
// HOST, against the rule as README states it.
void tst_Rules::mappingsMatchReference()
{
    const char *const fragments[] = { "/opt/deps", "/opt", "/opt/deps/include", "/usr/local/lib", "/workspaces/app",
                                      "/workspace", "/usr/include", "/usr/lib", "/opt/cross/T/sys-root", "/src", "/",
                                      "-I", "-isystem", "-L", "-specs=", " ", "\t", "\\t", ";", ":", ",", "=", "@",
                                      "\"", "\\\"", "\\\\", "\\/", "x", "s", "-", "/w/caf\xc3\xa9", "/w/caf\\u00e9", "\n" };
    const QList<PathMapping> pool = { { "/opt/deps", "/h/deps" }, { "/opt", "/h/opt" },
                                      { "/opt/deps/include", "/opt/deps/x" }, { "/workspaces/app", "/home/me/app" },
                                      { "/usr/local/lib", "/h \"q\"" }, { "/opt/cross/T/sys-root", "/srv/t" },
                                      { "/usr/include", "/I" }, { "/src", "/workspace/usr/lib" }, { "/w/caf\u00e9", "/h\u00e9" } };
    // Any number of flags in a row, and a path of any length with no
    // separator, cost a scan: once a crash, once an hour.
    const QByteArray flags = QByteArray("-I").repeated(300000);
    QCOMPARE(mapJson(flags + "/opt/deps/x", "/S", "/W", nullptr, pool), flags + "/h/deps/x");
    QElapsedTimer timer;
    timer.start();
    RewriteCheck check;
    mapJson(QByteArray("/h/deps/usr/lib").repeated(30000), "/S", "/W", &check, pool.first(1));
    QCOMPARE(check, RewriteCheck::MayBeRewritten);
    QCOMPARE_LT(timer.elapsed(), 2000);
    // No cross root runs across a line's end, which starts a path.
    QByteArray lines;
    QVERIFY(PathRules({ "/S", "/W", pool.first(1) }).appendMappedLines(lines, "/opt/cross/a\nb/sys-root/usr/include\n/opt/deps"));
    QCOMPARE(lines, "/opt/cross/a\nb/sys-root/S/usr/include\n/h/deps");
    // As CMake writes a reply object: lower-case hex, UTF-16.
    QCOMPARE(jsonEscapedAscii(QString::fromUtf8("/w/caf\u00e9\U0001F600\"")), "/w/caf\\u00e9\\ud83d\\ude00\\\"");
    QRandomGenerator random(20261207);
    for (int round = 0; round < 20000; ++round) {
        QByteArray text;
        for (int n = random.bounded(1, 12); n > 0; --n)
            text += fragments[random.bounded(int(std::size(fragments)))];
        QList<PathMapping> mappings, escaped;
        for (const PathMapping &mapping : pool) {
            if (random.bounded(3) == 0) {
                mappings.append(mapping);
                for (const QByteArray &container : { jsonEscaped(mapping.container), jsonEscapedAscii(mapping.container) })
                    escaped.append({ QString::fromUtf8(container), QString::fromUtf8(jsonEscaped(mapping.host)) });
            }
        }
        const QString value = QString::fromUtf8(text);
        const QByteArray mapped = mapJson(text, "/S", "/W", nullptr, mappings);
        QCOMPARE(mapped, referenceMap(value, escaped, replyTextRules, "/S", "/W", true).toUtf8());
        QCOMPARE(PathRules({ "/S", "/W", mappings }).mapValue(value, AllDirectoryRules),
                 referenceMap(value, mappings, { include, cacheEntryLibrary, share }, "/S", "/W", false));
        // Plain text, as --filter maps it: each line as a decoded text of its own, by the reply-text rules.
        QStringList lines = value.split(u'\n');
        for (QString &line : lines)
            line = referenceMap(line, mappings, replyTextRules, "/S", "/W", false);
        QByteArray plain;
        QCOMPARE(PathRules({ "/S", "/W", mappings }).appendMappedLines(plain, text) ? plain : text, lines.join(u'\n').toUtf8());
        // What a mapping inserted is never taken for text no rewrite made.
        mapJson(mapped, "/S", "/W", &check, mappings);
        QVERIFY2(check != RewriteCheck::NotRewritten, text + " -> " + mapped + " " + QByteArray::number(mappings.size()));
        if (QTest::currentTestFailed())
            return;
    }
}

void tst_Rules::hostTable_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QStringList>("paths"); // sysroot, workspace, CONTAINER=HOST...
    QTest::addColumn<QByteArray>("expected"); // or why a path cannot be given
    const QStringList quoted = { "/s", "/w\"q\\", "/mnt/a b=/h`b", "/usr/lib=/l", "/usr/local=/o", "/workspace/x=/x",
                                 "/opt/cross/U=/u" };
    QTest::newRow("gdb: a backslash before each quote and backslash") << "gdb" << quoted << QByteArray(
            "set substitute-path \"/opt/cross/U\" \"/u\"\nset substitute-path \"/usr/include\" \"/s/usr/include\"\n"
            "set substitute-path \"/workspace/x\" \"/x\"\nset substitute-path \"/usr/lib64\" \"/s/usr/lib64\"\n"
            "set substitute-path \"/usr/local\" \"/o\"\nset substitute-path \"/usr/share\" \"/s/usr/share\"\n"
            "set substitute-path \"/workspace\" \"/w\\\"q\\\\\"\nset substitute-path \"/mnt/a b\" \"/h`b\"\n"
            "set substitute-path \"/usr/lib\" \"/l\"\n");
    QTest::newRow("lldb: and before a backquote, in one command") << "lldb" << quoted.mid(0, 3) << QByteArray(
            "settings set target.source-map \"/usr/local/include\" \"/s/usr/local/include\" \"/usr/include\" "
            "\"/s/usr/include\" \"/usr/lib64\" \"/s/usr/lib64\" \"/usr/share\" \"/s/usr/share\" \"/workspace\" "
            "\"/w\\\"q\\\\\" \"/mnt/a b\" \"/h\\`b\" \"/usr/lib\" \"/s/usr/lib\"\n");
    QTest::newRow("clangd: one argument, the host first") << "clangd" << QStringList { "/s", "/w \"q" } << QByteArray(
            "--path-mappings=/s/usr/local/include=/usr/local/include,/s/usr/include=/usr/include,/s/usr/lib64=/usr/lib64,"
            "/s/usr/share=/usr/share,/w \"q=/workspace,/s/usr/lib=/usr/lib\n");
    QTest::newRow("vscode: JSON") << "vscode" << QStringList { "/s", "/w", "/a \"b\\=/h\tc", "/usr=/u" } << QByteArray(
            "{\n    \"/workspace\": \"/w\",\n    \"/a \\\"b\\\\\": \"/h\\tc\",\n    \"/usr\": \"/u\"\n}\n");
    QTest::newRow("lines: a cross root by name, a mapping over it") << "lines"
            << QStringList { "/s", "/w", "/usr=/u", "/opt/cross/T/sys-root/usr/lib=/t" } << QByteArray(
            "/opt/cross/T/sys-root/usr/local/include=/s/usr/local/include\n/opt/cross/T/sys-root/usr/include=/s/usr/include\n"
            "/opt/cross/T/sys-root/usr/lib64=/s/usr/lib64\n/opt/cross/T/sys-root/usr/share=/s/usr/share\n"
            "/opt/cross/T/sys-root/usr/lib=/t\n/workspace=/w\n/usr=/u\n");
    QTest::newRow("gdb: no newline") << "gdb" << QStringList { "/s", "/w\nx" } << QByteArray("\"/w\nx\": it holds a newline");
    QTest::newRow("clangd: no comma") << "clangd" << QStringList { "/s", "/w", "/a,b=/h" } << QByteArray("\"/a,b\": it holds \",\"");
    QTest::newRow("clangd: no \"=\" in a host") << "clangd" << QStringList { "/s", "/w=x" } << QByteArray("\"/w=x\": it holds \"=\"");
    QTest::newRow("clangd: a relative host") << "clangd" << QStringList { "s", "/w" } << QByteArray("\"s/usr/local/include\": it is not absolute");
    QTest::newRow("lines: no \"=\" in a CONTAINER") << "lines" << QStringList { "/s", "/w", "/a=b=/h" }
                                                     << QByteArray("\"/a=b\": it holds \"=\"");
}

void tst_Rules::hostTable()
{
    QFETCH(QString, format);
    QFETCH(QStringList, paths);
    QFETCH(QByteArray, expected);
    MappingPaths mappingPaths = { paths.at(0), paths.at(1) };
    for (const QString &mapping : paths.mid(2))
        mappingPaths.mappings.append({ mapping.section(u'=', 0, -2), mapping.section(u'=', -1) });
    HostFormat hostFormat;
    QVERIFY(hostFormatNamed(format, hostFormat));
    QByteArray table;
    const bool isGiven = formatHostTable(hostPrefixes(mappingPaths, format == u"lines" ? QStringList { "T" } : QStringList()),
                                         hostFormat, table);
    QCOMPARE(table, expected);
    QCOMPARE(isGiven, !expected.contains(": it "));
}

// A path that starts with a prefix of the table, taken by the first prefix
// that matches as whole components, as gdb and clangd take it, maps as a run
// maps it, whatever the mappings hold.
void tst_Rules::hostPrefixesMapAsARun()
{
    const QList<PathMapping> pool = { { "/usr", "/h/usr" }, { "/usr/include/sdk", "/h/sdk" }, { "/opt/cross/T", "/h/t" },
                                      { "/opt/cross/U/sys-root/usr/lib", "/h/u" }, { "/workspace/build", "/h/b" },
                                      { "/workspace", "/h/w" }, { "/usr/lib6", "/h/lib6" }, { "/opt", "/h/opt" } };
    QRandomGenerator random(20261208);
    for (int round = 0; round < 2000; ++round) {
        MappingPaths paths = { "/S", "/W" };
        for (const PathMapping &mapping : pool) {
            if (random.bounded(3) == 0)
                paths.mappings.append(mapping);
        }
        const QList<PathMapping> table = hostPrefixes(paths, { "T", "U" });
        for (const PathMapping &entry : table) {
            for (const QString &rest : { QString(), QStringLiteral("/a.c"), QStringLiteral("/include/b.h") }) {
                const QString path = entry.container + rest;
                const auto taken = std::find_if(table.begin(), table.end(), [&](const PathMapping &prefix) {
                    return path == prefix.container || path.startsWith(prefix.container + u'/');
                });
                QByteArray mapped;
                const QByteArray run = PathRules(paths).appendMappedLines(mapped, path.toUtf8()) ? mapped : path.toUtf8();
                QCOMPARE(taken->host + path.mid(taken->container.size()), QString::fromUtf8(run));
            }
        }
    }
}

// What a copy of a container's headers must hold: the directories each
// object or the database names, as CMake writes them.
void tst_Rules::includeDirectories_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("target: includes of each group, relative and frameworks left")
            << QByteArray("target-a-Debug-0123.json")
            << QByteArray(R"({"compileGroups":[{"includes":[{"backtrace":1,"path":"/usr/include/a"},{"path":"rel"}],)"
                          R"("frameworks":[{"path":"/F"}]},{"includes" : [ {"isSystem":true,"path" : "/opt/x\/y"} ]}],)"
                          R"("name":"\"includes\""})")
            << QStringList { "/opt/x/y", "/usr/include/a" };
    QTest::newRow("toolchains: implicit include directories")
            << QByteArray("toolchains-v1-0123.json")
            << QByteArray(R"({"toolchains":[{"compiler":{"implicit":{"includeDirectories":["/usr/include","/usr/lib/gcc/x/12/include"],)"
                          R"("linkDirectories":["/usr/lib"]}}}]})")
            << QStringList { "/usr/include", "/usr/lib/gcc/x/12/include" };
    QTest::newRow("another object names none") << QByteArray("cache-v2-0123.json")
                                               << QByteArray(R"({"includes":[{"path":"/usr/include"}]})") << QStringList {};
    QTest::newRow("database: command and arguments, joined and apart")
            << QByteArray("compile_commands.json")
            << QByteArray(R"([{"command":"cc -I/a -isystem /b -idirafter  /c -iquote /d -include /e.h -isysroot /f -Irel -DX=-I/g x.c"},)"
                          "\n"
                          R"({"arguments":["cc","-isystem","/h","-I/i","-iquote",)" "\n" R"(  "/j","-I\/k","-I/l m"]}])")
            << QStringList { "/a", "/b", "/c", "/d", "/h", "/i", "/j", "/k", "/l m" };
}

void tst_Rules::includeDirectories()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, text);
    QFETCH(QStringList, expected);

    QSet<QString> found;
    if (name == "compile_commands.json")
        addDatabaseIncludeDirectories(text, found);
    else
        addObjectIncludeDirectories(name, text, found);
    QStringList sorted(found.begin(), found.end());
    sorted.sort();
    QCOMPARE(sorted, expected);
}

QTEST_GUILESS_MAIN(tst_Rules)
#include "tst_rules.moc"
