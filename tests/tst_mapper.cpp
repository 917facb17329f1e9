// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

#include "cmakeapimapper.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDirIterator>
#include <QtCore/QJsonDocument>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>

#include <functional>

#include <csignal>
#include <cstddef>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using Setup = std::function<void(const QString &buildDir)>;
using ChildSetup = std::function<void()>;
Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(ChildSetup)

namespace {

constexpr uid_t nobody = 65534;
const QString reply = "/.cmake/api/v1/reply";
const QString query = "/.cmake/api/v1/query";
const QString noteName = ".dorvane-mapped-files";

QByteArray sha3(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Sha3_256).toHex();
}

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
}

void setOwner(const QString &path, uid_t uid)
{
    QVERIFY(::lchown(QFile::encodeName(path).constData(), uid, uid) == 0);
}

void setMode(const QString &path, mode_t mode)
{
    QVERIFY(::chmod(QFile::encodeName(path).constData(), mode) == 0);
}

// Content, mode and kind of every file below the build directory but the query.
QMap<QString, QString> snapshot(const QString &buildDir)
{
    QMap<QString, QString> files;
    QDirIterator it(buildDir, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo file(it.next());
        if (file.filePath().startsWith(buildDir + query) || file.fileName() == noteName)
            continue;
        files[file.filePath()] = file.isSymLink() ? "link to " + file.symLinkTarget()
                : QString::number(file.permissions(), 16) + ' '
                        + (file.isFile() ? QString::fromLatin1(read(file.filePath()).toPercentEncoding()) : "special");
    }
    return files;
}

void addCase(const char *name, const QByteArrayList &files, const QStringList &arguments, const QByteArray &output,
             int exitCode, const QByteArrayList &rewritten, const Setup &setup = {}, const ChildSetup &inChild = {})
{
    QTest::newRow(name) << files << arguments << output << exitCode << rewritten << setup << inChild;
}

// In the tool's process, writes past the limit fail, as on a full disk.
ChildSetup fileSizeLimit(rlim_t bytes)
{
    return [bytes] {
        const rlimit limit = { bytes, bytes };
        if (setrlimit(RLIMIT_FSIZE, &limit) == 0)
            signal(SIGXFSZ, SIG_IGN);
    };
}

// In the tool's process, flock fails as on a file system that refuses locks.
void refuseLocks()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_flock, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOLCK),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program = { std::size(filter), filter };
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(125);
}

} // namespace

class tst_Mapper : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void lockedOut();
    void runPath();
};

