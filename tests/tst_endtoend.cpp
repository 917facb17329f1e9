// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Configures the sample project with real CMake and maps the reply and the
// compilation database it wrote: once, in the loop an IDE runs, in runs that
// overlap, and after a run that was killed.

#include "properties.h"
#include "toolrun.h"

#include <QtCore/QDeadlineTimer>
#include <QtCore/QDirIterator>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QUrl>
#include <QtCore/QRandomGenerator>
#include <QtCore/QScopeGuard>
#include <QtCore/QStandardPaths>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>

#include <array>
#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void mapRealReply();
    void mapOnceInTheLoop();
    void mapInOverlappingAndKilledRuns();
    void clangdFindsHeaders();
    void mapWhenPathsChange();
    void mapContainerLayout();
    void watchKeepsUpWithCMake();
    void watchSaysWhatStands();
    void mapCopiedBuildDirectory();
    void hostToolsTakeTheTable();
    void mapWithContainer();

private:
    bool configure(bool afresh = false);
    QByteArray map(const QStringList &options = { "--compile-commands" }, bool asNobody = false, rlim_t killAtSize = 0);
    QMap<QString, QString> readReply(bool withNote = false, const QString &directory = {});
    QMap<QString, QString> mappedAfresh();

    QTemporaryDir source;
    QTemporaryDir build;
    // Where the host has the sysroots, and the project once it moved.
    QTemporaryDir host;
    QString sysroot = host.filePath("trixie");
    // The sample itself: there its SDK, /workspace/sdk in the build
    // environment, is on this machine.
    QString workspace = SOURCE_DIR "/examples/hello";
};

void tst_EndToEnd::initTestCase()
{
    QVERIFY(source.isValid() && build.isValid() && host.isValid());
    // An ordinary user runs the tool in some steps, and sees the sysroots too.
    QVERIFY(QFile::setPermissions(host.path(), QFile::permissions(host.path()) | QFile::ReadOther | QFile::ExeOther));
    for (const char *path : { "trixie", "bookworm", "moved/hello" })
        QVERIFY(QDir(host.path()).mkpath(path));
}

// Asks for the reply an IDE asks for, as it does before every configure;
// afresh, as CMake writes the reply and the database in a new build directory.
bool tst_EndToEnd::configure(bool afresh)
{
    if (afresh && !(QDir(build.filePath(".cmake/api/v1/reply")).removeRecursively()
                    && QFile::remove(build.filePath("compile_commands.json"))))
        return false;
    for (const char *kind : { "codemodel-v2", "cache-v2", "cmakeFiles-v1", "toolchains-v1" }) {
        if (!write(build.filePath(".cmake/api/v1/query/") + kind, {}))
            return false;
    }
    const QDir sample(workspace);
    for (const QString &name : sample.entryList(QDir::Files))
        QFile::copy(sample.filePath(name), source.filePath(name));
    return runProcess(CMAKE_EXE, { "-S", source.path(), "-B", ".", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON" }, build.path())
            .endsWith("exit 0");
}

// What the tool printed, and how it ended. With a size, it is killed when it
// writes past it, as SIGKILL would kill it.
QByteArray tst_EndToEnd::map(const QStringList &options, bool asNobody, rlim_t killAtSize)
{
    return runTool(build.path(), options + QStringList { sysroot, workspace }, asNobody, [killAtSize] {
        const rlimit fileSize = { killAtSize, killAtSize }, noCore = { 0, 0 };
        if (killAtSize && (setrlimit(RLIMIT_FSIZE, &fileSize) != 0 || setrlimit(RLIMIT_CORE, &noCore) != 0))
            _exit(125);
        signal(SIGXFSZ, SIG_DFL);
    });
}

// The reply files by name, the index by its kind alone: its name is the time
// it was written. Then the database, and the note if asked.
QMap<QString, QString> tst_EndToEnd::readReply(bool withNote, const QString &directory)
{
    const QDir dir((directory.isEmpty() ? build.path() : directory) + "/.cmake/api/v1/reply");
    QMap<QString, QString> files;
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden))
        files[name.startsWith("index-") ? "index" : name] = read(dir.filePath(name));
    files["database"] = read(dir.filePath("../../../../compile_commands.json"));
    if (withNote)
        files["note"] = read(dir.filePath("../.dorvane-mapped-files"));
    return files;
}

// The reply of the project as it stands, written anew and mapped once.
QMap<QString, QString> tst_EndToEnd::mappedAfresh()
{
    if (!configure(true) || map() != "exit 0")
        return { { "failed", "to configure and map afresh" } };
    return readReply();
}

void tst_EndToEnd::mapRealReply()
{
    QVERIFY2(configure(), "cannot configure the sample");
    const QMap<QString, QString> before = readReply();
    QCOMPARE(map({}), "exit 0");
    QCOMPARE(readReply()["database"], before["database"]);
    QCOMPARE(map(), "exit 0");
    QVERIFY(!QFileInfo::exists(build.filePath(".cmake/api/v1/query")));
    const QMap<QString, QString> after = readReply();
    QCOMPARE(after.keys(), before.keys());
    // CMake's modules, the compiler's directories, a cross root and the
    // workspace: a reply without them would prove nothing.
    const QString all = before.values().join("");
    QVERIFY(all.count("/usr/") > 50 && all.contains("/opt/cross/") && before["database"].contains("/workspace"));
    for (const QString &name : before.keys()) {
        if (!name.startsWith("cache-"))
            QCOMPARE(after[name], referenceRewrite(before[name], replyTextRules, sysroot, workspace));
    }
    // The cache reply's flags keep the build environment's libraries.
    QVERIFY(after.values().join("").contains("-I" + sysroot + "/usr/include/hello-sdk -L/usr/lib -I" + workspace + "/sdk/include"));
}

