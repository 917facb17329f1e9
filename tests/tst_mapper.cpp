// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The tool run over replies made for each case: its messages, exit statuses
// and every file it leaves.

#include "cmakeapimapper.h"
#include "planner.h"
#include "toolrun.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDirIterator>
#include <QtCore/QJsonDocument>
#include <QtCore/QScopeGuard>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>

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
Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(std::function<void()>)

class tst_Mapper : public QObject
{
    Q_OBJECT

private slots:
    void largeFiles();
    void run_data();
    void run();
    void lockedOut();
    void rootThenItsUser();
};

namespace {

const QString reply = "/.cmake/api/v1/reply";
const QString query = "/.cmake/api/v1/query";
const QString noteName = ".dorvane-mapped-files", kept = "/.dorvane-kept";
const uid_t keepOwner = uid_t(-1);

void setOwner(const QString &path, uid_t uid, mode_t mode = 0)
{
    QVERIFY(::lchown(QFile::encodeName(path).constData(), uid, uid) == 0);
    QVERIFY(!mode || ::chmod(QFile::encodeName(path).constData(), mode) == 0);
}

// Owner, mode and content, or the target of a link, of every file below a
// directory but the query, the tool's note and kept files, and links that
// lead out of it, which the tree outside shows.
QMap<QString, QString> snapshot(const QString &buildDir)
{
    QMap<QString, QString> files;
    QDirIterator it(buildDir, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo file(it.next());
        if (!file.filePath().startsWith(buildDir + query) && file.fileName() != noteName && !file.path().endsWith(kept)
            && !(file.isSymLink() && !file.symLinkTarget().startsWith(buildDir + '/'))) {
            files[file.filePath()] = file.isSymLink() ? "link to " + file.symLinkTarget()
                    : QString::number(file.ownerId()) + ' ' + QString::number(file.permissions(), 16) + ' '
                            + (file.isFile() ? read(file.filePath()).toPercentEncoding() : "special");
        }
    }
    return files;
}

// The lines the tool gives first, on standard error, for the paths given
// that do not exist on this machine, as /S and /W do not: in every row but
// those that end before the paths are looked at.
QByteArray absentPaths(const QStringList &arguments, const QByteArray &output)
{
    static const QRegularExpression early("^(Try|Sysroot|workspace path|Only|Dorvane|Usage:|dorvane: (warning|--map|--watch|the \\w+ path is not|[^\\n]*: cannot enter: ))");
    if (early.match(QString::fromUtf8(output)).hasMatch())
        return {};
    QStringList positional;
    QList<std::pair<QString, QString>> hosts; // by CONTAINER
    const QStringList words = arguments.value(0) == "sh" ? arguments.value(1).split(' ') : arguments;
    for (qsizetype i = 0; i < words.size(); ++i) {
        if (words[i] == "-C" || words[i] == "-m" || words[i] == "--map" || words[i] == "--print-map") {
            if (words[i] != "-C" && words[i] != "--print-map")
                hosts.append({ words[i + 1].section('=', 0, 0).remove(QRegularExpression("/$")), words[i + 1].section('=', 1) });
            ++i;
        } else if (!words[i].startsWith('-') && (arguments.value(0) != "sh" || words[i].startsWith('/'))) {
            positional.append(words[i]);
        }
    }
    QByteArray lines;
    const auto absent = [&](const QString &path, const QByteArray &name, const QByteArray &of = {}) {
        if (path.startsWith('/') && !QFileInfo::exists(path))
            lines += "dorvane: warning: " + name + " \"" + path.toUtf8() + '"' + of + " does not exist on this host\n";
    };
    absent(positional.value(0), "the sysroot path");
    absent(positional.value(1), "the workspace path");
    std::sort(hosts.begin(), hosts.end());
    for (const auto &[container, host] : std::as_const(hosts))
        absent(host, "the host path", " for " + container.toUtf8());
    return lines;
}

void row(const char *name, const QByteArrayList &files, const QStringList &arguments, const QByteArray &output,
         const QByteArrayList &rewritten, const Setup &setup = {}, const std::function<void()> &inChild = {})
{
    QTest::newRow(name) << files << arguments << absentPaths(arguments, output) + output << rewritten << setup << inChild;
}

// In the tool's process, writes past the limit fail, as on a full disk, or
// kill it, as SIGKILL would.
std::function<void()> fileSizeLimit(rlim_t bytes, bool isKilled = false)
{
    return [bytes, isKilled] {
        const rlimit limit = { bytes, bytes }, noCore = { 0, 0 };
        if (setrlimit(RLIMIT_FSIZE, &limit) == 0 && setrlimit(RLIMIT_CORE, &noCore) == 0)
            signal(SIGXFSZ, isKilled ? SIG_DFL : SIG_IGN);
    };
}

// In the tool's process, system calls fail with error: flock as on a file
// system that refuses locks, openat2 as on a kernel without it.
std::function<void()> refuse(std::initializer_list<int> systemCalls, int error)
{
    // Built here: the child runs the filter's setup between fork and exec,
    // where allocating may deadlock on a lock another thread held.
    auto filter = std::make_shared<std::vector<sock_filter>>(
        std::vector<sock_filter> { BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)) });
    for (const int systemCall : systemCalls) {
        filter->push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, unsigned(systemCall), 0, 1));
        filter->push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | unsigned(error)));
    }
    filter->push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return [filter] {
        const sock_fprog program = { (unsigned short)(filter->size()), filter->data() };
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(125);
    };
}

// The tool with the shim preloaded, which acts at the call the setting names.
Setup preload(const char *variable, const QString &setting)
{
    return [=](const QString &) {
        qputenv("LD_PRELOAD", SHIM);
        qputenv(variable, setting.toUtf8());
    };
}

} // namespace