void tst_Mapper::run_data()
{
    // "name=content", the name relative to the reply directory; "{hash}" in a
    // name stands for the hash CMake names the content by.
    QTest::addColumn<QByteArrayList>("files");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");
    // "name=content" after the run, or "name" for a file removed; every other file is untouched.
    QTest::addColumn<QByteArrayList>("rewritten");
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<ChildSetup>("inChild"); // run in the tool's process before it starts

    // Without the option the database is never read or written.
    const QByteArray db = "../../../../compile_commands.json=";
    const QByteArrayList in = { "index-1.json=/opt/cross/x/sys-root/usr/include /workspace/a", db + "/usr/lib" };
    const QStringList sw = { "/S", "/W" };
    addCase("two paths, no note", in, sw, "", 0, { "index-1.json=/S/usr/include /W/a" });
    addCase("two empty paths", in, { "", "" }, "", 0, { "index-1.json=/usr/include /a" });
    addCase("dash path after double dash", in, { "--", "-S", "/W" }, "", 0, { "index-1.json=-S/usr/include /W/a" });
    addCase("no paths", in, {}, "Sysroot and workspace paths must be provided!\n", 1, {});
    addCase("one path", in, { "/S" }, "workspace path must be provided!\n", 1, {});
    addCase("three paths", in, { "/S", "/W", "/X" }, "Only sysroot and workspace paths must be provided!\n", 1, {});
    addCase("version", in, { "-v", "/S", "/W" }, "Dorvane 1.0.0\n", 0, {});
    addCase("help and version", in, { "-h", "--version" }, "Dorvane 1.0.0\n", 0, {});
    addCase("unknown option", in, { "-h", "/S", "-W" }, "", 1, {});
    addCase("help", in, { "/S", "--help" }, "Usage: " DORVANE_EXE R"( [options] <sysrootPath> <workspacePath>
CMake file API path mapper

Options:
  -h, --help          Displays help on commandline options.
  --help-all          Displays help including Qt specific options.
  -v, --version       Displays version information.
  --compile-commands  Maps compile_commands.json as well.

Arguments:
  sysrootPath         sysroot path
  workspacePath       workspace path
)", 0, {});

    const Setup noReply = [](const QString &dir) { QVERIFY(QDir(dir + reply).removeRecursively()); };
    addCase("no reply", {}, sw, "Reply is not exist.\n", 0, {}, noReply);
    addCase("plain file at the reply path", {}, sw, "", 0, {}, [=](const QString &dir) {
        noReply(dir);
        write(dir + reply, "/usr/include");
    });
    addCase("plain file at the query path", { "a=/usr/lib" }, sw, "", 0, { "a=/S/usr/lib" }, [](const QString &dir) {
        QVERIFY(QDir(dir + query).removeRecursively());
        write(dir + query, "/usr/include");
    });

    const QByteArrayList order = { "c=/usr/lib", "B=\xff", "a=/usr/lib", "_x=/usr/lib", "index-a=/usr/lib" };
    addCase("by name ignoring case", order, sw, "Mapping error!\n", 1, { "_x=/S/usr/lib", "a=/S/usr/lib" });
    addCase("index files last", { "z=\xff", "index-a=/usr/lib" }, sw, "Mapping error!\n", 1, {});
    addCase("failing index file", { "a=/usr/lib", "index-1=\xff", "index-2=/usr/lib" }, sw, "Mapping error!\n", 1,
            { "a=/S/usr/lib" });
    addCase("prefixes are case-sensitive", { "Index-1=/usr/lib", "z=\xff" }, sw, "Mapping error!\n", 1,
            { "Index-1=/S/usr/lib" });
    addCase("hidden files, sub-directories", { ".h=/usr/lib", "d/f=/usr/lib", "f=/usr/lib" }, sw, "", 0,
            { "f=/S/usr/lib" });

    addCase("CR LF and byte-order mark dropped", { "r=\xEF\xBB\xBF{\r\n\"a\": \"/usr/lib\"\r\n}\r\n", "e=" }, sw, "", 0,
            { "r={\n\"a\": \"/S/usr/lib\"\n}\n", "e=" });
    addCase("invalid UTF-8", { "r=\"/usr/include\xC3\x28\"" }, sw, "Mapping error!\n", 1, {});
    addCase("overlong UTF-8", { "r=\xC0\xAF/usr/include" }, sw, "Mapping error!\n", 1, {});
    addCase("UTF-8 surrogate", { "r=/usr/include\xED\xA0\x80" }, sw, "Mapping error!\n", 1, {});
    addCase("truncated UTF-8", { "r=/usr/include\xE6\x96" }, sw, "Mapping error!\n", 1, {});

    const QByteArray cache = R"({"kind":"cache","entries":[{"name":"N","value":"/usr/lib"}]})";
    addCase("cache reply re-serialised, cache.json as text", { "cache-v2=" + cache, "cache.json=" + cache }, sw, "", 0,
            { "cache-v2=" + QJsonDocument::fromJson(cache).toJson().replace("/usr", "/S/usr"),
              "cache.json=" + QByteArray(cache).replace("/usr", "/S/usr") });
    addCase("cache reply of another kind", { "cache-v2={\"kind\":\"codemodel\"}", "z=/usr/lib" }, sw,
            "Mapping error!\n", 1, {});

    // Mapped only while the hash in its name holds, whatever it looks like.
    const QByteArray mappedCache = QJsonDocument::fromJson(cache).toJson().replace("/usr", "/S/usr");
    const QByteArray hashed = "-0123456789abcdef0123.json=";
    addCase("pristine objects", { "target-a-{hash}.json=/usr/include /workspace/a", "cache-v2-{hash}.json=" + cache }, sw,
            "", 0, { "target-a-{hash}.json=/S/usr/include /W/a", "cache-v2-{hash}.json=" + mappedCache });
    addCase("objects mapped before", { "target-a" + hashed + "/S/usr/include /W/a", "cache-v2" + hashed + mappedCache },
            sw, "", 0, {});
    addCase("pristine objects that look mapped",
            { "target-a-{hash}.json=\"/S/usr/include\"", "target-b-{hash}.json=\xEF\xBB\xBF\"/S/usr/lib\"",
              "target-c-{hash}.json={\r\n\"/S/usr/share\"\r\n}" }, sw, "", 0,
            { "target-a-{hash}.json=\"/S/S/usr/include\"", "target-b-{hash}.json=\"/S/S/usr/lib\"",
              "target-c-{hash}.json={\n\"/S/S/usr/share\"\n}" });
    addCase("pristine object, empty sysroot", { "target-a-{hash}.json=/opt/cross/x/sys-root/usr/lib /workspace/a" },
            { "", "/W" }, "", 0, { "target-a-{hash}.json=/usr/lib /W/a" });
    addCase("names not hashed", { "target-a-0123456789ABCDEF0123.json=/S/usr/lib", "target-b-0123456789abcdef012.json=/S/usr/lib",
              "target-c0123456789abcdef0123.json=/S/usr/lib" }, sw, "", 0,
            { "target-a-0123456789ABCDEF0123.json=/S/S/usr/lib", "target-b-0123456789abcdef012.json=/S/S/usr/lib",
              "target-c0123456789abcdef0123.json=/S/S/usr/lib" });
    // A limit: what another run mapped with other paths is no output of this one.
    addCase("object mapped with other paths", { "target-a" + hashed + "/T/usr/lib" }, sw, "", 0,
            { "target-a" + hashed + "/T/S/usr/lib" });
    const QByteArray note = "../" + noteName.toUtf8() + "=dorvane mapped files 1\nindex ";
    addCase("index noted", { "index-1.json=/S/usr/lib", note + sha3("/S/usr/lib") + " index-1.json\n" }, sw, "", 0, {});
    addCase("index noted with other content", { "index-1.json=/S/usr/lib", note + sha3("/S/usr/lib64") + " index-1.json\n" },
            sw, "", 0, { "index-1.json=/S/S/usr/lib" });
    addCase("note names another index", { "index-2.json=/S/usr/lib", note + sha3("/S/usr/lib") + " index-1.json\n" }, sw,
            "", 0, { "index-2.json=/S/S/usr/lib" });

    addCase("links and modes kept", { "../../../../t=/usr/lib64", "m=/usr/share", "../../../../d=/usr/lib" },
            { "--compile-commands", "/S", "/W" }, "", 0,
            { "../../../../t=/S/usr/lib64", "m=/S/usr/share", "../../../../d=/S/usr/lib" }, [](const QString &dir) {
        QVERIFY(QFile::link("../../../../t", dir + reply + "/link"));
        QVERIFY(QFile::link("d", dir + "/compile_commands.json"));
        setMode(dir + "/d", 0604);
        QVERIFY(QFile::link("missing", dir + reply + "/broken"));
        QVERIFY(QFile::link(dir, dir + reply + "/directory"));
        setMode(dir + "/t", 0640);
        setMode(dir + reply + "/m", 0604);
    });
    addCase("link to a FIFO skipped", { "b=/usr/lib" }, sw, "", 0, { "b=/S/usr/lib" }, [](const QString &dir) {
        QVERIFY(mkfifo(QFile::encodeName(dir + "/fifo").constData(), 0644) == 0);
        QVERIFY(QFile::link("../../../../fifo", dir + reply + "/a"));
    });

    // As the ordinary user the tool runs as: see run().
    const QByteArrayList big = { "a=" + QByteArray("/usr/include ").repeated(500), "b=/usr/lib" };
    const QString longSysroot = "/a/sysroot/path/long/enough/for/the/file/to/outgrow/the/size/limit";
    addCase("unreadable file", big, sw, "Mapping error!\n", 1, {}, [](const QString &dir) {
        setOwner(dir + reply + "/a", 0);
        setMode(dir + reply + "/a", 0600);
    });
    addCase("unreadable reply directory", big, sw, "Mapping error!\n", 1, {}, [](const QString &dir) {
        setOwner(dir + reply, 0);
        setMode(dir + reply, 0711);
    });
    addCase("read-only file, writable directory", big, sw, "Mapping error!\n", 1, {},
            [](const QString &dir) { setMode(dir + reply + "/a", 0444); });
    addCase("read-only directory, writable file", { "a=/usr/lib" }, sw, "", 0, { "a=/S/usr/lib" },
            [](const QString &dir) { setOwner(dir + reply, 0); });
    addCase("read-only directory, index noted beside it", { "a=/usr/lib", "index-1.json=/usr/lib" }, sw, "", 0,
            { "a=/S/usr/lib", "index-1.json=/S/usr/lib" }, [](const QString &dir) { setOwner(dir + reply, 0); });
    // Without the note its index would be mapped again by the next run.
    addCase("read-only directory, no room for the note", { "a=/usr/lib", "index-1.json=/usr/lib" }, sw,
            "Mapping error!\n", 1, { "a=/S/usr/lib" }, [](const QString &dir) { setOwner(dir + reply + "/..", 0); });
    addCase("write fails", big, { longSysroot, "/W" }, "Mapping error!\n", 1, {}, {}, fileSizeLimit(8192));
    addCase("write fails in place", big, { longSysroot, "/W" }, "Mapping error!\n", 1, {},
            [](const QString &dir) { setOwner(dir + reply, 0); }, fileSizeLimit(8192));

    // The compilation database, on request: mapped before the index files, so
    // that a new index still means the run is complete, and only ever
    // replaced whole.
    const QStringList dbArgs = { "--compile-commands", "/S", "/W" };
    addCase("database", { "a=/usr/lib", db + "[\"/usr/include\"]", "index-1.json=/usr/lib" }, dbArgs, "", 0,
            { "a=/S/usr/lib", db + "[\"/S/usr/include\"]", "index-1.json=/S/usr/lib" });
    addCase("database before the index", { "a=/usr/lib", db + "\xff", "index-1.json=/usr/lib" }, dbArgs,
            "Mapping error!\n", 1, { "a=/S/usr/lib" });
    addCase("no database", { "a=/usr/lib" }, dbArgs, "Compilation database does not exist.\n", 0, { "a=/S/usr/lib" });
    addCase("database, no file API", { db + "/usr/lib" }, dbArgs, "Reply is not exist.\n", 0, { db + "/S/usr/lib" },
            [](const QString &dir) { QVERIFY(QDir(dir + "/.cmake").removeRecursively()); });
    addCase("no database, no reply", {}, dbArgs, "Reply and compilation database do not exist.\n", 0, {}, noReply);
    const auto dbNote = [&](const QByteArray &content) {
        ContentChecksum checksum;
        checksum.add(content);
        return note.left(note.indexOf("index ")) + "database " + QByteArray::number(checksum.result(), 16) + " 0 0 "
                + QByteArray::number(content.size()) + " 0 ../../../compile_commands.json\n";
    };
    addCase("database noted, touched since", { db + "/S/usr/lib", dbNote("/S/usr/lib") }, dbArgs, "", 0, {});
    addCase("database noted with other content", { db + "/S/usr/lib", dbNote("/T/usr/lib") }, dbArgs, "", 0,
            { db + "/S/S/usr/lib" });
    addCase("read-only database", { db + "/usr/lib" }, dbArgs, "Mapping error!\n", 1, {},
            [](const QString &dir) { setMode(dir + "/compile_commands.json", 0444); });
    addCase("read-only build directory", { "a=/usr/lib", db + "/usr/lib" }, dbArgs, "Mapping error!\n", 1,
            { "a=/S/usr/lib" }, [](const QString &dir) { setOwner(dir, 0); });

    // What killed runs left: regular files named as the tool names its
    // temporary files, in the three places it writes them.
    const QByteArrayList leftovers = { ".dorvane-aZ09bY=1", "../.dorvane-000000=2", "../../../../.dorvane-QQQQQQ=3",
                                       ".dorvane-abcde=4", ".dorvane-abcdefg=5", ".dorvane-ab_cde=6",
                                       ".dorvane-Dir000/f=7", "a=/usr/lib" };
    const Setup linkLikeLeftover = [](const QString &dir) { QVERIFY(QFile::link("a", dir + reply + "/.dorvane-Link00")); };
    addCase("leftovers of killed runs", leftovers, sw, "", 0,
            { ".dorvane-aZ09bY", "../.dorvane-000000", "../../../../.dorvane-QQQQQQ", "a=/S/usr/lib" }, linkLikeLeftover);
    // Without the lock another run may be writing them.
    addCase("file system refuses locks", leftovers, sw, "", 0, { "a=/S/usr/lib" }, linkLikeLeftover, refuseLocks);
}