// Goes on from the reply mapped above. CMake keeps every reply object it
// would write again as it is, mapped, and writes the database anew.
void tst_EndToEnd::mapOnceInTheLoop()
{
    QVERIFY(write(source.filePath("CMakeLists.txt"), "target_compile_definitions(hello PRIVATE LOOP=1)\n", QIODevice::Append));
    QVERIFY(configure());
    QCOMPARE(map(), "exit 0");
    // Read before the comparison, which may take its arguments in either order.
    QMap<QString, QString> mapped = readReply();
    QCOMPARE(mapped, mappedAfresh());

    // Another run over the mapped reply changes no byte, the note included.
    mapped = readReply(true);
    QVERIFY(QDir().mkpath(build.filePath(".cmake/api/v1/query")));
    QCOMPARE(map(), "exit 0");
    QCOMPARE(readReply(true), mapped);
    QVERIFY(!QFileInfo::exists(build.filePath(".cmake/api/v1/query")));

    // A run that stops at a new object it cannot read, after mapping another
    // before it, then a run that can.
    if (geteuid() != 0)
        QSKIP("needs root, to run the tool as an ordinary user through setpriv");
    QVERIFY(write(source.filePath("CMakeLists.txt"), "target_compile_definitions(greet PRIVATE RETRY=1)\n"
                  "target_compile_definitions(hello PRIVATE RETRY=1)\n", QIODevice::Append));
    QVERIFY(configure());
    QCOMPARE(runProcess("chown", { "-R", "65534:65534", "." }, build.path()), "exit 0");
    const QByteArray unreadable = ".cmake/api/v1/reply/"
            + readReply().keys().filter(QRegularExpression("^target-hello-")).value(0).toUtf8();
    QVERIFY(::chmod(build.filePath(unreadable).toUtf8(), 0600) == 0 && ::chown(build.filePath(unreadable).toUtf8(), 0, 0) == 0);
    QCOMPARE(map({ "--compile-commands" }, true), "dorvane: " + unreadable + ": cannot read: Permission denied\nMapping error!\nexit 1");
    QVERIFY(::chown(build.filePath(unreadable).toUtf8(), 65534, 65534) == 0);
    QCOMPARE(map({ "--compile-commands" }, true), "exit 0");
    mapped = readReply();
    QCOMPARE(mapped, mappedAfresh());
}

// Runs that overlap in one build directory wait for each other, so that
// between them they map the reply once. A run killed while it writes a file
// leaves the reply as it was, and the next run maps it and removes what the
// killed run left.
void tst_EndToEnd::mapInOverlappingAndKilledRuns()
{
    const QMap<QString, QString> mapped = mappedAfresh();
    for (int round = 0; round < 8; ++round) {
        QVERIFY(configure(true));
        std::array<QProcess, 4> runs;
        for (QProcess &run : runs) {
            run.setWorkingDirectory(build.path());
            run.start(DORVANE_EXE, { "--compile-commands", sysroot, workspace });
        }
        for (QProcess &run : runs)
            QVERIFY(run.waitForFinished(60000) && run.exitCode() == 0 && run.readAllStandardOutput().isEmpty());
        QCOMPARE(readReply(), mapped);
    }
    QVERIFY(configure(true));
    QCOMPARE(map({ "--compile-commands" }, false, 4096), "killed");
    QCOMPARE(readReply().keys().filter(QRegularExpression("^\\.dorvane-")).size(), 1);
    QCOMPARE(map(), "exit 0");
    QCOMPARE(readReply(), mapped);
}

// clangd on the host finds the SDK's header only through the mapped database.
void tst_EndToEnd::clangdFindsHeaders()
{
    if (QStandardPaths::findExecutable("clangd").isEmpty())
        QSKIP("clangd is not installed");
    const QStringList check = { "--check=" + source.filePath("greet.cpp"), "--compile-commands-dir=" + build.path() };
    QVERIFY(configure(true));
    QVERIFY(!runProcess("clangd", check, build.path()).endsWith("exit 0"));
    QCOMPARE(map(), "exit 0");
    QVERIFY(runProcess("clangd", check, build.path()).endsWith("\nexit 0"));
}

// A user fixes a path and configures again, or runs with other paths right
// away: each loop ends as one run with the last paths leaves what CMake
// wrote. A step is the two paths to map with, "configure", or "edit" the
// project and configure.
void tst_EndToEnd::mapWhenPathsChange()
{
    const QStringList a = { sysroot, workspace }, b = { host.filePath("bookworm"), host.filePath("moved/hello") };
    const QStringList onlyWorkspace = { sysroot, b.last() }, onlySysroot = { b.first(), workspace };
    const QStringList configure = { "configure" }, edit = { "edit" };
    for (const QList<QStringList> &loop : QList<QList<QStringList>> { { a, configure, b }, { a, edit, b },
                                                                       { a, configure, b, configure, a },
                                                                       { a, configure, onlyWorkspace },
                                                                       { a, configure, onlySysroot }, { a, b } }) {
        QVERIFY(this->configure(true));
        for (const QStringList &step : loop) {
            if (step == edit)
                QVERIFY(write(source.filePath("CMakeLists.txt"), "target_compile_definitions(greet PRIVATE EDIT=1)\n",
                              QIODevice::Append));
            if (step.size() == 1)
                QVERIFY(this->configure());
            else
                std::tie(sysroot, workspace) = std::pair(step.first(), step.last());
            if (step.size() == 2)
                QCOMPARE(map(), "exit 0");
        }
        const QMap<QString, QString> mapped = readReply();
        QCOMPARE(mapped, mappedAfresh());
        std::tie(sysroot, workspace) = std::pair(a.first(), a.last());
    }
}

