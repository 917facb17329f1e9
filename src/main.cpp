// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The command line: the tool's name and options, its messages and its exit
// statuses.

#include "buildwatch.h"
#include "cmakeapimapper.h"
#include "printmap.h"
#include "streamfilter.h"
#include "containertable.h"
#include "sysrootcopy.h"
#include "temporaryfiles.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QFileInfo>
#include <QtCore/QStringDecoder>
#include <QtCore/QStringList>
#include <QtCore/QTime>

#include <cerrno>
#include <cstring>
#include <iostream>

#include <malloc.h>
#include <unistd.h>

namespace {

int say(const char *message, int exitCode)
{
    std::cout << message << std::endl;
    return exitCode;
}

// Qt decodes the command line with U+FFFD in place of bytes that are no
// UTF-8, which would hide them. Here each such byte becomes one of U+DC80 to
// U+DCFF instead, lone surrogates that no UTF-8 decodes to, so an argument
// tells whether it was UTF-8 and gives back the bytes it was.
QString decodeArgument(QByteArrayView bytes)
{
    QString decoded;
    QStringDecoder toUtf16(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    for (qsizetype i = 0; i < bytes.size();) {
        const uchar lead = uchar(bytes.at(i));
        const qsizetype length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
        if (length > 0 && i + length <= bytes.size() && bytes.sliced(i, length).isValidUtf8()) {
            decoded += toUtf16(bytes.sliced(i, length));
            i += length;
        } else {
            decoded += QChar(0xDC00 + lead);
            ++i;
        }
    }
    return decoded;
}

QByteArray encodeArgument(const QString &argument)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < argument.size(); ++i) {
        const QChar c = argument.at(i);
        if (c.isHighSurrogate() && i + 1 < argument.size())
            bytes += argument.sliced(i++, 2).toUtf8();
        else
            bytes += c.isLowSurrogate() ? QByteArray(1, char(c.unicode() - 0xDC00)) : QString(c).toUtf8();
    }
    return bytes;
}

// A path that clients cannot use as it is inserted: one they resolve from
// their own working directory, one a shell splits or expands in the compile
// commands that name it, one that doubles the slash after it, or one that
// is not there. Says the first of these, or nothing.
QByteArray pathWarning(const QString &path)
{
    if (path.isEmpty())
        return {};
    if (!path.startsWith(u'/'))
        return "is relative: clangd, IDEs and compilers resolve it from their own working directory";
    static const QString shellCharacters = QStringLiteral(" \t\n'\"`$\\*?[]&;|<>(){}");
    const auto special = std::find_if(path.begin(), path.end(), [](QChar c) { return shellCharacters.contains(c); });
    if (special != path.end() || path.startsWith(u'~') || path.startsWith(u'#')) {
        const QChar c = special != path.end() ? *special : path.at(0);
        const QByteArray character = c == u' ' ? "a space" : c == u'\t' ? "a tab" : c == u'\n' ? "a newline"
                                                                           : "'" + QString(c).toUtf8() + "'";
        return "holds " + character + ", which a shell splits or expands in the commands of the compilation "
               "database and in the reply's command fragments";
    }
    if (path.endsWith(u'/'))
        return "ends in \"/\", which doubles the slash after it in every path it stands for";
    if (!QFileInfo::exists(path))
        return "does not exist on this host";
    return {};
}

// The mappings --map gives, sorted by CONTAINER; or what is wrong with one.
QByteArray readMappings(const QStringList &options, QList<PathMapping> &mappings)
{
    for (const QString &option : options) {
        const QByteArray named = "--map \"" + encodeArgument(option) + "\": ";
        const qsizetype equals = option.indexOf(u'=');
        if (equals < 0)
            return named + "CONTAINER=HOST has no \"=\"";
        QString container = option.first(equals);
        const QString host = option.sliced(equals + 1);
        if (container == u"/")
            return named + "CONTAINER may not be \"/\"";
        if (container.endsWith(u'/'))
            container.chop(1);
        if (container.isEmpty())
            return named + "CONTAINER is empty";
        if (!container.startsWith(u'/'))
            return named + "CONTAINER is not absolute";
        for (const QString &component : container.sliced(1).split(u'/')) {
            if (component.isEmpty() || component == u"." || component == u"..")
                return named + "CONTAINER has " + (component.isEmpty() ? "an empty" : "a \"" + component.toUtf8() + "\"")
                        + " component";
        }
        const auto same = std::find_if(mappings.begin(), mappings.end(),
                                       [&](const PathMapping &mapping) { return mapping.container == container; });
        if (same != mappings.end() && same->host != host)
            return named + "CONTAINER is mapped to \"" + encodeArgument(same->host) + "\" already";
        if (same == mappings.end())
            mappings.append({ container, host });
    }
    std::sort(mappings.begin(), mappings.end(),
              [](const PathMapping &a, const PathMapping &b) { return a.container < b.container; });
    return {};
}