void tst_Mapper::run()
{
    QFETCH(QByteArrayList, files);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);
    QFETCH(QByteArrayList, rewritten);
    QFETCH(Setup, setup);
    QFETCH(ChildSetup, inChild);

    // As root, permission bits stop nothing: the tool runs as nobody.
    const bool asNobody = geteuid() == 0;
    const QByteArray tag = QTest::currentDataTag();
    if (!asNobody && (tag.contains("read") || tag.contains("write fails")))
        QSKIP("needs root, to run the tool as an ordinary user through setpriv");
    QTemporaryDir build;
    QVERIFY2(build.isValid(), qPrintable(build.errorString()));
    const QString dir = build.path();
    const auto nameOf = [](const QByteArray &file) { return file.split('=').first(); };
    const auto contentOf = [](const QByteArray &file) { return file.mid(file.indexOf('=') + 1); };
    QMap<QByteArray, QByteArray> names;
    for (const QByteArray &file : files)
        names[nameOf(file)] = QByteArray(nameOf(file)).replace("{hash}", sha3(contentOf(file)).left(20));
    const auto pathOf = [&](const QByteArray &file) { return QDir::cleanPath(dir + reply + '/' + names.value(nameOf(file))); };
    QVERIFY(QDir(dir).mkpath(dir + query + "/client-ide") && QDir(dir).mkpath(dir + reply));
    for (const QByteArray &file : files)
        write(pathOf(file), contentOf(file));
    if (asNobody) {
        setMode(dir, 0755);
        for (QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System, QDirIterator::Subdirectories); it.hasNext();)
            setOwner(it.next(), nobody);
    }
    if (setup)
        setup(dir);
    QMap<QString, QString> expected = snapshot(dir);
    const bool hadQuery = QFileInfo(dir + query).isDir();

    const auto runTool = [&](const QByteArray &output, int exitCode) {
        QProcess process;
        process.setWorkingDirectory(dir);
        if (inChild)
            process.setChildProcessModifier(inChild);
        if (asNobody)
            process.start("setpriv", QStringList { "--reuid=65534", "--regid=65534", "--clear-groups", DORVANE_EXE } + arguments);
        else
            process.start(DORVANE_EXE, arguments);
        QVERIFY2(process.waitForFinished(10000), "the tool did not finish");
        QCOMPARE(process.readAllStandardOutput(), output);
        QCOMPARE(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, exitCode);
    };
    runTool(output, exitCode);
    if (QTest::currentTestFailed())
        return;

    for (const QByteArray &file : rewritten) {
        const QString path = pathOf(file);
        if (file.contains('='))
            expected[path] = expected[path].section(' ', 0, 0) + ' ' + contentOf(file).toPercentEncoding();
        else
            expected.remove(path);
    }
    QCOMPARE(snapshot(dir), expected);
    const bool isReplyMapped = exitCode == 0 && (output.isEmpty() || output == "Compilation database does not exist.\n");
    QCOMPARE(QFileInfo(dir + query).isDir(), hadQuery && !isReplyMapped);

    // A reply as CMake names its files is mapped once: another run changes
    // nothing, and neither does one after CMake has taken the note away with
    // a new index, which leaves only the objects' hashes to tell. Index files
    // and the database have only the note.
    static const QRegularExpression objectName("-[0-9a-f]{20}\\.json$");
    bool hasNotedOnly = false;
    for (const QByteArray &name : names) {
        const bool isNotedOnly = name.startsWith("index-") || name.endsWith("compile_commands.json");
        hasNotedOnly = hasNotedOnly || isNotedOnly;
        if (!name.endsWith(noteName.toUtf8()) && !isNotedOnly && !objectName.match(QString::fromUtf8(name)).hasMatch())
            return;
    }
    if (exitCode != 0 || !output.isEmpty())
        return;
    for (const bool withNote : { true, false }) {
        if (!withNote && (hasNotedOnly || !QFile::remove(dir + reply + "/../" + noteName)))
            return;
        QVERIFY(QDir().mkpath(dir + query));
        runTool("", 0);
        QCOMPARE(snapshot(dir), expected);
        QVERIFY(!QFileInfo::exists(dir + query));
    }
}