void tst_Mapper::run_data()
{
    // "name=content", the name relative to the reply directory.
    QTest::addColumn<QByteArrayList>("files");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("output"); // then "exit" and the status
    // "name=content" after the run, or "name" for a file removed; every other file is untouched.
    QTest::addColumn<QByteArrayList>("rewritten");
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<std::function<void()>>("inChild");

    const QStringList sw = { "/S", "/W" }, withDb = { "--compile-commands", "/S", "/W" };
    const QByteArray db = "../../../../compile_commands.json=";
    const QByteArrayList in = { "a=/usr/lib" };
    // The one line on standard error that names the file and the reason, then standard output.
    const auto failed = [](const QByteArray &problem) { return "dorvane: " + problem + "\nMapping error!\nexit 1"; };
    const QByteArray r = ".cmake/api/v1/reply/", denied = ": Permission denied";
    const QByteArray afresh = "remove .cmake/api/v1/reply, write the queries in .cmake/api/v1/query and configure again";
    const QByteArray tryHelp = "Try 'dorvane --help'.\n";
    row("no paths", in, {}, tryHelp + "Sysroot and workspace paths must be provided!\nexit 1", {});
    row("one path", in, { "/S" }, tryHelp + "workspace path must be provided!\nexit 1", {});
    row("three paths", in, { "/S", "/W", "/X" }, tryHelp + "Only sysroot and workspace paths must be provided!\nexit 1", {});
    row("version", in, { "-v", "/S", "/W" }, "Dorvane 1.0.0\nexit 0", {});
    row("unknown option", in, { "/S", "-W" }, "Dorvane: Unknown option 'W'.\nexit 1", {});
    // The help text as the README gives it.
    const QByteArray readme = read(SOURCE_DIR "/README.md"), usage = readme.mid(readme.indexOf("Usage: dorvane"));
    row("help", in, { "/S", "--help" }, usage.first(usage.indexOf("```")).replace("dorvane", DORVANE_EXE) + "exit 0", {});
    row("help-all shows the help", in, { "--help-all" }, usage.first(usage.indexOf("```")).replace("dorvane", DORVANE_EXE) + "exit 0", {});
    row("-C a directory named --help-all", in, { "-C", "--help-all", "/S", "/W" }, "exit 0", { "a=/S/usr/lib" },
        [](const QString &dir) { QVERIFY(QFile::link("build", dir + "/../--help-all")); });
    row("--m --help-all, a mapping", in, { "--m", "--help-all", "/S", "/W" },
        "dorvane: --map \"--help-all\": CONTAINER=HOST has no \"=\"\nexit 1", {});

    const Setup noReply = [](const QString &dir) { QVERIFY(QDir(dir + reply).removeRecursively()); };
    const QByteArray noBuildDirectory = "dorvane: . is no CMake build directory, as it holds no CMakeCache.txt: run in "
                                        "one, or name it with -C DIR\n";
    row("no reply", {}, sw, noBuildDirectory + "Reply is not exist.\nexit 0", {}, noReply);
    row("no reply in a build directory", { "../../../../CMakeCache.txt=" }, { "-C", "build", "/S", "/W" },
        "dorvane: no reply in build/.cmake/api/v1/reply: write the queries in build/.cmake/api/v1/query, then "
        "configure\nReply is not exist.\nexit 0", {},
        [=](const QString &dir) { noReply(dir); QVERIFY(QDir(dir + query).removeRecursively()); });
    row("no reply where the queries are written", { "../../../../CMakeCache.txt=" }, sw,
        "dorvane: no reply in .cmake/api/v1/reply: configure, and CMake answers the queries in .cmake/api/v1/query\n"
        "Reply is not exist.\nexit 0", {}, noReply);
    row("by name ignoring case", { "c=/usr/lib", "B=\xff", "b=/usr/lib", "a=/usr/lib", "_x=/usr/lib" },
        { "-C", "build", "/S", "/W" }, failed("build/" + r + "B: not UTF-8 text"), { "_x=/S/usr/lib", "a=/S/usr/lib" });
    // The one line, before any warning on the paths.
    row("-C a directory that is missing", in, { "-C", "missing", "/S", "/W" },
        "dorvane: missing: cannot enter: No such file or directory\nexit 1", {});
    row("--watch, -C a file", in, { "-C", "outside/a", "--watch", "/S", "/W" },
        "dorvane: outside/a: cannot enter: Not a directory\nexit 1", {});
    row("--print-map, -C a file", in, { "-C", "outside/a", "--print-map", "gdb", "/S", "/W" },
        "dorvane: outside/a: cannot enter: Not a directory\nexit 1", {});
    row("-C an empty name, as an unset variable gives", in, { "-C", "", "/S", "/W" },
        "dorvane: \"\": cannot enter: No such file or directory\nexit 1", {});
    row("-C a directory whose name is not UTF-8", in, { "sh", "exec \"$0\" -C \"$(printf '../b\\377')\" /S /W" },
        "exit 0", { "a=/S/usr/lib" },
        [](const QString &dir) { QVERIFY(::symlink("build", QFile::encodeName(dir) + "/../b\xff") == 0); });
    // Paths that give clients a reply they cannot use are mapped as given, with a warning.
    const QByteArray doubles = " ends in \"/\", which doubles the slash after it in every path it stands for\n";
    row("paths that end in a slash, or do not exist", in, { "-m", "/opt=/", "/S/", "/W" }, "dorvane: warning: the "
        "sysroot path \"/S/\"" + doubles + "dorvane: warning: the workspace path \"/W\" does not exist on this host\n"
        "dorvane: warning: the host path \"/\" for /opt" + doubles + "exit 0", { "a=/S//usr/lib" });
    row("paths relative, or that a shell splits", in, { "../S", "/W W" }, "dorvane: warning: the sysroot path \"../S\" is "
        "relative: clangd, IDEs and compilers resolve it from their own working directory\ndorvane: warning: the "
        "workspace path \"/W W\" holds a space, which a shell splits or expands in the commands of the compilation "
        "database and in the reply's command fragments\nexit 0", { "a=../S/usr/lib" });
    const QByteArray cache = R"({"kind":"cache","entries":[{"name":"N","value":"/usr/lib"}]})";
    const QByteArray unmappedCache = R"({"kind":"cache","entries":[{"name":"N","value":"/usr/local/lib"}]})";
    const QByteArray mappedCache = QJsonDocument::fromJson(cache).toJson().replace("/usr", "/S/usr");
    row("cache reply re-serialised, cache.json as text", { "cache-v2=" + cache, "cache.json=" + cache }, sw, "exit 0",
        { "cache-v2=" + mappedCache, "cache.json=" + QByteArray(cache).replace("/usr", "/S/usr") });
    row("cache reply of another kind", { "cache-v2={\"kind\":\"codemodel\"}", "z=/usr/lib" }, sw,
        failed(r + "cache-v2: not a cache reply: no JSON object of kind \"cache\" with an array of entries"), {});

    // Mapped only while the hash in its name holds, even where the content
    // looks mapped. run() maps every reply named as CMake names it twice more.
    const auto named = [](const QByteArray &content, const QByteArray &kind = "target-") {
        return kind + QCryptographicHash::hash(content, QCryptographicHash::Sha3_256).toHex().left(20) + ".json=";
    };
    const QByteArray object = "/usr/include /workspace/a", a = "\"/S/usr/include\"", b = "\xEF\xBB\xBF\"/S/usr/lib\"",
                     c = "{\r\n\"/S/usr/share\"\r\n}", d = "{\r\n\"x\"\r\n}";
    row("pristine objects", { named(object) + object, named(cache, "cache-v2-") + cache, named(a) + a, named(b) + b,
                              named(c) + c, named(d) + d }, sw, "exit 0",
        { named(object) + "/S/usr/include /W/a", named(cache, "cache-v2-") + mappedCache, named(a) + "\"/S/S/usr/include\"",
          named(b) + "\"/S/S/usr/lib\"", named(c) + "{\n\"/S/S/usr/share\"\n}", named(d) + "{\n\"x\"\n}" });
    row("upper-case hex names no hash", { "a-0123456789ABCDEF0123.json=/S/usr/lib" }, sw, "exit 0",
        { "a-0123456789ABCDEF0123.json=/S/S/usr/lib" });
    // Reply files that are links are skipped, whatever they lead to; the
    // database's link is followed while it stays inside, also where the
    // kernel has no openat2, and a database that is no regular file is none.
    const QByteArray linkSkipped = ": skipped: it is a link, and CMake writes none in its reply\n";
    QByteArray linksSkipped;
    for (const char *link : { "absolute", "broken", "directory", "f", "link", "loop", "nameless" })
        linksSkipped += "dorvane: " + r + link + linkSkipped;
    row("reply links skipped, the database's link and modes kept, without openat2", { "../../../../t=/usr/lib64",
        "m=/usr/share", "../../../../d=/usr/lib", "../../../../u=/usr/include" }, withDb, linksSkipped + "exit 0",
        { "m=/S/usr/share", "../../../../d=/S/usr/lib" }, [](const QString &dir) {
        QVERIFY(QFile::link("../../../../t", dir + reply + "/link") && QFile::link("d", dir + "/compile_commands.json"));
        QVERIFY(QFile::link(dir + "/u", dir + reply + "/absolute"));
        QVERIFY(QFile::link("missing", dir + reply + "/broken") && QFile::link(dir, dir + reply + "/directory"));
        QVERIFY(QFile::link(QString(300, 'n'), dir + reply + "/nameless") && QFile::link("loop", dir + reply + "/loop"));
        QVERIFY(mkfifo(QFile::encodeName(dir + "/fifo").constData(), 0644) == 0 && QFile::link("../../../../fifo", dir + reply + "/f"));
        setOwner(dir + "/d", keepOwner, 0604);
        setOwner(dir + reply + "/m", keepOwner, 0604);
    }, refuse({ __NR_openat2 }, ENOSYS));
    row("the database a link to a socket", in, withDb, "Compilation database does not exist.\nexit 0", { "a=/S/usr/lib" },
        [](const QString &dir) {
        QVERIFY(::mknod(QFile::encodeName(dir + "/socket").constData(), S_IFSOCK | 0666, 0) == 0);
        QVERIFY(QFile::link("socket", dir + "/compile_commands.json"));
    });
    row("the database a link that loops", in, withDb, "Compilation database does not exist.\nexit 0", { "a=/S/usr/lib" },
        [](const QString &dir) { QVERIFY(QFile::link("compile_commands.json", dir + "/compile_commands.json")); });
    // An absolute link may name the build directory by the path the run was
    // given, here through a link to it.
    row("an absolute link through the path the run was given", { "a=/usr/lib", "../../../../u=/usr/include" },
        { "sh", "cd ../alias && exec \"$0\" --compile-commands /S /W" }, "exit 0",
        { "a=/S/usr/lib", "../../../../u=/S/usr/include" }, [](const QString &dir) {
        QVERIFY(QFile::link("build", dir + "/../alias"));
        QVERIFY(QFile::link(QFileInfo(dir).absolutePath() + "/alias/u", dir + "/compile_commands.json"));
    });
    // The database is mapped as the database, and a reply file as a reply file.
    const QByteArray flags = "-I/usr/include/x";
    row("the database linked to a reply file", { named(flags) + flags }, withDb,
        "dorvane: compile_commands.json: skipped: the link leads into .cmake/api/v1\n"
        "Compilation database does not exist.\nexit 0", { named(flags) + "-I/S/usr/include/x" }, [=](const QString &dir) {
        QVERIFY(QFile::link(".cmake/api/v1/reply/" + named(flags).chopped(1), dir + "/compile_commands.json"));
    });

    // The tool runs as an ordinary user: see run().
    const QByteArray otherUser = ", as another user owns the build directory or a directory in it: have the build "
                                 "environment run as the build directory's user, for example with --user \"$(id -u):$(id -g)\"";
    const QByteArrayList big = { "a=" + QByteArray("/usr/include ").repeated(500), "b=/usr/lib" };
    const QString longSysroot = "/a/sysroot/path/long/enough/for/the/file/to/outgrow/the/size/limit";
    row("unreadable reply directory", big, sw, failed(r.chopped(1) + ": cannot read" + denied), {},
        [](const QString &dir) { setOwner(dir + reply, 0, 0711); });
    // A link into a directory the runner cannot enter names a file all the same.
    const auto linkInto = [](const QString &link) {
        return [=](const QString &dir) {
            setOwner(dir + "/s", 0, 0700);
            QVERIFY(QFile::link("s/t", dir + '/' + link));
        };
    };
    row("a database link into a directory the runner cannot read", { "../../../../s/t=-I/usr/lib", "a=/usr/lib" },
        withDb, failed("compile_commands.json: cannot open" + denied), {}, linkInto("compile_commands.json"));
    row("read-only file, writable directory", big, sw, failed(r + "a: cannot write" + denied), {},
        [](const QString &dir) { setOwner(dir + reply + "/a", keepOwner, 0444); });
    // A file the rules leave as it is is not written, so a read-only one is
    // no failure; and no file is written in place, where its other names,
    // and a run killed as it writes, would see it partly written.
    row("read-only reply directory", { "n=none", "cache-v2=" + unmappedCache, "index-1.json=/usr/lib" }, sw,
        failed(r + "index-1.json: cannot write" + denied + otherUser), {}, [](const QString &dir) {
        setOwner(dir + reply, 0);
        setOwner(dir + reply + "/n", keepOwner, 0444);
        setOwner(dir + reply + "/cache-v2", keepOwner, 0444);
        QVERIFY(::link(QFile::encodeName(dir + reply + "/index-1.json"), QFile::encodeName(dir + "/../outside/h")) == 0);
    });
    // Another user's file keeps its owner where the runner may give it, and
    // is replaced by the runner's otherwise: its other names keep the old content.
    row("another user's file, as root", { "o=/usr/lib" }, sw, "exit 0", { "o=/S/usr/lib" });
    row("another user's file", { "o=/usr/lib" }, sw, "exit 0", { "~o=/S/usr/lib" }, [](const QString &dir) {
        setOwner(dir + reply + "/o", 0, 0666);
        QVERIFY(::link(QFile::encodeName(dir + reply + "/o"), QFile::encodeName(dir + "/other-name")) == 0);
    });
    // Without the note its index, or the database, would be mapped again by the next run.
    const Setup noRoomForNote = [](const QString &dir) { setOwner(dir + reply + "/..", 0); };
    const QByteArray noteFailure = failed(".cmake/api/v1/.dorvane-mapped-files: cannot write" + denied + otherUser);
    // Root is refused for other reasons than owners.
    row("write refused, as root", { "o=/usr/lib" }, sw,
        failed(".cmake/api/v1/.dorvane-mapped-files: cannot write: Operation not permitted"), {}, {},
        refuse({ __NR_renameat, __NR_renameat2 }, EPERM));
    row("no room for the note of an index", { "index-1.json=/usr/lib" }, sw, noteFailure, {}, noRoomForNote);
    row("no room for the note of the database", { db + "/usr/lib", "index-1.json=/usr/lib" }, withDb, noteFailure, {},
        noRoomForNote);
    // Where nothing can be kept, an object is written only once the note says so.
    row("no room for the note of an object, nothing kept", { "a=/usr/lib" }, sw, noteFailure, {}, noRoomForNote);
    // The note the run saves last fails nothing, and says nothing either.
    row("query directory not removed, nor the note saved", { "a=/usr/lib", named(object) + object }, sw,
        failed(".cmake/api/v1/query/client-ide/x: cannot remove" + denied + otherUser),
        { "a=/S/usr/lib", named(object) + "/S/usr/include /W/a" }, [](const QString &dir) {
        setOwner(dir + query + "/client-ide", 0);
        QVERIFY(QDir().mkpath(dir + reply + "/../" + noteName));
    });
    // The advice follows the directory that refused: the one that cannot be
    // opened, or the one an entry cannot be removed from.
    row("query directory another user's, not removed", in, sw, failed(".cmake/api/v1/query: cannot remove" + denied + otherUser),
        { "a=/S/usr/lib" }, [](const QString &dir) { setOwner(dir + query, 0, 0700); });
    row("query directory not removed, one of its own unreadable", in, sw,
        failed(".cmake/api/v1/query/client-ide: cannot remove" + denied), { "a=/S/usr/lib" }, [](const QString &dir) {
        setOwner(dir + query, 0, 0777);
        setOwner(dir + query + "/client-ide", 65534, 0300);
    });
    row("write fails", big, { longSysroot, "/W" }, failed(r + "a: cannot write: File too large"), {}, {}, fileSizeLimit(8192));
    row("killed as it writes, in a read-only reply directory", { "index-1.json=" + big.first().mid(2) },
        { longSysroot, "/W" }, failed(r + "index-1.json: cannot write" + denied + otherUser), {},
        [](const QString &dir) { setOwner(dir + reply, 0); }, fileSizeLimit(8192, true));

    // The compilation database is mapped before the index files, so that a
    // new index still means the run is complete.
    row("database before the index", { "a=/usr/lib", db + "\xff", "index-1.json=/usr/lib" }, withDb,
        failed("compile_commands.json: not UTF-8 text"), { "a=/S/usr/lib" });
    row("no database", { "a=/usr/lib" }, withDb, "Compilation database does not exist.\nexit 0", { "a=/S/usr/lib" });
    row("database, no file API", { db + "/usr/lib" }, withDb, noBuildDirectory + "Reply is not exist.\nexit 0", { db + "/S/usr/lib" },
        [](const QString &dir) { QVERIFY(QDir(dir + "/.cmake").removeRecursively()); });
    row("no database, no reply", {}, withDb, noBuildDirectory + "Reply and compilation database do not exist.\nexit 0", {},
        noReply);
    // A note that names the database "/S/usr/lib /W" by its size and its
    // checksum, written out: the XXH3 that notes of this format hold.
    const QByteArray dbNote = "../" + noteName.toUtf8()
            + "=dorvane mapped files 4\npaths 0 :/S :/W\ndatabase 0 2cd575c561fabbe8 0 0 13 0 -\n";
    // Nothing to write, so no need for a place to write it.
    const Setup readOnlyBuild = [](const QString &dir) { setOwner(dir, 0); };
    const QByteArray emptied = "dorvane: .cmake/api/v1/reply: empty, as CMake leaves it when it configures with no "
                               "queries: write them in .cmake/api/v1/query before it configures\n";
    row("database noted, touched since, read-only build directory", { db + "/S/usr/lib /W", dbNote }, withDb,
        emptied + "exit 0", {}, readOnlyBuild);
    row("database noted with other paths, nothing kept", { db + "/S/usr/lib /W", dbNote },
        { "--compile-commands", "/T", "/W" }, emptied + failed(QByteArray("compile_commands.json: ") + NOT_KEPT_REASON
        + "write the queries in .cmake/api/v1/query and configure again"), {});
    row("database with nothing to map, read-only build directory", { "a=/usr/lib", db + "/usr/local/lib" }, withDb,
        "exit 0", { "a=/S/usr/lib" }, readOnlyBuild);
    // SIGTERM at the database's exchange, after the note's replacement came
    // and went: the exchange is done before the run ends, and nothing is
    // left behind, nor is the mapped database kept as what CMake wrote.
    row("terminated at the database's exchange", { "a=/usr/lib", db + "/usr/lib", "index-1.json=/usr/lib" }, withDb,
        "killed", { "a=/S/usr/lib", db + "/S/usr/lib" }, preload("DORVANE_SHIM_TERMINATE", "compile_commands.json"));
    // As a configure that writes it again while the run goes on: CMake's stays.
    row("the database written again at its exchange", { "a=/usr/lib", db + "/usr/lib", "index-1.json=/usr/lib" }, withDb,
        "dorvane: compile_commands.json: skipped: it was written again while the run went on\nexit 0",
        { "a=/S/usr/lib", db + "/usr/include", "index-1.json=/S/usr/lib" },
        preload("DORVANE_SHIM_TERMINATE", "compile_commands.json write"));
    // As a configure that removes them while the run goes on: they stay gone.
    const QByteArray removed = ": skipped: it was removed while the run went on\n";
    row("an object removed at its exchange", { named(object) + object, "index-1.json=/usr/lib" }, sw,
        "dorvane: " + r + named(object).chopped(1) + removed + "exit 0", { named(object).chopped(1), "index-1.json=/S/usr/lib" },
        preload("DORVANE_SHIM_TERMINATE", named(object).chopped(1) + " remove"));
    row("the database removed at its exchange", { "a=/usr/lib", db + "/usr/lib" }, withDb,
        "dorvane: compile_commands.json" + removed + "exit 0", { "a=/S/usr/lib", db.chopped(1) },
        preload("DORVANE_SHIM_TERMINATE", "compile_commands.json remove"));
    row("an index removed as it is replaced", { "a=/usr/lib", "index-1.json=/usr/lib" }, sw,
        "dorvane: " + r + "index-1.json" + removed + "exit 0", { "a=/S/usr/lib", "index-1.json" },
        preload("DORVANE_SHIM_TERMINATE", "index-1.json remove"));
    // JSON holds only UTF-8, and QProcess passes arguments as UTF-8. The
    // sysroot path decodes as Qt decodes the workspace path's stray byte.
    row("workspace path not UTF-8", in, { "sh", "exec \"$0\" \"$(printf '/S\\357\\277\\275')\" \"$(printf '/S\\377')\"" },
        failed("the workspace path is not UTF-8, which the reply cannot hold"), {});
    // The cross roots of the reply and of what is kept, longest first, the rest as they are.
    QByteArray cross;
    for (const char *prefix : { "T/sys-root/usr/local/include", "U/sys-root/usr/local/include", "T/sys-root/usr/include",
                                "U/sys-root/usr/include", "T/sys-root/usr/lib64", "T/sys-root/usr/share", "U/sys-root/usr/lib64",
                                "U/sys-root/usr/share", "T/sys-root/usr/lib", "U/sys-root/usr/lib" })
        cross += "/opt/cross/" + QByteArray(prefix) + "=/S" + QByteArray(prefix).mid(10) + '\n';
    row("print-map: cross roots the reply names, or what is kept", { "a=\"/opt/cross/T/sys-root\"", "../.dorvane-kept/b=\"/opt/cross/\\u0055/sys-root/usr/lib\"" },
        { "--print-map", "lines", "--map", "/usr=/S/usr", "--map", "/workspace=/W", "/S", "/W" },
        cross + "/workspace=/W\n/usr=/S/usr\nexit 0", {});
    row("print-map: lldb, only the host paths that exist", in, { "--print-map", "lldb", "--map", "/mnt=/tmp", "/S", "/W" },
        "settings set target.source-map \"/mnt\" \"/tmp\"\nexit 0", {});
    row("print-map: a path the tool cannot take", in, { "--print-map", "clangd", "--map", "/a,b=/S", "/S", "/W" },
        "dorvane: --print-map clangd cannot give \"/a,b\": it holds \",\"\nexit 1", {});
    row("print-map: an unknown format", in, { "--print-map", "emacs", "/S", "/W" },
        "dorvane: --print-map \"emacs\": FORMAT is gdb, lldb, clangd, vscode or lines\nexit 1", {});
    row("print-map: a reply that leads out", in, { "--print-map", "gdb", "/S", "/W" },
        "dorvane: .cmake/api/v1/reply: the link leads out of the build directory\nexit 1", {}, [](const QString &dir) {
            QVERIFY(QDir(dir + reply).removeRecursively() && QFile::link(dir + "/../outside", dir + reply));
        });
    row("--filter and --watch", in, { "--filter", "--watch", "/S", "/W" },
        "dorvane: --watch, --print-map and --filter each exclude the others\nexit 1", {});
    row("filter: lines as they come, NUL, bytes past UTF-8, a last line without a newline", in,
        { "sh", "printf '/workspace/a.c:1:2: error\\n\\0\\377 -I/opt/x\\n-specs=/usr/lib/x:/usr/lib64' | \"$0\" --filter --map /opt=/O /S /W" },
        QByteArrayLiteral("/W/a.c:1:2: error\n\0\xff -I/O/x\n-specs=/usr/lib/x:/S/usr/lib64exit 0"), {});
    row("filter: a line of megabytes", in, { "sh", "{ yes x | tr -d '\\n' | head -c 3000000; echo ' -L/usr/lib'; } | \"$0\" --filter /S /W" },
        QByteArray(3000000, 'x') + " -L/S/usr/lib\nexit 0", {});
    row("filter: standard input unreadable", in, { "sh", "exec \"$0\" --filter /S /W < /" },
        "dorvane: standard input: cannot read: Is a directory\nexit 1", {});
    row("filter: standard output full", in, { "sh", "echo -L/usr/lib | \"$0\" --filter /S /W > /dev/full" },
        "dorvane: standard output: cannot write: No space left on device\nexit 1", {});
    row("filter: standard output closed early", in,
        { "sh", "{ yes x/workspace | head -c 30000000 | \"$0\" --filter /S /W ; echo \" $?\" >&2; } | head -c 3" }, "x/W 0\nexit 0", {});
    row("read-only build directory", { "a=/usr/lib", db + "/usr/lib" }, withDb,
        failed("compile_commands.json: cannot write" + denied + otherUser), { "a=/S/usr/lib" }, readOnlyBuild);
    // Other paths that map the database as it stands leave it where it is.
    row("database other paths map the same, read-only build directory", { "index-1.json=/usr/lib", db + "/workspace/a" },
        withDb, "exit 0", { "index-1.json=/S/usr/lib" }, [=](const QString &dir) {
        QVERIFY(runTool(dir, { "--compile-commands", "/T", "/W" }, geteuid() == 0).endsWith("exit 0"));
        QVERIFY(read(dir + "/compile_commands.json") == "/W/a");
        readOnlyBuild(dir);
    });
    row("read-only build directory, no file API", { db + "/usr/lib" }, withDb,
        failed("compile_commands.json: cannot write" + denied + otherUser), {}, [=](const QString &dir) {
        QVERIFY(QDir(dir + "/.cmake").removeRecursively());
        readOnlyBuild(dir);
    });

    QByteArrayList many, manyMapped;
    for (int i = 0; i < 20000; ++i) {
        many += QByteArray::number(i) + "={\"a\": \"/workspace\"}";
        manyMapped += QByteArray::number(i) + "={\"a\": \"/W\"}";
    }
    row("20,000 files", many, sw, "exit 0", manyMapped);

    // Paths that change: every file mapped again from what CMake wrote, kept
    // by the run before; or, where it is not kept intact, nothing changed.
    const QByteArrayList mappedWithA = { named(object) + object, "index-1.json=/usr/lib", db + "/usr/lib" };
    // Runs before the one of the row: with /A, then what follows.
    const auto mapWithA = [](const std::function<void(const QString &)> &after = {}) {
        return [=](const QString &dir) {
            QVERIFY(runTool(dir, { "--compile-commands", "/A", "/W" }, geteuid() == 0).endsWith("exit 0"));
            if (after)
                after(dir);
        };
    };
    // A run killed by SIGTERM at a rename, where the shim says.
    const auto terminatedAt = [](const QString &dir, const QStringList &arguments, const QByteArray &setting,
                                 const std::function<void()> &inChild = {}) {
        qputenv("LD_PRELOAD", SHIM);
        qputenv("DORVANE_SHIM_TERMINATE", setting);
        QVERIFY(runTool(dir, arguments, geteuid() == 0, inChild).endsWith("killed"));
        qunsetenv("LD_PRELOAD");
        qunsetenv("DORVANE_SHIM_TERMINATE");
    };
    const QByteArrayList mappedWithS = { named(object) + "/S/usr/include /W/a", "index-1.json=/S/usr/lib",
                                         db + "/S/usr/lib" };
    row("other paths, no configure between", mappedWithA, withDb, "exit 0", mappedWithS, mapWithA());
    row("other paths, after a run whose note is gone", mappedWithA, sw, "exit 0", mappedWithS.first(2),
        mapWithA([](const QString &dir) { QVERIFY(QFile::remove(dir + reply + "/../" + noteName)); }));
    // An index is kept whole under its name before it is replaced: what a
    // run ended at either rename left is never taken for what CMake wrote,
    // nor lost, with the note or without. (The new version a run killed
    // at the second left behind goes as the leftovers' row shows.)
    const auto endedAtIndex = [=](const QString &dir, const QStringList &arguments, const char *when) {
        terminatedAt(dir, arguments, QByteArray("index-1.json ") + when);
        for (const QString &left : QDir(dir + reply).entryList({ ".dorvane-*" }, QDir::Files | QDir::Hidden))
            QVERIFY(QFile::remove(dir + reply + '/' + left));
    };
    for (const char *when : { "kill", "before", "after", "second" }) {
        row(("a run ended at the index's renames, whose note is gone: " + QByteArray(when)).constData(), mappedWithA,
            sw, "exit 0", mappedWithS.first(2), [=](const QString &dir) {
            endedAtIndex(dir, sw, when);
            QVERIFY(QFile::remove(dir + reply + "/../" + noteName));
        });
    }
    row("other paths, after a run killed between the index's renames", mappedWithA, sw, "exit 0", mappedWithS.first(2),
        [=](const QString &dir) { endedAtIndex(dir, { "/A", "/W" }, "second"); });
    // Runs with /S that ended before their versions were in place: one
    // killed at the database's exchange, one that cannot write the index.
    row("other paths, after runs with them that ended too soon", mappedWithA, withDb, "exit 0", mappedWithS,
        mapWithA([=](const QString &dir) {
        terminatedAt(dir, withDb, "compile_commands.json");
        setOwner(dir + reply + "/index-1.json", 0, 0444);
        QVERIFY(runTool(dir, withDb, geteuid() == 0).endsWith("Mapping error!\nexit 1"));
        setOwner(dir + reply + "/index-1.json", 65534, 0644);
    }));
    // Where nothing is kept, and a run stops before its note names the
    // objects it mapped, only the hashes in their names tell: or where the
    // signal comes right after an exchange, the handler keeps what it kept.
    const QByteArray second = named("/usr/share", "target-z-");
    row("other paths, after a run that kept nothing and was killed", { named(object) + object, second + "/usr/share" },
        sw, failed(r + named(object).chopped(1) + ": " + NOT_KEPT_REASON + afresh), {}, [=](const QString &dir) {
        terminatedAt(dir, { "/A", "/W" }, second.chopped(1), refuse({ __NR_renameat2 }, EINVAL));
    });
    // What is kept, noted without a checksum, is checked by the hash in its
    // name, and gets the checksum the next run with other paths checks.
    row("other paths twice, what is kept noted without a checksum", { named(object) + object }, { "/T", "/W" }, "exit 0",
        { named(object) + "/T/usr/include /W/a" }, mapWithA([](const QString &dir) {
        const QString note = dir + reply + "/../" + noteName;
        QVERIFY(write(note, QString::fromUtf8(read(note)).replace(QRegularExpression(" \\w{16} target-"), " - target-").toUtf8()));
        QVERIFY(runTool(dir, { "/S", "/W" }, geteuid() == 0).endsWith("exit 0"));
    }));
    // Kept, but out of the runner's reach: that is what it says.
    row("other paths, kept files the runner cannot read", { named(object) + object }, sw,
        failed(".cmake/api/v1/.dorvane-kept: cannot open" + denied + otherUser), {}, [=](const QString &dir) {
        QVERIFY(runTool(dir, { "/A", "/W" }, geteuid() == 0).endsWith("exit 0"));
        setOwner(dir, 0);
        setOwner(dir + reply + "/.." + kept, 0, 0700);
    });
    row("other paths, a kept file the runner cannot read", { named(object) + object }, sw,
        failed(".cmake/api/v1/.dorvane-kept/" + named(object).chopped(1) + ": cannot read" + denied), {},
        [=](const QString &dir) {
        QVERIFY(runTool(dir, { "/A", "/W" }, geteuid() == 0).endsWith("exit 0"));
        setOwner(dir + reply + "/.." + kept + '/' + named(object).chopped(1), 0, 0600);
    });
    row("other paths, what was kept gone, with no room to keep", { named(object) + object }, sw,
        failed(r + named(object).chopped(1) + ": " + NOT_KEPT_REASON + afresh), {}, [=](const QString &dir) {
        QVERIFY(runTool(dir, { "/A", "/W" }, geteuid() == 0).endsWith("exit 0"));
        QVERIFY(QDir(dir + reply + "/.." + kept).removeRecursively());
        setOwner(dir + reply + "/..", 0);
    });
    row("other paths, after a run killed right after an exchange", { named(object) + object }, sw, "exit 0",
        { named(object) + "/S/usr/include /W/a" },
        [=](const QString &dir) { terminatedAt(dir, { "/A", "/W" }, named(object).chopped(1) + " after"); });
    // A configure without queries empties the reply: what was kept of it goes.
    row("kept files of a reply CMake emptied", {}, sw, emptied + "exit 0", {}, [](const QString &dir) {
        QVERIFY(write(dir + reply + "/../" + noteName, "dorvane mapped files 4\npaths 0 :/S :/W\nindex 0 - - index-1.json\n"));
        QVERIFY(write(dir + reply + "/.." + kept + "/index-1.json", "/usr/lib"));
        setOwner(dir + reply + "/.." + kept, 65534);
    });
    // A note of another format names files by other hashes, or names no
    // paths: taking it for none would map again what it names.
    const QByteArray inSW = "/S/usr/include /W/a";
    const QByteArrayList mappedBefore = { named(object) + inSW, "index-1.json=/S/usr/lib", db + "/S/usr/lib" };
    const auto noteOf = [=](const QByteArray &format) {
        return [=](const QString &dir) {
            QVERIFY(write(dir + reply + "/../" + noteName, "dorvane mapped files " + format + "\npaths 0 :/S :/W\n"
                          "index 0 " + QCryptographicHash::hash("/S/usr/lib", QCryptographicHash::Sha3_256).toHex()
                          + " 1 2 3 4 index-1.json\n"));
            setOwner(dir + reply + "/../" + noteName, 65534);
        };
    };
    for (const char *format : { "1", "2", "3" }) {
        row(("note of format " + QByteArray(format)).constData(), mappedBefore, { "-C", "build", "--compile-commands",
            "/T", "/W" }, failed("build/.cmake/api/v1/.dorvane-mapped-files: a note in a format this tool cannot read: "
            "remove build/.cmake/api/v1/reply and the note build/.cmake/api/v1/.dorvane-mapped-files, write the queries "
            "in build/.cmake/api/v1/query and configure again"), {}, noteOf(format));
    }
    // As a run as root with umask 077 leaves a user's build directory.
    row("a note that cannot be read, in another user's build directory", mappedBefore, { "--compile-commands", "/T", "/W" },
        failed(".cmake/api/v1/.dorvane-mapped-files: cannot read: Permission denied" + otherUser), {}, [=](const QString &dir) {
            noteOf("4")(dir);
            QVERIFY(::chmod(QFile::encodeName(dir + reply + "/../" + noteName).constData(), 0) == 0);
            setOwner(dir, 0);
        });
    // With the note gone and nothing kept, only the hash in its name tells
    // that an object is mapped.
    row("an object mapped, with the note and what was kept gone", { named(object) + inSW }, sw, "exit 0", {});

    // Mappings: at path starts only, the longest first, before the fixed
    // rules; in the cache reply's values too.
    const QByteArray withDeps = "-I/opt/deps/include -isystem /opt/deps2 \"/workspaces/app/x:/opt/cross/T/sys-root/usr/lib";
    const QStringList maps = { "-m", "/opt/deps=/D", "--map", "/workspaces/app=/home/me/app", "--map",
                               "/opt/cross/T/sys-root/=/srv/t", "/S", "/W" };
    row("mappings", { named(withDeps) + withDeps, "cache-v2={\"kind\":\"cache\",\"entries\":[{\"value\":\"/opt/deps;/opt/deps/x\"}]}" },
        maps, "exit 0", { named(withDeps) + "-I/D/include -isystem /opt/deps2 \"/home/me/app/x:/srv/t/usr/lib",
                          "cache-v2=" + QJsonDocument::fromJson(R"({"kind":"cache","entries":[{"value":"/D;/D/x"}]})").toJson() });
    row("a CONTAINER of one letter that ends the text", { "a=/o" }, { "-m", "/o=/O", "/S", "/W" }, "exit 0", { "a=/O" });
    // The database is cut into pieces of 1 MiB, right after a quote: a path
    // that starts a piece starts a path.
    const QByteArray boundary = "[\"" + QByteArray((1 << 20) - 3, 'x') + "\"/opt/deps/include\"]";
    row("a mapping right after a piece of the database", { db + boundary }, { "--compile-commands", "-m", "/opt/deps=/D", "/S", "/W" },
        noBuildDirectory + "Reply is not exist.\nexit 0", { db + QByteArray(boundary).replace("/opt/deps", "/D") }, noReply);
    row("mappings changed after a configure", { named(withDeps) + withDeps, "index-1.json=/opt/deps/lib" },
        { "--map", "/opt/deps=/E", "/S", "/W" }, "exit 0",
        { named(withDeps) + "-I/E/include -isystem /opt/deps2 \"/Ws/app/x:/S/usr/lib",
          "index-2.json=/E/lib" }, [](const QString &dir) {
        QVERIFY(runTool(dir, { "--map", "/opt/deps=/D", "/S", "/W" }, geteuid() == 0).endsWith("exit 0"));
        QVERIFY(QFile::rename(dir + reply + "/index-1.json", dir + reply + "/index-2.json")
                && write(dir + reply + "/index-2.json", "/opt/deps/lib"));
        setOwner(dir + reply + "/index-2.json", 65534);
    });
    // What CMake wrote, kept, needs no mapping without the mapping, and is
    // all of what stands but its end: the database goes back to it all the same.
    row("the database mapped, then a run without the mapping", { "index-1.json=/usr/lib", db + "/opt/deps" },
        withDb, "exit 0", { "index-1.json=/S/usr/lib", db + "/opt/deps" }, [](const QString &dir) {
        QVERIFY(runTool(dir, { "--compile-commands", "-m", "/opt/deps=/opt/deps/x", "/S", "/W" }, geteuid() == 0).endsWith("exit 0"));
        QVERIFY(read(dir + "/compile_commands.json") == "/opt/deps/x");
    });
    // Bad options change nothing.
    for (const auto &[option, problem] : { std::pair { "/opt/deps", "CONTAINER=HOST has no \"=\"" },
                                           { "=/D", "CONTAINER is empty" }, { "opt/deps=/D", "CONTAINER is not absolute" },
                                           { "/=/D", "CONTAINER may not be \"/\"" }, { "/a//b=/D", "CONTAINER has an empty component" },
                                           { "/a/../b=/D", "CONTAINER has a \"..\" component" } }) {
        row(("--map " + QByteArray(option)).constData(), in, { "--map", option, "/S", "/W" },
            "dorvane: --map \"" + QByteArray(option) + "\": " + problem + "\nexit 1", {});
    }
    row("--map, one CONTAINER with two HOSTs", in, { "-m", "/a=/x", "-m", "/a/=/x", "-m", "/a/=/y", "/S", "/W" },
        "dorvane: --map \"/a/=/y\": CONTAINER is mapped to \"/x\" already\nexit 1", {});

    // --container through --engine ./engine, a script in the build
    // directory: docker's format, recorded, and inspect output that is wrong.
    const auto engine = [](const QByteArray &script) -> Setup {
        return [=](const QString &dir) {
            qputenv("XDG_CACHE_HOME", "/C");
            QVERIFY(write(dir + "/engine", "#!/bin/sh\n" + script + '\n'));
            QVERIFY(QFile::setPermissions(dir + "/engine", QFile::permissions(dir + "/engine") | QFile::ExeOwner | QFile::ExeOther
                                                                  | QFile::ReadOther));
        };
    };
    const Setup docker = engine("cat " SOURCE_DIR "/tests/data/docker-inspect.json");
    const QStringList devbox = { "--engine", "./engine", "--container", "devbox" };
    const QByteArray box = "dorvane: --container devbox: ", dockerSysroot = "/C/dorvane/sysroots/72297848456d5d37d1262630108ab308d3e9ec7ed1c3286a32fe09856619a782";
    const QByteArray unreadable = "dorvane: warning: --container devbox: the volume at \"/home/vscode/.cache\" has no path a host "
                                  "tool can read: its paths stay as they are\ndorvane: warning: --container devbox: the tmpfs "
                                  "at \"/tmp/scratch\" has no path a host tool can read: its paths stay as they are\n";
    const QByteArray absentApp = "dorvane: warning: the host path \"/home/me/src/app\" for /workspaces/app does not exist on this host\n";
    const QByteArray inDevbox = "a=/workspaces/app/x;/opt/deps/y;/usr/include/z;/workspace/w";
    row("--container, docker's format", { inDevbox }, devbox,
        unreadable + box + "/opt/deps=/home/me/deps\n" + box + "/workspaces/app=/home/me/src/app\n" + box + "the sysroot path "
                + dockerSysroot + '\n' + box + "the workspace path /home/me/src/app\n"
                + "dorvane: warning: the host path \"/home/me/deps\" for /opt/deps does not exist on this host\n" + absentApp + "exit 0",
        { "a=/home/me/src/app/x;/home/me/deps/y;" + dockerSysroot + "/usr/include/z;/home/me/src/app/w" }, docker);
    row("--container, the paths and a --map given hold over it", { inDevbox }, devbox + QStringList { "-m", "/opt/deps=/D", "/S", "/W" },
        unreadable + box + "/workspaces/app=/home/me/src/app\n"
                + "dorvane: warning: the sysroot path \"/S\" does not exist on this host\n"
                  "dorvane: warning: the workspace path \"/W\" does not exist on this host\n"
                  "dorvane: warning: the host path \"/D\" for /opt/deps does not exist on this host\n" + absentApp + "exit 0",
        { "a=/home/me/src/app/x;/D/y;/S/usr/include/z;/W/w" }, docker);
    const QByteArray odd = "dorvane: warning: --container odd: a bind mount at \"";
    row("--container, binds no mapping can take, no workspace", in, { "--engine", "./engine", "--container", "odd" },
        odd + "/x\" is left out: no paths a mapping can take\n" + odd + "/a/../b\" is left out: no paths a mapping can take\n"
                "dorvane: --container odd: the sysroot path /C/dorvane/sysroots/cd\n"
                "dorvane: --container odd: the workspace path /workspace\nexit 0", { "a=/C/dorvane/sysroots/cd/usr/lib" },
        engine("echo '[{\"Id\": \"ab\", \"Image\": \"cd\", \"Mounts\": [{\"Type\": \"bind\", \"Source\": \"\", "
               "\"Destination\": \"/x\"}, {\"Type\": \"bind\", \"Source\": \"/s\", \"Destination\": \"/a/../b\"}]}]'"));
    row("--container with three paths", in, devbox + QStringList { "/S", "/W", "/X" },
        tryHelp + "Only sysroot and workspace paths must be provided!\nexit 1", {}, docker);
    for (const auto &[name, script, problem] :
         { std::tuple { "--container, inspect prints no JSON", "echo 'Error: no JSON'", "./engine inspect printed no JSON: illegal value at offset 1" },
           { "--container, inspect prints no Mounts", "echo '[{\"Id\": \"ab\", \"Image\": \"cd\"}]'", "./engine inspect printed a container with no \"Mounts\" array" },
           { "--container, inspect prints an empty array", "echo '[]'", "./engine inspect printed no container" },
           { "--container, inspect prints two containers", "echo '[{}, {}]'", "./engine inspect printed 2 containers, not one" },
           { "--container, inspect prints no image id", "echo '[{\"Id\": \"ab\", \"Image\": \"../..\", \"Mounts\": []}]'",
             "./engine inspect printed a container whose \"Image\" is no image id" },
           { "--container, the engine fails", "echo 'Error: no such container devbox' >&2; exit 125",
             "./engine inspect failed: Error: no such container devbox" },
           { "--container, no such engine", "", "cannot run ./missing: execvp: No such file or directory" } }) {
        const QStringList arguments = *script ? devbox : QStringList { "--engine", "./missing", "--container", "devbox" };
        row(name, in, arguments, box + problem + "\nexit 1", {}, engine(script));
    }
    row("--container, a folder two containers have", in, { "--engine", "./engine", "--container", "/" },
        "dorvane: --container /: 2 containers have the label devcontainer.local_folder=/\nexit 1", {},
        engine("[ \"$1 $5 $6\" = 'ps --filter label=devcontainer.local_folder=/' ] && echo 'aa\nbb'"));

    // What killed runs left: regular files named as the tool names its
    // temporary files, in the three places it writes them.
    const QByteArrayList leftovers = { ".dorvane-aZ09bY=1", "../.dorvane-000000=2", "../../../../.dorvane-QQQQQQ=3",
                                       ".dorvane-abcde=4", ".dorvane-abcdefg=5", ".dorvane-ab_cde=6",
                                       ".dorvane-Dir000/f=7", "a=/usr/lib" };
    const Setup linkLikeLeftover = [](const QString &dir) { QVERIFY(QFile::link("a", dir + reply + "/.dorvane-Link00")); };
    row("leftovers of killed runs", leftovers + QByteArrayList { ".." + kept.toUtf8() + "/.dorvane-KeptXX=8" }, sw, "exit 0",
        { ".dorvane-aZ09bY", "../.dorvane-000000", "../../../../.dorvane-QQQQQQ", "a=/S/usr/lib" }, linkLikeLeftover);
    // Without the lock another run may be writing them; its own still go on a signal.
    row("file system refuses locks", leftovers, sw, "exit 0", { "a=/S/usr/lib" }, linkLikeLeftover,
        refuse({ __NR_flock }, ENOLCK));
    row("terminated at a rename, where locks are refused", { "a=/usr/lib", "b=/usr/lib" }, sw, "killed", { "a=/S/usr/lib" },
        preload("DORVANE_SHIM_TERMINATE", "a"), refuse({ __NR_flock }, ENOLCK));

    // Links the build environment left: run() checks that the tree outside
    // the build directory, build/../outside, is as it was.
    const QByteArray leadsOut = "the link leads out of the build directory", out = ": skipped: " + leadsOut + "\n";
    row("links out: reply files, database, a link in the query directory", in, withDb,
        "dorvane: compile_commands.json" + out + "dorvane: " + r + "absolute" + linkSkipped + "dorvane: " + r + "relative"
                + linkSkipped + "Compilation database does not exist.\nexit 0",
        { "a=/S/usr/lib" }, [](const QString &dir) {
        QVERIFY(QFile::link(dir + "/../outside/a", dir + reply + "/absolute"));
        QVERIFY(QFile::link("../../../../../outside/a", dir + reply + "/relative"));
        QVERIFY(QFile::link("../outside/a", dir + "/compile_commands.json"));
        QVERIFY(QFile::link(dir + "/../outside", dir + query + "/client-ide/out"));
    });
    const auto moveOut = [](const QString &path) {
        return [=](const QString &dir) {
            QVERIFY(QDir().rename(dir + path, dir + "/../outside/moved") && QFile::link(dir + "/../outside/moved", dir + path));
        };
    };
    row("link out: reply directory, without openat2", in, sw, failed(r.chopped(1) + ": " + leadsOut), {},
        moveOut(reply), refuse({ __NR_openat2 }, ENOSYS));
    row("link out: .cmake", in, withDb, failed(r.chopped(1) + ": " + leadsOut), {}, moveOut("/.cmake"));
    // The query directory goes as a link, the note as a link gives way to a
    // file, and a link named as a leftover is no leftover.
    row("links out: query directory, note, leftover's name", { "index-1.json=/usr/lib" }, sw, "exit 0",
        { "index-1.json=/S/usr/lib" }, [](const QString &dir) {
        QVERIFY(write(dir + query + "/client-ide/query.json", "{}") && QDir().rename(dir + query, dir + "/../outside/query")
                && QFile::link("../../../../outside/query", dir + query));
        QVERIFY(QFile::link("../../../../outside/a", dir + reply + "/../" + noteName));
        QVERIFY(QFile::link("../../../../../outside/a", dir + reply + "/.dorvane-Out000"));
    });
    // Where a clangd user keeps the database's link, to a build directory
    // within: a run there by mistake leaves it to runs in the build directory.
    row("database linked from the source root", { "../../../../b/CMakeCache.txt=", "../../../../b/compile_commands.json=/usr/lib" },
        withDb, "dorvane: compile_commands.json: skipped: the link leads to the database of another build directory\n"
                + noBuildDirectory + "Reply and compilation database do not exist.\nexit 0", {}, [](const QString &dir) {
        QVERIFY(QDir(dir + "/.cmake").removeRecursively() && QFile::link("b/compile_commands.json", dir + "/compile_commands.json"));
    });
    row("a file in place of .cmake", {}, sw, noBuildDirectory + "Reply is not exist.\nexit 0", {}, [](const QString &dir) {
        QVERIFY(QDir(dir + "/.cmake").removeRecursively() && write(dir + "/.cmake", "x"));
    });
    row("a file in place of the reply", {}, sw, noBuildDirectory + "Reply is not exist.\nexit 0", {},
        [](const QString &dir) { QVERIFY(QDir(dir + reply).removeRecursively() && write(dir + reply, "x")); });
    // A file rewritten in place would give its other names the new content.
    row("link swapped in while the run goes on", { "a=/usr/lib", "b=/usr/lib" }, sw,
        "dorvane: " + r + "a" + linkSkipped + "exit 0", { "a", "b=/S/usr/lib" },
        preload("DORVANE_SHIM_SWAP", "a ../../../../../outside/a"));
}