namespace {

// A project that a container sees at /srv/workspaces/app, built in /mnt/build
// with CMAKE_SYSROOT, a package under /opt/deps and its config under
// /usr/local/lib/cmake; the container's system root is the host's own,
// through links. The host compiler builds it.
bool makeContainerProject(const QDir &dir)
{
    return write(dir.filePath("src/CMakeLists.txt"), "cmake_minimum_required(VERSION 3.16)\nproject(app C)\n"
                 "find_package(Deps REQUIRED)\nadd_library(util STATIC util.c)\n"
                 "target_include_directories(util PUBLIC include)\nadd_executable(app main.c)\n"
                 "target_link_libraries(app PRIVATE util Deps::Deps)\n")
            && write(dir.filePath("src/include/util.h"), "int util(void);\n")
            && write(dir.filePath("src/util.c"), "#include \"util.h\"\nint util(void) { return 1; }\n")
            && write(dir.filePath("src/main.c"), "#include <stdio.h>\n#include <deps.h>\n#include \"util.h\"\n"
                                                 "int main(void) { printf(\"%d\", util() + DEPS); return 0; }\n")
            && write(dir.filePath("deps/include/deps.h"), "#define DEPS 2\n")
            && write(dir.filePath("cmake/Deps/DepsConfig.cmake"), "add_library(Deps::Deps INTERFACE IMPORTED)\n"
                     "set_target_properties(Deps::Deps PROPERTIES INTERFACE_INCLUDE_DIRECTORIES /opt/deps/include)\n")
            && dir.mkpath("sysroot") && QFile::link("/usr", dir.filePath("sysroot/usr"))
            && QFile::link("/usr/lib", dir.filePath("sysroot/lib")) && QFile::link("/usr/lib64", dir.filePath("sysroot/lib64"));
}

// A command in the container, with the build directory dir/build mounted at /mnt/build.
QByteArray inContainer(const QDir &dir, const QString &build, const QStringList &command)
{
    const QString mounts = "set -e\n"
            "mount -t tmpfs tmpfs /srv; mkdir -p /srv/workspaces/app; mount --bind \"$1/src\" /srv/workspaces/app\n"
            "mount -t tmpfs tmpfs /opt; mkdir -p /opt/deps /opt/cross/T/sys-root\n"
            "mount --bind \"$1/deps\" /opt/deps; mount --bind \"$1/sysroot\" /opt/cross/T/sys-root\n"
            "mount -t tmpfs tmpfs /usr/local/lib; mkdir /usr/local/lib/cmake; mount --bind \"$1/cmake\" /usr/local/lib/cmake\n"
            "mount -t tmpfs tmpfs /mnt; mkdir /mnt/build; mount --bind \"$1/$2\" /mnt/build\nshift 2; exec \"$@\"";
    return runProcess("unshare", QStringList { "-m", "--propagation", "private", "sh", "-c", mounts, "sh", dir.path(), build }
                      + command, dir.path());
}

QByteArray configureInContainer(const QDir &dir, const QString &build)
{
    return inContainer(dir, build, { CMAKE_EXE, "-S", "/srv/workspaces/app", "-B", "/mnt/build",
                                     "-DCMAKE_SYSROOT=/opt/cross/T/sys-root", "-DDeps_DIR=/usr/local/lib/cmake/Deps",
                                     "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON" });
}

QStringList containerMappings(const QDir &dir)
{
    return { "--map", "/srv/workspaces/app=" + dir.filePath("src"), "--map", "/opt/deps=" + dir.filePath("deps"),
             "--map", "/usr/local/lib/cmake=" + dir.filePath("cmake"), "--map",
             "/opt/cross/T/sys-root=" + dir.filePath("sysroot"), "--map", "/mnt/build=" + dir.filePath("build") };
}

// Why the container project mapped in dir/build is not as the host needs it:
// a path of the database that does not exist, or one of the container's, or
// a path mapped twice, in it or in the reply; then what clangd says. Empty
// where it is as the host needs it.
QByteArray whatIsNotMapped(const QDir &dir, const QString &build = "build")
{
    const QByteArray database = read(dir.filePath(build + "/compile_commands.json"));
    static const QRegularExpression path(R"((?<=[\s"=]|-I)/[^\s"]+)");
    int paths = 0;
    for (const QRegularExpressionMatch &match : path.globalMatch(QString::fromUtf8(database))) {
        if (!QFileInfo::exists(match.captured()))
            return "missing " + match.captured().toUtf8();
        ++paths;
    }
    QByteArray all = database;
    for (const QFileInfo &file : QDir(dir.filePath(build + "/.cmake/api/v1/reply")).entryInfoList(QDir::Files))
        all += read(file.filePath());
    for (const char *container : { "/srv/workspaces", "/opt/", "/usr/local/lib/cmake", "/mnt/build" }) {
        if (all.contains(container))
            return "container path " + QByteArray(container);
    }
    for (const char *host : { "src", "sysroot", "deps", "build" }) {
        if (all.contains(QFile::encodeName(dir.filePath(host) + dir.filePath(host))))
            return "mapped twice " + QByteArray(host);
    }
    if (paths < 10)
        return "too few paths in the database";
    if (QStandardPaths::findExecutable("clangd").isEmpty())
        return {};
    const QByteArray checked = runProcess("clangd", { "--check=" + dir.filePath("src/main.c"),
                                                      "--compile-commands-dir=" + dir.filePath(build) }, dir.path());
    return checked.contains("All checks completed, 0 errors") ? QByteArray() : checked.right(400);
}

} // namespace

// With a mapping for each path of the container, every path the database
// names exists on the host and clangd finds every header; without, it does not.
void tst_EndToEnd::mapContainerLayout()
{
    if (geteuid() != 0)
        QSKIP("needs root, to configure in a mount namespace of its own");
    QTemporaryDir host;
    QVERIFY2(host.isValid(), qPrintable(host.errorString()));
    const QDir dir(host.path());
    QVERIFY(makeContainerProject(dir));
    for (const QString &build : QStringList { "build", "control" }) {
        QVERIFY(write(dir.filePath(build + "/.cmake/api/v1/query/codemodel-v2"), {})
                && write(dir.filePath(build + "/.cmake/api/v1/query/cmakeFiles-v1"), {}));
        QVERIFY(configureInContainer(dir, build).endsWith("exit 0"));
        QCOMPARE(runTool(dir.filePath(build), (build == "build" ? containerMappings(dir) : QStringList())
                         + QStringList { "--compile-commands", dir.filePath("sysroot"), dir.filePath("src") }), "exit 0");
    }
    QCOMPARE(whatIsNotMapped(dir), QByteArray());
    QVERIFY(whatIsNotMapped(dir, "control").startsWith("missing /"));
}

// A watch beside the container: each configure, whether an IDE writes the
// queries first or a build runs CMake again, is mapped once; idle, it does
// nothing; it keeps up when the build directory goes and comes back, and
// ends with status 0 on a signal, between runs or in one.
// A watch, and what it says on standard error.
struct Watch : QProcess
{
    Watch(const QString &directory, const QStringList &arguments, const QMap<QString, QString> &settings = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (auto setting = settings.begin(); setting != settings.end(); ++setting)
            environment.insert(setting.key(), setting.value());
        setProcessEnvironment(environment);
        setWorkingDirectory(directory);
        setReadChannel(QProcess::StandardError);
        start(DORVANE_EXE, QStringList { "--watch" } + arguments);
    }
    ~Watch() override
    {
        if (state() != QProcess::NotRunning && processId() > 0)
            ::kill(pid_t(processId()), SIGTERM);
        waitForFinished(5000);
    }
    // What it says next, until it has said line or a few seconds went by.
    QByteArray next(const QByteArray &line, int milliseconds = 15000)
    {
        QDeadlineTimer deadline(milliseconds);
        const qsizetype from = said.size();
        while (!(said.mid(from).contains(line) && said.endsWith('\n')) && waitForReadyRead(int(deadline.remainingTime())))
            said += readAllStandardError();
        return said.mid(from);
    }
    QByteArray said;
};