// A run that finds the build directory locked for longer than it waits
// changes nothing and fails.
void tst_Mapper::lockedOut()
{
    QTemporaryDir build;
    QVERIFY2(build.isValid(), qPrintable(build.errorString()));
    write(build.path() + reply + "/index-1.json", "/usr/lib");
    QVERIFY(QDir().mkpath(build.path() + query));
    const int lockFd = ::open(QFile::encodeName(build.path()).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(lockFd >= 0 && flock(lockFd, LOCK_EX) == 0);
    const QString current = QDir::currentPath();
    QVERIFY(QDir::setCurrent(build.path()));
    CmakeApiMapper mapper("/S", "/W");
    mapper.setLockWait(200);
    const bool mapped = mapper.DoCMakeApiPathMapping();
    QDir::setCurrent(current);
    ::close(lockFd);
    QVERIFY(!mapped);
    QCOMPARE(read(build.path() + reply + "/index-1.json"), "/usr/lib");
    QVERIFY(QFileInfo(build.path() + query).isDir());
}

void tst_Mapper::runPath()
{
    QTemporaryDir prefix;
    QVERIFY2(prefix.isValid(), qPrintable(prefix.errorString()));
    QProcess install;
    install.start(CMAKE_EXE, { "--install", BUILD_DIR, "--prefix", prefix.path() });
    QVERIFY(install.waitForFinished(60000));
    QCOMPARE(install.exitCode(), 0);
    QVERIFY(QFileInfo(prefix.path() + "/share/man/man1/dorvane.1.gz").isFile());
    for (const QString &binary : { QString(DORVANE_EXE), prefix.path() + "/bin/dorvane" }) {
        QProcess readelf;
        readelf.start("readelf", { "-d", binary });
        QVERIFY(readelf.waitForFinished());
        const QByteArray dynamic = readelf.readAllStandardOutput();
        QVERIFY2(dynamic.contains("(RUNPATH)            Library runpath: [$ORIGIN/../lib/Qt/lib]\n"), dynamic.constData());
        QVERIFY(!dynamic.contains("(RPATH)"));
    }
}

QTEST_GUILESS_MAIN(tst_Mapper)
#include "tst_mapper.moc"