void tst_Mapper::run()
{
    QFETCH(QByteArrayList, files);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, output);
    QFETCH(QByteArrayList, rewritten);
    QFETCH(Setup, setup);
    QFETCH(std::function<void()>, inChild);

    const bool isRoot = geteuid() == 0;
    const QByteArray tag = QTest::currentDataTag();
    if (!isRoot && (tag.contains("read") || tag.contains("write fails") || tag.contains("room") || tag.contains("query")))
        QSKIP("needs root, to run the tool as an ordinary user through setpriv");
    QTemporaryDir top;
    QVERIFY2(top.isValid(), qPrintable(top.errorString()));
    // QTemporaryDir cannot remove a name that is not UTF-8.
    const auto removeLink = qScopeGuard([&] { ::unlink(QFile::encodeName(top.path()) + "/b\xff"); });
    const QString dir = top.filePath("build"), outside = top.filePath("outside");
    QVERIFY(write(outside + "/a", "/usr/lib"));
    const auto contentOf = [](const QByteArray &file) { return file.mid(file.indexOf('=') + 1); };
    const auto pathOf = [&](const QByteArray &file) {
        return QDir::cleanPath(dir + reply + '/' + file.split('=').first().remove(0, file.startsWith('~')));
    };
    QVERIFY(QDir(dir).mkpath(dir + query + "/client-ide/x") && QDir(dir).mkpath(dir + reply));
    for (const QByteArray &file : files)
        QVERIFY(write(pathOf(file), contentOf(file)));
    for (QDirIterator it(top.path(), QDir::AllEntries | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
         isRoot && it.hasNext();)
        setOwner(it.next(), 65534);
    QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0755) == 0);
    if (setup)
        setup(dir);
    QMap<QString, QString> expected = snapshot(dir);
    const QMap<QString, QString> before = expected;
    const QMap<QString, QString> outsideBefore = snapshot(outside);
    const bool hadQuery = QFileInfo(dir + query).isDir(), hadFileApi = QFileInfo::exists(dir + "/.cmake");

    const bool asNobody = isRoot && !tag.endsWith("as root");
    // -C takes the build directory from where the run starts: its parent.
    const QString startIn = arguments.value(0) == "-C" ? top.path() : dir;
    const QByteArray shimSetting = qgetenv("DORVANE_SHIM_TERMINATE");
    const bool isWrittenAsCMake = shimSetting.endsWith(" write") || shimSetting.endsWith(" remove");
    const QByteArray printed = runTool(startIn, arguments, asNobody, inChild);
    for (const char *variable : { "LD_PRELOAD", "DORVANE_SHIM_SWAP", "DORVANE_SHIM_TERMINATE" })
        qunsetenv(variable);
    QCOMPARE(snapshot(outside), outsideBefore);
    QCOMPARE(printed, output);
    // Only a run that maps a database without a reply makes a place for its note.
    QCOMPARE(QFileInfo::exists(dir + "/.cmake"), hadFileApi || output.endsWith("\nReply is not exist.\nexit 0"));

    for (const QByteArray &file : rewritten) {
        const QString path = pathOf(file);
        // "~name": now the runner's.
        const QString owner = file.startsWith('~') ? QString::number(asNobody ? 65534 : geteuid()) : expected[path].section(' ', 0, 0);
        if (file.contains('='))
            expected[path] = owner + ' ' + expected[path].section(' ', 1, 1) + ' ' + contentOf(file).toPercentEncoding();
        else
            expected.remove(path);
    }
    QCOMPARE(snapshot(dir), expected);
    // What a run keeps is what CMake wrote, as the files were made: never a
    // version mapped, also where a run was killed.
    const QDir keptFiles(dir + reply + "/.." + kept);
    QHash<QString, QByteArray> madeAt; // by canonical path
    for (const QByteArray &file : files)
        madeAt.insert(QFileInfo(pathOf(file)).canonicalFilePath(), contentOf(file));
    for (const QString &name : keptFiles.entryList(QDir::Files | QDir::Hidden)) {
        const QString keptFor = name == ".compile_commands.json" ? dir + "/compile_commands.json" : dir + reply + '/' + name;
        // Or, for a file the row's setup made, as it stood before the run.
        const QByteArray made = madeAt.value(QFileInfo(keptFiles.filePath(name)).canonicalFilePath(),
                madeAt.value(QFileInfo(keptFor).canonicalFilePath(),
                             QByteArray::fromPercentEncoding(before.value(keptFor).section(' ', 2).toUtf8())));
        QVERIFY2(output.endsWith("exit 1") || read(keptFiles.filePath(name)) == made, qPrintable(name));
    }
    // Standard output, without the lines on standard error.
    const QStringList said = QString::fromUtf8(output).split('\n').filter(QRegularExpression("^(?!dorvane: )"));
    // The queries of a reply CMake emptied are left for the next configure.
    const bool isReplyMapped = said.last() == "exit 0" && !output.contains("/reply: empty, as CMake leaves it")
            && (said.size() == 1 || said == QStringList { "Compilation database does not exist.", "exit 0" });
    QCOMPARE(QFileInfo(dir + query).isDir(), hadQuery && !isReplyMapped);

    // A reply is mapped once: another run changes nothing, and neither does
    // one after the note is gone, where what CMake wrote is kept to tell.
    // (Not where the shim wrote or removed a file, as CMake would.)
    if (said != QStringList { "exit 0" } || isWrittenAsCMake)
        return;
    for (const bool withNote : { true, false }) {
        if (!withNote && (QDir(dir + reply + "/.." + kept).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden) || !QFile::remove(dir + reply + "/../" + noteName)))
            return;
        QVERIFY(QDir().mkpath(dir + query));
        QCOMPARE(runTool(startIn, arguments, asNobody, inChild), output);
        QCOMPARE(snapshot(dir), expected);
        QCOMPARE(QFileInfo::exists(dir + query), !isReplyMapped);
    }
}