void tst_EndToEnd::watchKeepsUpWithCMake()
{
    if (geteuid() != 0)
        QSKIP("needs root, to configure in a mount namespace of its own");
    QTemporaryDir host;
    QVERIFY2(host.isValid(), qPrintable(host.errorString()));
    const QDir dir(host.path());
    const QString build = dir.filePath("build"), queries = build + "/.cmake/api/v1/query/";
    const auto writeQueries = [&] { return write(queries + "codemodel-v2", {}) && write(queries + "cmakeFiles-v1", {}); };
    const auto edit = [&](const QByteArray &line) { return write(dir.filePath("src/CMakeLists.txt"), line + "\n", QIODevice::Append); };
    QVERIFY(makeContainerProject(dir) && writeQueries() && configureInContainer(dir, "build").endsWith("exit 0"));
    const QStringList arguments = QStringList { "--watch", "--compile-commands" } + containerMappings(dir)
            + QStringList { dir.filePath("sysroot"), dir.filePath("src") };
    // Each run it makes takes the lock once, which the shim counts.
    Watch watch(build, arguments.mid(1), { { "LD_PRELOAD", SHIM }, { "DORVANE_SHIM_LOCKS", dir.filePath("locks") } });
    QByteArray &said = watch.said;
    const auto next = [&](const QByteArray &line, int milliseconds = 15000) { return watch.next(line, milliseconds); };
    QVERIFY(next("watching .").contains(" reply files and compile_commands.json\n"));
    QCOMPARE(whatIsNotMapped(dir), QByteArray());
    // As an IDE configures, as a build's own run of CMake configures, and a
    // real build that runs CMake again: the queries stay for each, which
    // answers them.
    const auto isReplied = [&] { return QFileInfo::exists(queries) && QDir(build + "/.cmake/api/v1/reply").count() > 5; };
    QVERIFY(edit("add_compile_definitions(IDE=1)") && writeQueries() && configureInContainer(dir, "build").endsWith("exit 0"));
    QVERIFY2(next("mapped").contains(" reply files and compile_commands.json\n"), said.constData());
    QVERIFY(whatIsNotMapped(dir).isEmpty() && isReplied());
    QVERIFY(edit("add_compile_definitions(BUILD=1)") && configureInContainer(dir, "build").endsWith("exit 0"));
    QVERIFY2(next("mapped").contains(" reply files and compile_commands.json\n"), said.constData());
    QVERIFY(whatIsNotMapped(dir).isEmpty() && isReplied());
    QVERIFY(edit("add_library(x STATIC util.c)\ntarget_link_libraries(x PRIVATE util)") && inContainer(dir, "build", { CMAKE_EXE, "--build", "/mnt/build" }).endsWith("exit 0"));
    QVERIFY2(next("mapped").contains(" reply files and compile_commands.json\n"), said.constData());
    QVERIFY(whatIsNotMapped(dir).isEmpty() && isReplied());

    // Idle: no CPU a user could measure, nothing written, nothing said.
    const auto cpuTicks = [&] {
        const QList<QByteArray> fields = read("/proc/" + QString::number(watch.processId()) + "/stat").split(' ');
        return fields.value(13).toLongLong() + fields.value(14).toLongLong();
    };
    const auto written = [&] {
        QStringList files;
        for (QDirIterator it(build, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); it.hasNext();)
            files += it.next() + ' ' + QString::number(it.fileInfo().lastModified().toMSecsSinceEpoch());
        return files;
    };
    const QStringList before = written();
    const qint64 ticks = cpuTicks();
    QVERIFY2(next("anything", 3000).isEmpty(), said.constData());
    QCOMPARE_LE(cpuTicks() - ticks, 3); // 30 ms in 3 s
    QCOMPARE(written(), before);

    // Removed and configured anew; a configure that fails; a one-shot run
    // beside the watch, which takes turns with it; a second watch.
    QVERIFY(QDir(build).removeRecursively() && writeQueries() && configureInContainer(dir, "build").endsWith("exit 0"));
    QVERIFY2(next("mapped").contains(" reply files and compile_commands.json\n"), said.constData());
    QCOMPARE(whatIsNotMapped(dir), QByteArray());
    QVERIFY(edit("syntax error(") && !configureInContainer(dir, "build").endsWith("exit 0"));
    QVERIFY(next("mapped", 1000).isEmpty());
    // One that fails as it generates writes the database but no index: it is mapped.
    const QByteArray failing = "add_custom_target(bad DEPENDS $<TARGET_FILE:nosuch>)\n";
    QVERIFY(write(dir.filePath("src/CMakeLists.txt"), read(dir.filePath("src/CMakeLists.txt")).replace("syntax error(\n", failing)));
    QVERIFY(!configureInContainer(dir, "build").endsWith("exit 0"));
    QVERIFY2(next("mapped").endsWith(": mapped compile_commands.json\n"), said.constData());
    QVERIFY(whatIsNotMapped(dir).isEmpty() && isReplied());
    QVERIFY(write(dir.filePath("src/CMakeLists.txt"), read(dir.filePath("src/CMakeLists.txt")).replace(failing, "")));
    QVERIFY(writeQueries() && configureInContainer(dir, "build").endsWith("exit 0"));
    QCOMPARE(runTool(build, arguments.mid(1)), "exit 0");
    next("mapped", 3000);
    QCOMPARE(whatIsNotMapped(dir), QByteArray());
    QCOMPARE(runTool(build, arguments), "dorvane: .: another watch is running here\nexit 1");
    QVERIFY(::kill(pid_t(watch.processId()), SIGTERM) == 0 && watch.waitForFinished(5000));
    QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch.exitCode(), 0);
    // One run for each configure that wrote, and one to start: its own writes set off none.
    QCOMPARE(read(dir.filePath("locks")).count("lock"), 7);
    QCOMPARE(watch.readAllStandardOutput(), QByteArray());

    // Signals in the middle of a run: the exchange that puts the database in
    // place ends first, and nothing is left behind.
    for (const char *signal : { "int", "before" }) {
        QVERIFY(writeQueries() && configureInContainer(dir, "build").endsWith("exit 0"));
        QProcess signalled;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LD_PRELOAD", SHIM);
        environment.insert("DORVANE_SHIM_TERMINATE", QByteArray("compile_commands.json ") + signal);
        signalled.setProcessEnvironment(environment);
        signalled.setWorkingDirectory(build);
        signalled.start(DORVANE_EXE, arguments);
        QVERIFY(signalled.waitForFinished(10000));
        QCOMPARE(signalled.exitStatus(), QProcess::NormalExit);
        QCOMPARE(signalled.exitCode(), 0);
        QVERIFY(!read(build + "/compile_commands.json").contains("/mnt/build"));
        QStringList left;
        for (QDirIterator it(build, { ".dorvane-??????" }, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
            left += it.next();
        QCOMPARE(left, QStringList());
        for (const QFileInfo &file : QDir(build + "/.cmake/api/v1/reply").entryInfoList(QDir::Files))
            QVERIFY2(!QJsonDocument::fromJson(read(file.filePath())).isNull(), qPrintable(file.fileName()));
    }
}

// Where a watch waits and what it says, with the reply written as CMake
// writes one: below directories not made yet; through a link switched to
// another build directory; where the kernel refuses to watch the reply as
// it comes; where CMake removes a file as the run replaces it; and where a
// failure stands over two configures.
void tst_EndToEnd::watchSaysWhatStands()
{
    QTemporaryDir top;
    QVERIFY2(top.isValid(), qPrintable(top.errorString()));
    const QDir dir(top.path());
    const auto configure = [&](const QString &build, const QByteArray &index = "index-1.json") {
        return write(dir.filePath(build + "/CMakeCache.txt"), {}) && write(dir.filePath(build + "/.cmake/api/v1/reply/a"), "/usr/lib")
                && write(dir.filePath(build + "/.cmake/api/v1/reply/" + index), "/usr/lib");
    };
    {
        Watch watch(top.path(), { "-C", "out/build/p", "/S", "/W" });
        QVERIFY2(watch.next("watching").endsWith(": watching out/build/p for CMake's reply\n"), watch.said.constData());
        QVERIFY(configure("out/build/p"));
        QVERIFY2(watch.next("mapped").endsWith(": mapped 2 reply files\n"), watch.said.constData());
        QCOMPARE(read(dir.filePath("out/build/p/.cmake/api/v1/reply/a")), "/S/usr/lib");
    }
    QVERIFY(configure("b1") && dir.mkdir("b2") && QFile::link("b1", dir.filePath("link")));
    {
        Watch watch(top.path(), { "-C", "link", "/S", "/W" });
        QVERIFY2(watch.next("watching").contains(": mapped 2 reply files\n"), watch.said.constData());
        QVERIFY(QFile::remove(dir.filePath("link")) && QFile::link("b2", dir.filePath("link")) && configure("b2"));
        QVERIFY2(watch.next("mapped").endsWith(": mapped 2 reply files\n"), watch.said.constData());
        QCOMPARE(read(dir.filePath("b2/.cmake/api/v1/reply/a")), "/S/usr/lib");
    }
    // The shim in each watch, which counts the runs: each takes the lock once.
    const QString locks = dir.filePath("locks");
    const auto runs = [&] { return read(locks).count("lock"); };
    const auto shim = [&](const QString &variable = {}, const QString &setting = {}) {
        QFile::remove(locks);
        QMap<QString, QString> settings { { "LD_PRELOAD", SHIM }, { "DORVANE_SHIM_LOCKS", locks } };
        if (!variable.isEmpty())
            settings.insert(variable, setting);
        return settings;
    };
    // No CMakeCache.txt yet: the watch waits for CMake there, and says only that.
    QVERIFY(dir.mkdir("c"));
    {
        Watch watch(top.path(), { "-C", "c", "/S", "/W" }, shim("DORVANE_SHIM_WATCHES", "reply"));
        QVERIFY2(watch.next("watching").endsWith(": watching c for CMake's reply\n") && !watch.said.contains("CMakeCache"),
                 watch.said.constData());
        QVERIFY(configure("c") && watch.waitForFinished(5000) && watch.exitCode() == 1);
        QCOMPARE(watch.said + watch.readAllStandardError(), watch.said + "dorvane: " + dir.filePath("c/.cmake/api/v1/reply").toUtf8()
                 + ": cannot watch: No space left on device: the limit of inotify watches, fs.inotify.max_user_watches, "
                   "is reached: raise it, then watch again\n");
    }
    QVERIFY(configure("d"));
    {
        Watch watch(top.path(), { "-C", "d", "/S", "/W" }, shim("DORVANE_SHIM_TERMINATE", "index-1.json remove"));
        QVERIFY2(watch.next("watching").contains(": mapped 1 reply file\n"), watch.said.constData());
        QTRY_COMPARE(runs(), 2);
        QVERIFY2(watch.next("anything", 500).isEmpty() && !watch.said.contains("skipped")
                         && !QFileInfo::exists(dir.filePath("d/.cmake/api/v1/reply/index-1.json")), watch.said.constData());
    }
    // Overtaken twice in a row, as CMake goes on: a file gone as it is read.
    QVERIFY(configure("f"));
    {
        Watch watch(top.path(), { "-C", "f", "/S", "/W" }, shim("DORVANE_SHIM_GONE", "a"));
        QTRY_COMPARE(runs(), 1);
        QVERIFY(write(dir.filePath("f/.cmake/api/v1/reply/a"), "/usr/lib"));
        QVERIFY2(watch.next("mapped").endsWith(": mapped 1 reply file\n") && runs() == 3 && !watch.said.contains("cannot read"),
                 watch.said.constData());
    }
    QVERIFY(configure("e") && dir.mkpath("e/.cmake/api/v1/.dorvane-mapped-files"));
    {
        Watch watch(top.path(), { "-C", "e", "/S", "/W" }, shim());
        QVERIFY2(watch.next("watching").contains("dorvane: e/.cmake/api/v1/.dorvane-mapped-files: "), watch.said.constData());
        QVERIFY(configure("e", "index-2.json"));
        QTRY_COMPARE(runs(), 2);
        QVERIFY2(watch.next("anything", 500).isEmpty() && watch.said.count(": cannot ") == 1 && !watch.said.contains("mapped "),
                 watch.said.constData());
    }
}

// A build directory mapped with one pair of paths, copied with cp -a to
// another file system and mapped there with another, ends as one run with
// those paths leaves a fresh configure's output.
void tst_EndToEnd::mapCopiedBuildDirectory()
{
    QTemporaryDir elsewhere("/dev/shm/dorvane-copy-XXXXXX");
    struct stat here = {}, there = {};
    if (!elsewhere.isValid() || ::stat(QFile::encodeName(build.path()), &here) != 0
        || ::stat(QFile::encodeName(elsewhere.path()), &there) != 0 || here.st_dev == there.st_dev)
        QSKIP("needs /dev/shm on a file system of its own");
    QVERIFY(configure(true));
    QCOMPARE(map(), "exit 0");
    const QString copy = elsewhere.filePath("build");
    QCOMPARE(runProcess("cp", { "-a", build.path(), copy }, elsewhere.path()), "exit 0");
    const QString other = host.filePath("bookworm");
    QCOMPARE(runTool(copy, { "--compile-commands", other, workspace }), "exit 0");
    const QMap<QString, QString> mapped = readReply(false, copy);
    sysroot = other;
    QCOMPARE(mapped, mappedAfresh());
    sysroot = host.filePath("trixie");
}

namespace {

// What the tool prints on standard output given input, or "failed".
QByteArray toolOutput(const QStringList &arguments, const QByteArray &input = {},
                      const std::function<void()> &inChild = {})
{
    QProcess tool;
    tool.setChildProcessModifier(inChild);
    tool.start(DORVANE_EXE, arguments);
    tool.write(input);
    tool.closeWriteChannel();
    return tool.waitForFinished(60000) && tool.exitCode() == 0 ? tool.readAllStandardOutput() : "failed";
}

QByteArray podman(const QStringList &arguments)
{
    return runProcess("podman", arguments, QDir::tempPath());
}

// The include directories the host's compiler searches, as CMake finds them.
QStringList implicitIncludeDirectories()
{
    const QByteArray verbose = runProcess("cc", { "-xc", "-E", "-v", "/dev/null" }, QDir::tempPath());
    const qsizetype start = verbose.indexOf("#include <...> search starts here:\n"), end = verbose.indexOf("End of search list.");
    QStringList directories;
    for (const QByteArray &line : verbose.mid(start, end - start).split('\n').mid(1)) {
        if (line.startsWith(" /"))
            directories.append(QDir::cleanPath(QString::fromUtf8(line.trimmed())));
    }
    return directories;
}

// Every include directory that the reply and the database of build name,
// where one does not exist, or is a container's; empty where all are the host's.
QByteArray includeDirectoryNotOnHost(const QDir &build)
{
    QStringList named;
    for (const QFileInfo &file : QDir(build.filePath(".cmake/api/v1/reply")).entryInfoList(QDir::Files)) {
        const QJsonObject object = QJsonDocument::fromJson(read(file.filePath())).object();
        for (const QJsonValue &group : object.value("compileGroups").toArray()) {
            for (const QJsonValue &include : group.toObject().value("includes").toArray())
                named.append(include.toObject().value("path").toString());
        }
        for (const QJsonValue &toolchain : object.value("toolchains").toArray()) {
            for (const QJsonValue &directory : toolchain["compiler"]["implicit"]["includeDirectories"].toArray())
                named.append(directory.toString());
        }
    }
    static const QRegularExpression flag(R"(-(?:isystem|idirafter) (\S+))");
    for (const QRegularExpressionMatch &match : flag.globalMatch(QString::fromUtf8(read(build.filePath("compile_commands.json")))))
        named.append(match.captured(1));
    if (named.size() < 6)
        return "too few include directories: " + named.join(' ').toUtf8();
    for (const QString &path : std::as_const(named)) {
        if (!QFileInfo(path).isDir() || path.startsWith("/usr/") || path.startsWith("/srv/") || path.startsWith("/opt/"))
            return "not on the host: " + path.toUtf8();
    }
    return {};
}

} // namespace

// A program built with -g in a mount namespace that has the project at
// /workspace and the build directory at /mnt/build, on a host whose paths
// hold a space and a quote: gdb and lldb find its source only through the
// table, clangd takes it, and what the build and CTest print, filtered,
// names host paths that exist and is otherwise as it was.
void tst_EndToEnd::hostToolsTakeTheTable()
{
    if (geteuid() != 0)
        QSKIP("needs root, to build in a mount namespace of its own");
    const bool madeMountPoint = QDir().mkdir("/workspace");
    const auto removeMountPoint = qScopeGuard([&] { madeMountPoint && QDir().rmdir("/workspace"); });
    QTemporaryDir host(QDir::tempPath() + "/dorvane a \"b-XXXXXX");
    QVERIFY2(host.isValid() && QFileInfo("/workspace").isDir(), qPrintable(host.errorString()));
    const QDir dir(host.path());
    QVERIFY(write(dir.filePath("src/CMakeLists.txt"), "cmake_minimum_required(VERSION 3.16)\nproject(app C)\n"
                  "add_executable(app main.c)\nenable_testing()\nadd_test(NAME fails COMMAND app)\n")
            && write(dir.filePath("src/main.c"), "#include <stdio.h>\n#include \"app.h\"\nint main(void)\n{\n    puts(__FILE__);\n"
                     "    return FAILED;\n}\n") && write(dir.filePath("src/app.h"), "#define FAILED 1\n")
            && dir.mkpath("build") && dir.mkpath("sysroot") && QFile::link("/usr", dir.filePath("sysroot/usr")));
    const QString mounts = "set -e; mount --bind \"$1/src\" /workspace; mount -t tmpfs tmpfs /mnt; mkdir /mnt/build\n"
                           "mount --bind \"$1/build\" /mnt/build; mount -t tmpfs tmpfs \"$1\"; shift; exec \"$@\"";
    const QStringList unshare = { "-m", "--propagation", "private", "sh", "-c", mounts, "sh", dir.path() };
    const auto inWorkspace = [&](const QStringList &command) { return runProcess("unshare", unshare + command, dir.path()); };
    QVERIFY(inWorkspace({ CMAKE_EXE, "-S", "/workspace", "-B", "/mnt/build", "-DCMAKE_BUILD_TYPE=Debug",
                          "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON" }).endsWith("exit 0"));
    QVERIFY(inWorkspace({ CMAKE_EXE, "--build", "/mnt/build" }).endsWith("exit 0"));
    const QStringList paths = { "--map", "/mnt/build=" + dir.filePath("build"), dir.filePath("sysroot"), dir.filePath("src") };
    const QString program = dir.filePath("build/app"), table = dir.filePath("table");
    for (const auto &[format, debugger, listMain] : { std::tuple { "gdb", "gdb", QStringList { "-batch", "-ex", "list main" } },
                                                      { "lldb", "lldb", QStringList { "-b", "-o", "source list -n main" } } }) {
        QVERIFY(write(table, toolOutput(QStringList { "--print-map", format } + paths)));
        const QStringList withTable = { format == QByteArray("gdb") ? "-x" : "-s", table };
        QVERIFY2(runProcess(debugger, withTable + listMain + QStringList { program }, dir.path()).contains("puts(__FILE__);"), format);
        QVERIFY2(!runProcess(debugger, listMain + QStringList { program }, dir.path()).contains("puts(__FILE__);"), format);
    }
    QCOMPARE(QJsonDocument::fromJson(toolOutput(QStringList { "--print-map", "vscode" } + paths)).object().value("/workspace"),
             dir.filePath("src"));
    // clangd in the namespace, where the host's paths are hidden, as in a
    // container, for an editor on the host: with the table, it finds the
    // header the file the editor opens includes, and names it by the host's path.
    const QByteArray clangdTable = toolOutput(QStringList { "--print-map", "clangd" } + paths).trimmed();
    for (const QByteArray &mapping : { clangdTable, QByteArray("--log=error") }) {
        if (QStandardPaths::findExecutable("clangd").isEmpty())
            break;
        QVERIFY(runProcess("clangd", { mapping, "--check=" + dir.filePath("src/main.c") }, dir.path()).endsWith("exit 0"));
        QProcess clangd;
        clangd.start("unshare", unshare + QStringList { "clangd", "--compile-commands-dir=/mnt/build", mapping });
        const QString uri = QUrl::fromLocalFile(dir.filePath("src/main.c")).toString(QUrl::FullyEncoded);
        for (const QJsonObject &message : { QJsonObject { { "id", 1 }, { "method", "initialize" },
                                                          { "params", QJsonObject { { "capabilities", QJsonObject() } } } },
                                            QJsonObject { { "method", "textDocument/didOpen" }, { "params", QJsonObject { {
                                                    "textDocument", QJsonObject { { "uri", uri }, { "languageId", "c" }, { "version", 1 },
                                                                                  { "text", QString::fromUtf8(read(dir.filePath("src/main.c"))) } } } } } } }) {
            QJsonObject rpc = message;
            rpc.insert("jsonrpc", "2.0");
            const QByteArray body = QJsonDocument(rpc).toJson(QJsonDocument::Compact);
            clangd.write("Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        }
        QByteArray said;
        while (!said.contains("publishDiagnostics") && clangd.waitForReadyRead(30000))
            said += clangd.readAllStandardOutput();
        clangd.kill();
        clangd.waitForFinished();
        const QJsonObject diagnostics = QJsonDocument::fromJson(said.mid(said.lastIndexOf("\r\n\r\n") + 4)).object().value("params").toObject();
        QCOMPARE(QUrl(diagnostics.value("uri").toString()).toLocalFile(), dir.filePath("src/main.c"));
        QCOMPARE(diagnostics.value("diagnostics").toArray().isEmpty(), mapping == clangdTable);
    }

    // A test that fails, and a compiler error.
    const QByteArray tested = inWorkspace({ QFileInfo(CMAKE_EXE).path() + "/ctest", "--test-dir", "/mnt/build", "--output-on-failure" });
    QVERIFY(write(dir.filePath("src/CMakeLists.txt"), "add_executable(bad bad.c)\n", QIODevice::Append)
            && write(dir.filePath("src/bad.c"), "#include <stdio.h>\nint bad(void) { return undefined; }\n"));
    const QByteArray built = inWorkspace({ CMAKE_EXE, "--build", "/mnt/build" });
    QVERIFY(tested.contains("/workspace/main.c\n") && built.contains("/workspace/bad.c:2:"));
    const QRegularExpression hostPath(QRegularExpression::escape(dir.path()) + "[^:\\s'\"]*");
    for (const QByteArray &printed : { tested, built }) {
        const QByteArray filtered = toolOutput(QStringList { "--filter" } + paths, printed);
        QVERIFY2(!filtered.contains(" /workspace") && !filtered.contains("/mnt/build"), filtered.constData());
        int found = 0;
        for (const QRegularExpressionMatch &match : hostPath.globalMatch(QString::fromUtf8(filtered)))
            QVERIFY2(QFileInfo::exists(match.captured()) && ++found, qPrintable(match.captured()));
        QVERIFY(found >= 2);
        QCOMPARE(QByteArray(filtered).replace(dir.filePath("build").toUtf8(), "/mnt/build")
                         .replace(dir.filePath("src").toUtf8(), "/workspace").replace(dir.filePath("sysroot").toUtf8(), ""),
                 printed);
    }
    // 100 MB of it, in the memory of a line or two.
    const QByteArray unit = built + '\n';
    const qsizetype units = 100000000 / unit.size() + 1;
    const QByteArray filtered = toolOutput(QStringList { "--filter" } + paths, unit.repeated(units), [] {
#ifndef DORVANE_SANITIZE // whose shadow memory no such bound allows
        const rlimit data = { 64 << 20, 64 << 20 };
        setrlimit(RLIMIT_DATA, &data);
#endif
    });
    QVERIFY(filtered == toolOutput(QStringList { "--filter" } + paths, unit).repeated(units));
    // Each line as soon as it is read, the last one at the end.
    QProcess streaming;
    streaming.start(DORVANE_EXE, QStringList { "--filter" } + paths);
    streaming.write("/workspace/a.c\n/workspace");
    QVERIFY(streaming.waitForReadyRead(10000));
    QCOMPARE(streaming.readAllStandardOutput(), dir.filePath("src/a.c\n").toUtf8());
    streaming.closeWriteChannel();
    QVERIFY(streaming.waitForFinished(10000));
    QCOMPARE(streaming.readAllStandardOutput(), dir.filePath("src").toUtf8());
}

// A container that podman created from an image this test imports, with
// binds, a volume and a dev container's label, as a build environment: CMake
// configures in a mount namespace that shows its paths, the image's from
// podman mount; then the tool, given no paths, maps by name and by folder.
// Each include directory then exists on the host, acme.h only in the copy,
// which clangd finds; a link in the image leads nowhere outside the copy; a
// run killed during a copy leaves none half made, and two runs at once copy
// each directory once.
void tst_EndToEnd::mapWithContainer()
{
    if (geteuid() != 0)
        QSKIP("needs root, to configure in a mount namespace of its own");
    if (QStandardPaths::findExecutable("podman").isEmpty() && qEnvironmentVariableIsEmpty("CI"))
        QSKIP("podman is not installed: scripts/setup installs it");
    QTemporaryDir top;
    QVERIFY2(top.isValid(), qPrintable(top.errorString()));
    const QDir dir(top.path());
    // Storage of its own, vfs, which works wherever podman does; and a cache of its own.
    QVERIFY(write(dir.filePath("storage.conf"), "[storage]\ndriver = \"vfs\"\ngraphroot = \"" + dir.filePath("storage/root").toUtf8()
                  + "\"\nrunroot = \"" + dir.filePath("storage/run").toUtf8() + "\"\n"));
    qputenv("CONTAINERS_STORAGE_CONF", QFile::encodeName(dir.filePath("storage.conf")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.filePath("cache")));
    const QString name = "dorvane-test-" + QString::number(QRandomGenerator::global()->generate(), 16);
    const auto removeAll = qScopeGuard([&] {
        podman({ "umount", name });
        podman({ "rm", "-f", "-v", name });
        podman({ "rmi", "-f", name });
        podman({ "volume", "rm", "-f", name });
        qunsetenv("CONTAINERS_STORAGE_CONF");
        qunsetenv("XDG_CACHE_HOME");
    });
    // Sorted, as they are copied: the first is copied first, and one below another is copied with it.
    QStringList implicit = implicitIncludeDirectories();
    implicit.sort();
    QVERIFY(implicit.contains("/usr/local/include"));
    for (const QString &directory : implicit)
        QVERIFY(write(dir.filePath("image" + directory + "/dorvane-stub.h"), "\n"));
    QVERIFY(write(dir.filePath("image/usr/local/include/acme/acme.h"), "#define ACME 40\n"));
    // Named by the database alone, from the flags; over the host's /usr/share/doc in the namespace.
    QVERIFY(write(dir.filePath("image/usr/share/doc/acme/include/extra.h"), "#define EXTRA 0\n")
            && write(dir.filePath("image/usr/share/doc/acme/more/more.h"), "\n"));
    QVERIFY(QFile::link("/etc", dir.filePath("image/usr/local/include/acme/etc"))
            && QFile::link("../../..", dir.filePath("image/usr/local/include/acme/up")));
    QVERIFY(runProcess("tar", { "-C", dir.filePath("image"), "-cf", dir.filePath("image.tar"), "." }, dir.path()) == "exit 0");
    QVERIFY(podman({ "import", "-q", dir.filePath("image.tar"), name }).endsWith("exit 0"));
    const QString workspace = dir.filePath("app");
    QVERIFY(write(dir.filePath("app/CMakeLists.txt"), "cmake_minimum_required(VERSION 3.16)\nproject(app C)\n"
                  "string(APPEND CMAKE_C_FLAGS \" -idirafter /usr/share/doc/acme/include\")\n"
                  "add_executable(app main.c)\ntarget_include_directories(app SYSTEM PRIVATE /usr/local/include/acme /opt/deps/include)\n")
            && write(dir.filePath("app/main.c"), "#include <acme.h>\n#include <deps.h>\n#include <extra.h>\nint main(void) { return ACME + DEPS + EXTRA; }\n")
            && write(dir.filePath("deps/include/deps.h"), "#define DEPS 2\n"));
    QVERIFY(podman({ "create", "-q", "--name", name, "-v", workspace + ":/srv/workspace", "-v", dir.filePath("deps") + ":/opt/deps",
                     "-v", name + ":/data", "-w", "/srv/workspace", "--label", "devcontainer.local_folder=" + workspace, name, "/x" })
                    .endsWith("exit 0"));
    const QByteArray mounted = podman({ "mount", name });
    QVERIFY2(mounted.endsWith("\nexit 0"), mounted.constData());
    const QString image = QString::fromUtf8(mounted.first(mounted.indexOf('\n')));
    const QString binds = "set -e\nmount -t tmpfs tmpfs /srv; mkdir /srv/workspace; mount --bind \"$1/app\" /srv/workspace\n"
                          "mount -t tmpfs tmpfs /opt; mkdir /opt/deps; mount --bind \"$1/deps\" /opt/deps\n"
                          "mount --bind \"$2/usr/local/include\" /usr/local/include\n"
                          "mount --bind \"$2/usr/share/doc\" /usr/share/doc\nshift 2; exec \"$@\"";
    const auto configure = [&](const char *build) {
        for (const char *query : { "codemodel-v2", "toolchains-v1" })
            QVERIFY(write(dir.filePath(QString("app/%1/.cmake/api/v1/query/%2").arg(build, query)), {}));
        QCOMPARE(runProcess("unshare", { "-m", "--propagation", "private", "sh", "-c", binds, "sh", dir.path(), image, CMAKE_EXE,
                                         "-S", "/srv/workspace", "-B", QString("/srv/workspace/") + build,
                                         "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON" }, dir.path()).right(6), "exit 0");
    };
    configure("build");
    configure("folder");
    const auto snapshot = [&](const char *build) {
        QMap<QString, QByteArray> files;
        for (QDirIterator it(dir.filePath(QString("app/") + build), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
            const QString file = it.next();
            files[file] = read(file);
        }
        return files;
    };
    const QString cache = dir.filePath("cache/dorvane/sysroots");
    const QString engine = dir.filePath("engine");

    // Killed once the first copy is made, before it is in place.
    const QMap<QString, QByteArray> before = snapshot("build");
    QVERIFY(write(engine, "#!/bin/sh\nif [ \"$1\" = cp ]; then podman \"$@\"; kill -9 $PPID; exit 1; fi\nexec podman \"$@\"\n")
            && QFile::setPermissions(engine, QFile::permissions(engine) | QFile::ExeOwner));
    QVERIFY(runTool(workspace, { "-C", "build", "--compile-commands", "--engine", engine, "--container", name }).endsWith("killed"));
    QCOMPARE(snapshot("build"), before);
    const QStringList sysroots = QDir(cache).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(sysroots.size(), 1);
    const QString sysroot = cache + '/' + sysroots.first();
    QVERIFY(!QFileInfo::exists(sysroot + implicit.first()));
    QCOMPARE(QDir(QFileInfo(sysroot + implicit.first()).path()).entryList(QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);

    // Two runs at once, by name and by folder, through an engine that notes each copy.
    QVERIFY(write(engine, "#!/bin/sh\n[ \"$1\" = cp ] && echo \"$2\" >>\"$0.copies\"\nexec podman \"$@\"\n"));
    QProcess byName, byFolder;
    for (const auto &[process, build, container] : { std::tuple { &byName, "build", name }, { &byFolder, "folder", workspace } }) {
        process->setWorkingDirectory(workspace);
        process->start(DORVANE_EXE, { "-C", build, "--compile-commands", "--engine", engine, "--container", container });
    }
    for (QProcess *process : { &byName, &byFolder }) {
        QVERIFY(process->waitForFinished(120000));
        const QByteArray said = process->readAllStandardError();
        QVERIFY2(process->exitCode() == 0, said.constData());
        QVERIFY2(said.contains(": the sysroot path " + QFile::encodeName(sysroot) + '\n'), said.constData());
        QVERIFY2(said.contains(": /srv/workspace=" + QFile::encodeName(workspace) + '\n'), said.constData());
        QVERIFY2(said.contains(": the volume at \"/data\" has no path a host tool can read"), said.constData());
    }
    const QByteArrayList copies = read(engine + ".copies").trimmed().split('\n');
    QCOMPARE(QSet<QByteArray>(copies.begin(), copies.end()).size(), copies.size());
    const qsizetype outermost = std::count_if(implicit.begin(), implicit.end(), [&](const QString &directory) {
        return std::none_of(implicit.begin(), implicit.end(), [&](const QString &d) { return directory.startsWith(d + '/'); });
    });
    QCOMPARE(copies.size(), outermost + 1); // and the database's /usr/share/doc/acme/include
    QCOMPARE(runProcess("find", { cache, "-name", ".dorvane-copy-*" }, dir.path()), "exit 0");
    for (const char *build : { "build", "folder" })
        QCOMPARE(includeDirectoryNotOnHost(QDir(dir.filePath(QString("app/") + build))), QByteArray());
    const QString acme = sysroot + "/usr/local/include/acme";
    QVERIFY(QFileInfo(acme + "/acme.h").isFile() && !QFileInfo::exists("/usr/local/include/acme/acme.h"));
    QVERIFY(QFileInfo(acme + "/etc").symLinkTarget().startsWith(sysroot + '/'));
    QVERIFY(!QFileInfo(acme + "/up").isSymLink());

    // A watch inspects once, when it starts, and copies what a later configure names.
    QVERIFY(write(engine, "#!/bin/sh\necho \"$1\" >>\"$0.calls\"\nexec podman \"$@\"\n"));
    Watch watch(workspace, { "-C", "build", "--compile-commands", "--engine", engine, "--container", name });
    QVERIFY2(watch.next(": watching build for ", 60000).contains(": watching build for "), watch.said.constData());
    QVERIFY(write(dir.filePath("app/CMakeLists.txt"), "target_include_directories(app SYSTEM PRIVATE /usr/share/doc/acme/more)\n",
                  QIODevice::Append));
    configure("build");
    QVERIFY2(watch.next(": mapped ", 60000).contains(": mapped "), watch.said.constData());
    QVERIFY(QFileInfo(sysroot + "/usr/share/doc/acme/more/more.h").isFile());
    QCOMPARE(read(engine + ".calls"), "inspect\ncp\n");
    QVERIFY(::kill(pid_t(watch.processId()), SIGTERM) == 0 && watch.waitForFinished(10000) && watch.exitCode() == 0);
    QCOMPARE(includeDirectoryNotOnHost(QDir(dir.filePath("app/build"))), QByteArray());
    if (QStandardPaths::findExecutable("clangd").isEmpty())
        return;
    const QByteArray checked = runProcess("clangd", { "--check=" + workspace + "/main.c", "--compile-commands-dir=" + workspace + "/build" },
                                          dir.path());
    QVERIFY2(checked.contains("All checks completed, 0 errors"), checked.right(600).constData());
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