QByteArray named(const QByteArray &directory)
{
    return directory.isEmpty() ? "." : directory;
}

QByteArray cannotEnterLine(const QByteArray &directory, int error)
{
    return named(directory) + ": cannot enter: " + std::strerror(error);
}

int cannotEnter(const QByteArray &directory, int error)
{
    RunReport::tell(cannotEnterLine(directory, error));
    return 1;
}

// One run, and what it says; in a watch, standard output stays empty.
int mapOnce(CmakeApiMapper &mapper, bool withCompileCommands, bool isWatching)
{
    const auto outcome = [isWatching](const char *message, int exitCode) {
        return isWatching ? exitCode : say(message, exitCode);
    };
    const bool hasReply = mapper.isReplyExist();
    const bool hasCompileCommands = withCompileCommands && mapper.buildDirectory().databaseExists();
    const RunReport &report = mapper.runReport();
    const auto hintNoReply = [&] {
        const QByteArray query = report.displayPath(QUERY_PATH);
        // A watch says that it waits for CMake there.
        if (!mapper.buildDirectory().hasCMakeCache() && !isWatching)
            RunReport::tell(report.displayPath({}) + " is no CMake build directory, as it holds no CMakeCache.txt: "
                                                     "run in one, or name it with -C DIR");
        else if (mapper.buildDirectory().hasCMakeCache())
            RunReport::tell("no reply in " + report.displayPath(REPLY_PATH) + ": "
                            + (mapper.isQueryExist() ? "configure, and CMake answers the queries in " + query
                                                     : "write the queries in " + query + ", then configure"));
    };
    if (!hasReply && !hasCompileCommands) {
        hintNoReply();
        return withCompileCommands ? outcome("Reply and compilation database do not exist.", 0)
                                   : outcome("Reply is not exist.", 0);
    }
    // A watch says what failed itself.
    if (!mapper.DoCMakeApiPathMapping()) {
        if (!isWatching)
            RunReport::tell(report.problem());
        return outcome("Mapping error!", 1);
    }
    if (!hasReply) {
        hintNoReply();
        return outcome("Reply is not exist.", 0);
    }
    if (withCompileCommands && !hasCompileCommands)
        return outcome("Compilation database does not exist.", 0);
    return 0;
}

QByteArray timeNow()
{
    return QTime::currentTime().toString(u"HH:mm:ss").toUtf8();
}

// Where directory, from the working directory, leads as the watch starts,
// absolute: as far as it stands, as the kernel resolves it, links and ".."
// alike, and the rest as given; but the build directory itself by its name,
// so that a link there switched to another directory is followed. Empty
// where a relative one has nothing to start from.
QByteArray absolutePath(const QByteArray &workingDirectory, const QByteArray &directory)
{
    if (!directory.startsWith('/') && workingDirectory.isEmpty())
        return {};
    QByteArray standing = directory.startsWith('/') ? directory : workingDirectory + '/' + directory;
    while (standing.size() > 1 && standing.endsWith('/'))
        standing.chop(1);
    QByteArrayList rest;
    const qsizetype last = standing.lastIndexOf('/');
    if (const QByteArray name = standing.sliced(last + 1); !name.isEmpty() && name != "." && name != "..") {
        rest.append(name);
        standing = last > 0 ? standing.first(last) : QByteArray("/");
    }
    char resolved[PATH_MAX] = "";
    while (!realpath(standing.constData(), resolved)) {
        const qsizetype slash = standing.lastIndexOf('/');
        rest.prepend(standing.sliced(slash + 1));
        standing = slash > 0 ? standing.first(slash) : QByteArray("/");
    }
    return lexicalPath(resolved + ('/' + rest.join('/')), false);
}