// A run that finds the build directory locked says that it waits, and maps
// once the lock is given up; one locked out for longer than it waits
// changes nothing and fails.
void tst_Mapper::lockedOut()
{
    QTemporaryDir build;
    QVERIFY2(build.isValid(), qPrintable(build.errorString()));
    QVERIFY(write(build.path() + reply + "/index-1.json", "/usr/lib"));
    const int lockFd = ::open(QFile::encodeName(build.path()).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(lockFd >= 0 && flock(lockFd, LOCK_EX) == 0);
    const auto unlock = qScopeGuard([&] { ::close(lockFd); });
    const QString current = QDir::currentPath();
    QVERIFY(QDir::setCurrent(build.path()));
    CmakeApiMapper mapper("/S", "/W");
    mapper.setLockWait(200);
    const bool mapped = mapper.setBuildDirectory() && mapper.DoCMakeApiPathMapping();
    QDir::setCurrent(current);
    QVERIFY(!mapped);
    QCOMPARE(mapper.runReport().problem(), ".: another run held the build directory for the whole wait of 0.2 s");
    QCOMPARE(read(build.path() + reply + "/index-1.json"), "/usr/lib");

    QProcess waiting;
    waiting.setWorkingDirectory(build.path());
    waiting.setReadChannel(QProcess::StandardError);
    waiting.start(DORVANE_EXE, { "/tmp", "/usr" });
    while (!waiting.canReadLine() && waiting.waitForReadyRead(10000)) { }
    QCOMPARE(waiting.readAllStandardError(),
             "dorvane: .: another run is mapping here: waiting up to 60 s for it to end\n");
    QVERIFY(flock(lockFd, LOCK_UN) == 0);
    QVERIFY(waiting.waitForFinished(10000) && waiting.exitCode() == 0);
    QCOMPARE(read(build.path() + reply + "/index-1.json"), "/tmp/usr/lib");
}

// A container that runs as root in a user's build directory: what the run
// creates there is the user's, so that the user's next run after a
// configure, and removing the build directory, work.
void tst_Mapper::rootThenItsUser()
{
    if (geteuid() != 0)
        QSKIP("needs root, to run the tool as root and then as an ordinary user");
    QTemporaryDir top;
    QVERIFY2(top.isValid(), qPrintable(top.errorString()));
    const QString build = top.filePath("build");
    const auto configure = [&](const char *index) {
        QVERIFY(QDir().mkpath(build + query) && write(build + reply + '/' + index, "/usr/lib")
                && write(build + "/compile_commands.json", "[\"/usr/include\"]"));
        QCOMPARE(runProcess("chown", { "-R", "65534:65534", build + query, build + reply }, build), "exit 0");
        QCOMPARE(runProcess("chown", { "65534:65534", build + "/compile_commands.json", top.path(), build, build + "/.cmake",
                                       build + "/.cmake/api", build + "/.cmake/api/v1" }, build),
                 "exit 0");
    };
    configure("index-1.json");
    QVERIFY(runTool(build, { "--compile-commands", "/S", "/W" }).endsWith("exit 0"));
    for (const char *made : { "/.dorvane-mapped-files", "/.dorvane-kept", "/.dorvane-kept/index-1.json" })
        QVERIFY2(QFileInfo(build + "/.cmake/api/v1" + made).ownerId() == 65534, made);
    QVERIFY(QFile::remove(build + reply + "/index-1.json"));
    configure("index-2.json");
    QVERIFY(runTool(build, { "--compile-commands", "/S", "/W" }, true).endsWith("exit 0"));
    QCOMPARE(read(build + reply + "/index-2.json"), "/S/usr/lib");
    QCOMPARE(runProcess("setpriv", { "--reuid=65534", "--regid=65534", "--clear-groups", "rm", "-rf", build }, top.path()),
             "exit 0");
}

// A large reply file, and a database of several pieces: the first has
// nothing to map, and the second holds no quote to cut after. A run stays
// within eight times the largest reply file plus 48 MiB. A child's peak
// memory counts its parent's before it, so this runs first and writes the
// files in pieces.
void tst_Mapper::largeFiles()
{
    QTemporaryDir build;
    QVERIFY2(build.isValid(), qPrintable(build.errorString()));
    const QByteArray unit = R"({"p": "/opt/cross/x/sys-root/usr/lib64/libz.so", "f": "-specs=/usr/lib/rpm/c1", "w": "/workspace/a")"
                            "\xEF\xBB\xBF}";
    const QByteArray mappedUnit = QByteArray(unit).replace("/opt/cross/x/sys-root", "/S").replace("/workspace", "/W");
    // More than a piece that two runs with other sysroot paths map the same.
    const QByteArray unchanged = QByteArray(R"("/usr/local/lib", )").repeated(100000), same = QByteArray(R"("/workspace/a" )").repeated(100000);
    const QString object = build.path() + reply + "/target-a.json", database = build.filePath("compile_commands.json");
    QVERIFY(write(object, unit.repeated(50000)) && write(database, unchanged + same + QByteArray("/usr/lib ").repeated(150000)));
    for (int i = 0; i < 600; ++i)
        QVERIFY(write(database, unit.repeated(1000), QIODevice::Append));
    QVERIFY(runTool(build.path(), { "--compile-commands", "/S", "/W" }).endsWith("exit 0"));
    rusage usage;
    QVERIFY(getrusage(RUSAGE_CHILDREN, &usage) == 0);
    QVERIFY(read(object) == mappedUnit.repeated(50000));
    const QByteArray mappedSame = QByteArray(same).replace("/workspace", "/W");
    QVERIFY(read(database) == unchanged + mappedSame + QByteArray("/S/usr/lib ").repeated(150000) + mappedUnit.repeated(600000));
    // Other paths map what is kept, and the new version takes what stands
    // up to where the two differ.
    QVERIFY(runTool(build.path(), { "--compile-commands", "/T", "/W" }).endsWith("exit 0"));
    QVERIFY(read(database) == unchanged + mappedSame + QByteArray("/T/usr/lib ").repeated(150000)
            + QByteArray(mappedUnit).replace("/S", "/T").repeated(600000));
#ifndef DORVANE_SANITIZE
    QVERIFY2(usage.ru_maxrss <= 8 * unit.size() * 50000 / 1024 + 48 * 1024, qPrintable(QString::number(usage.ru_maxrss)));
#endif
}

QTEST_GUILESS_MAIN(tst_Mapper)
#include "tst_mapper.moc"