// Runs once, then again each time CMake writes the reply or the database,
// until a signal ends it with status 0. A run that CMake overtook says
// nothing, and runs again once CMake is done; one overtaken where CMake
// wrote nothing since, a failure that stands, is said once.
int watch(CmakeApiMapper &mapper, const QByteArray &directory, bool withCompileCommands)
{
    char workingDirectory[PATH_MAX] = "";
    const bool hasWorkingDirectory = getcwd(workingDirectory, sizeof workingDirectory);
    const QByteArray path = absolutePath(workingDirectory, directory);
    if (path.isEmpty())
        return cannotEnter(directory, ENOENT);
    BuildWatch watch(path, withCompileCommands);
    if (watch.isHeldElsewhere()) {
        RunReport::tell(named(directory) + ": another watch is running here");
        return 1;
    }
    if (!watch.start()) {
        RunReport::tell(watch.problem());
        return 1;
    }
    TemporaryFiles::exitOnSignal();
    mapper.setWatched();
    QByteArray said;
    for (bool isFirst = true, isRaced = false;; isFirst = false) {
        // A working directory removed and made anew is the new one; one that
        // is gone leaves a relative build directory missing.
        if (hasWorkingDirectory) {
            [[maybe_unused]] const int entered = chdir(workingDirectory);
        }
        bool isFailed = false;
        QByteArray problem;
        const RunReport &report = mapper.runReport();
        if (mapper.setBuildDirectory(directory)) {
            isFailed = mapOnce(mapper, withCompileCommands, true) != 0;
            problem = report.problem();
        } else if (errno != ENOENT) {
            if (isFirst)
                return cannotEnter(directory, errno);
            isFailed = true;
            problem = cannotEnterLine(directory, errno);
        }
        // Overtaken again, where CMake went on writing, is no failure either.
        const bool isRunDue = report.hasRaced() && (!isRaced || watch.hasSeenCMake());
        isRaced = report.hasRaced();
        if (isFailed && !isRunDue && problem != said)
            RunReport::tell(said = problem);
        const RunSummary &run = mapper.summary();
        QByteArrayList mapped;
        if (run.replyFiles)
            mapped.append(QByteArray::number(run.replyFiles) + (run.replyFiles == 1 ? " reply file" : " reply files"));
        if (run.isDatabaseMapped)
            mapped.append(DATABASE_PATH);
        if (!isFailed && !mapped.isEmpty())
            RunReport::tell(timeNow() + ": mapped " + mapped.join(" and "));
        if (!isFailed)
            said.clear();
        if (isFirst)
            RunReport::tell(timeNow() + ": watching " + named(directory) + " for CMake's reply"
                 + (withCompileCommands ? " and compile_commands.json" : ""));
        mapper.leaveBuildDirectory();
#ifdef __GLIBC__
        malloc_trim(0);
#endif
        if (!watch.waitForCMake(run.left, isRunDue)) {
            RunReport::tell(watch.problem());
            return 1;
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // A run reads files into buffers of their size, one file after the
    // next; where the note is gone, each file and what is kept of it into
    // fresh ones. glibc would map each large buffer afresh and unmap it once
    // freed, so that every file paid its page faults again (measured: a run
    // without the note 1.2 times as long); kept in the heap, freed memory
    // serves the next file.
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Dorvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("CMake file API path mapper"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption compileCommandsOption(QStringLiteral("compile-commands"),
                                                   QStringLiteral("Maps compile_commands.json as well."));
    const QCommandLineOption directoryOption({ QStringLiteral("C"), QStringLiteral("directory") },
                                             QStringLiteral("Works in the build directory <DIR>."),
                                             QStringLiteral("DIR"));
    const QCommandLineOption mapOption({ QStringLiteral("m"), QStringLiteral("map") },
                                       QStringLiteral("Maps CONTAINER to HOST; may be given again."),
                                       QStringLiteral("CONTAINER=HOST"));
    const QCommandLineOption watchOption(QStringLiteral("watch"),
                                         QStringLiteral("Maps on each configure; keeps the queries."));
    const QCommandLineOption printMapOption(QStringLiteral("print-map"),
                                            QStringLiteral("Prints the table: gdb lldb clangd vscode lines."),
                                            QStringLiteral("FORMAT"));
    const QCommandLineOption filterOption(QStringLiteral("filter"),
                                          QStringLiteral("Maps standard input to standard output."));
    const QCommandLineOption containerOption(QStringLiteral("container"),
                                             QStringLiteral("Takes the paths from <NAME> or its folder."),
                                             QStringLiteral("NAME"));
    const QCommandLineOption engineOption(QStringLiteral("engine"),
                                          QStringLiteral("Runs <PROGRAM> as the container engine."),
                                          QStringLiteral("PROGRAM"));
    parser.addOptions({ compileCommandsOption, directoryOption, mapOption, watchOption, printMapOption, filterOption,
                        containerOption, engineOption });
    parser.addPositionalArgument(QStringLiteral("sysrootPath"), QCoreApplication::translate("main", "sysroot path"),
                                 QStringLiteral("<sysrootPath>"));
    parser.addPositionalArgument(QStringLiteral("workspacePath"),
                                 QCoreApplication::translate("main", "workspace path"),
                                 QStringLiteral("<workspacePath>"));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(decodeArgument(argv[i]));
    // --help-all would list Qt's options, which the tool does not have.
    if (!parser.parse(arguments)) {
        std::cerr << "Dorvane: " << parser.errorText().toStdString() << std::endl;
        return 1;
    }
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp();

    const QStringList paths = parser.positionalArguments();
    // With a container, what it says stands in for the paths left out.
    const bool withContainer = parser.isSet(containerOption);
    if (paths.size() != 2 && (!withContainer || paths.size() > 2))
        std::cerr << "Try 'dorvane --help'." << std::endl;
    if (paths.isEmpty() && !withContainer)
        return say("Sysroot and workspace paths must be provided!", 1);
    if (paths.size() == 1 && !withContainer)
        return say("workspace path must be provided!", 1);
    if (paths.size() > 2)
        return say("Only sysroot and workspace paths must be provided!", 1);

    if (parser.isSet(watchOption) + parser.isSet(printMapOption) + parser.isSet(filterOption) > 1) {
        RunReport::tell("--watch, --print-map and --filter each exclude the others");
        return 1;
    }
    MappingPaths mapping = { paths.value(0), paths.value(1) };
    QList<PathMapping> &mappings = mapping.mappings;
    const QByteArray wrongMapping = readMappings(parser.values(mapOption), mappings);
    if (!wrongMapping.isEmpty()) {
        RunReport::tell(wrongMapping);
        return 1;
    }
    // An empty DIR, as an unset variable gives, is no directory: it never
    // stands for the current one. One that cannot be entered is the one
    // line a run says, before any warning; a watch waits for one not made yet.
    const QByteArray directory = encodeArgument(parser.value(directoryOption));
    if (parser.isSet(directoryOption) && directory.isEmpty())
        return cannotEnter("\"\"", ENOENT);
    RunReport entering;
    if (BuildDirectory entered(entering); !parser.isSet(filterOption) && (!parser.isSet(printMapOption) || !directory.isEmpty())
                                          && !entered.enter(directory, false)) {
        const int error = errno;
        if (!parser.isSet(watchOption) || error != ENOENT)
            return cannotEnter(directory, error);
    }
    Container container;
    const QString engine = findEngine(parser.value(engineOption));
    if (withContainer && !takeContainer(parser.value(containerOption), engine, paths, mapping, container))
        return 1;
    // Each path given, and how to name it: what goes before and after it.
    struct NamedPath
    {
        QString path;
        QByteArray name;
        QByteArray of;
    };
    QList<NamedPath> given = { { paths.value(0), "the sysroot path", {} }, { paths.value(1), "the workspace path", {} } };
    given.resize(paths.size());
    for (const PathMapping &mapping : std::as_const(mappings)) {
        given.append({ mapping.container, "CONTAINER", {} });
        given.append({ mapping.host, "the host path", " for " + encodeArgument(mapping.container) });
    }
    // A JSON reply can hold no path that is not UTF-8.
    for (const NamedPath &path : std::as_const(given)) {
        if (!QByteArrayView(encodeArgument(path.path)).isValidUtf8()) {
            RunReport::tell(path.name + path.of + " is not UTF-8, which the reply cannot hold");
            return say("Mapping error!", 1);
        }
    }
    for (const NamedPath &path : std::as_const(given)) {
        const QByteArray warning = path.name == "CONTAINER" ? QByteArray() : pathWarning(path.path);
        if (!warning.isEmpty())
            RunReport::tell("warning: " + path.name + " \"" + encodeArgument(path.path) + '"' + path.of + ' ' + warning);
    }
    CmakeApiMapper mapper(mapping.sysroot, mapping.workspace);
    mapper.setMappings(mappings);
    // Only a sysroot of the cache is written to.
    if (withContainer && paths.isEmpty()) {
        const SysrootCopy headers(engine, container.id, encodeArgument(parser.value(containerOption)), mapping.sysroot);
        mapper.setBeforeWriting([headers](Plan &plan, BuildDirectory &directory, const PathRules &rules,
                                          RunReport &report) { return headers.bringHeaders(plan, directory, rules, report); });
    }
    const bool withCompileCommands = parser.isSet(compileCommandsOption);
    if (withCompileCommands)
        mapper.requestCompileCommands();
    if (parser.isSet(printMapOption))
        return printMap(parser.value(printMapOption), mapping, directory);
    if (parser.isSet(filterOption))
        return filterStream(PathRules(mapping), STDIN_FILENO, STDOUT_FILENO);
    if (parser.isSet(watchOption))
        return watch(mapper, directory, withCompileCommands);
    if (!mapper.setBuildDirectory(directory))
        return cannotEnter(directory, errno);
    return mapOnce(mapper, withCompileCommands, false);
}
